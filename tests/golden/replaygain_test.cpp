// ReplayGain applied by the decoder: on files whose gains were written at test time by lame (the
// LAME tag, --replaygain-accurate), mp3gain (APEv2 items, and TXXX with RVA2), mid3v2 (TXXX on
// Layer I and Layer II streams) and mutagen (RVA2 alone), mp3dec --replaygain gives min(gain, 1/peak) times the plain
// decode: within 2 LSB where the factor is at most 1, within factor + 1 LSB above, and no sample
// driven past the 16-bit range while the peak is known. A file without any gain decodes to the
// same bytes as without the option.
#include <cmath>
#include <string>
#include <vector>

#include "mpeg_decoder.h"
#include "replaygain.h"
#include "test_util.h"

namespace {

std::string python() { return ziv::file_exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

std::string q(const std::string& s) {
    std::string o = "'";
    for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return o + "'";
}

// The numbers after "key": in mp3dec --info --json's output, or NaN.
double json_number(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\": ");
    return at == std::string::npos ? NAN : std::atof(text.c_str() + at + key.size() + 4);
}

std::vector<int16_t> decode(const std::string& args, const std::string& file) {
    const std::string out = ziv::tmp_path("rg_out.raw");
    EXPECT_EQ(0, ziv::run(q(ziv::mp3dec_path()) + " " + args + " " + q(file) + " " + q(out)))
        << args << " " << file;
    return ziv::read_s16(out);
}

struct File {
    const char* name;
    std::string make;   // $W the loud WAV, $Q the quiet one, $F the file
    double track_gain;  // as the writer was told to write it (NaN: the writer measured it)
};

TEST(ReplayGain, AppliedGainIsTheFactorTimesThePlainDecode) {
    for (const char* t : {"lame", "sox", "mp3gain", "mid3v2", "twolame", "ffmpeg"}) ZIV_REQUIRE_TOOL(t);
    const std::string loud = ziv::tmp_path("loud.wav"), quiet = ziv::tmp_path("quiet.wav");
    ASSERT_EQ(0, ziv::run("sox -n -r 44100 -c 2 " + q(loud) +
                          " synth 2 sine 440 sine 1250 vol 0.6 2>/dev/null"));
    ASSERT_EQ(0, ziv::run("sox -n -r 44100 -c 2 " + q(quiet) + " synth 2 sine 300 vol 0.1 2>/dev/null"));
    const std::string l1 = ziv::vector_path("l1-fl1.bit");
    ASSERT_TRUE(ziv::file_exists(l1)) << l1;
    const std::string peer = ziv::tmp_path("peer.mp3");
    const std::vector<File> files = {
        {"lame_tag", "lame --quiet --replaygain-accurate -b 128 $W $F", NAN},
        // mp3gain over two files as an album: the quiet one's track gain is positive, its album
        // gain negative.
        {"mp3gain_ape", "lame --quiet -b 128 $Q $F && lame --quiet -b 96 $W " + q(peer) +
                            " && mp3gain -q $F " + q(peer) + " >/dev/null 2>&1", NAN},
        {"mp3gain_id3", "lame --quiet -b 128 $Q $F && lame --quiet -b 96 $W " + q(peer) +
                            " && mp3gain -q -s i $F " + q(peer) + " >/dev/null 2>&1", NAN},
        {"layer2_txxx", "twolame --quiet -b 192 $Q $F && mid3v2 "
                        "--TXXX 'REPLAYGAIN_TRACK_GAIN:+12.5 dB' --TXXX 'REPLAYGAIN_TRACK_PEAK:0.11' "
                        "--TXXX 'REPLAYGAIN_ALBUM_GAIN:-3 dB' $F", 12.5},
        {"layer1_txxx", "cp " + q(l1) + " $F && mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:-4.5 dB' $F",
         -4.5},
        // RVA2 alone (mutagen's library), the quiet file with its peak.
        {"rva2_only", "lame --quiet -b 128 $Q $F && " + python() +
                          " -c \"import sys; from mutagen.id3 import ID3,RVA2; t=ID3(); "
                          "t.add(RVA2(desc='track', channel=1, gain=7.5, peak=0.1)); "
                          "t.save(sys.argv[1])\" $F",
         7.5},
    };
    struct Mode {
        const char* name;
        int preamp_db;
    };
    const Mode modes[] = {{"track", 0}, {"album", 0}, {"track", 15}};
    int runs = 0, protected_runs = 0;
    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        const std::string file = ziv::tmp_path(std::string(f.name) + ".mp3");
        std::string cmd = f.make;
        for (auto [k, v] : {std::pair<std::string, std::string>{"$W", loud}, {"$Q", quiet}, {"$F", file}})
            for (size_t at; (at = cmd.find(k)) != std::string::npos;) cmd.replace(at, 2, q(v));
        ASSERT_EQ(0, ziv::run("sh -c " + q(cmd))) << cmd;
        const std::string info_path = ziv::tmp_path("rg_info.json");
        ASSERT_EQ(0, ziv::run(q(ziv::mp3dec_path()) + " --info --json " + q(file) + " > " + q(info_path)));
        const std::vector<uint8_t> ib = ziv::read_file(info_path);
        const std::string info(ib.begin(), ib.end());
        const std::vector<int16_t> plain = decode("", file);
        ASSERT_FALSE(plain.empty());
        int plain_peak = 0;
        for (int16_t s : plain) plain_peak = std::max(plain_peak, std::abs(int(s)));
        for (const Mode& m : modes) {
            // The factor from the values the file states, as a player computes it: the mode's
            // gain (else the other's) plus the preamp, capped by the peak (else the other's).
            const bool album = std::string(m.name) == "album";
            double gain = json_number(info, album ? "album_gain" : "track_gain");
            if (std::isnan(gain)) gain = json_number(info, album ? "track_gain" : "album_gain");
            double peak = json_number(info, album ? "album_peak" : "track_peak");
            if (std::isnan(peak)) peak = json_number(info, album ? "track_peak" : "album_peak");
            ASSERT_FALSE(std::isnan(gain)) << info;
            if (!album && !std::isnan(f.track_gain)) {
                EXPECT_NEAR(f.track_gain, gain, 0.005) << info;
            }
            double factor = std::pow(10.0, (gain + m.preamp_db) / 20.0);
            const bool capped = !std::isnan(peak) && factor * peak > 32767.0 / 32768.0;
            if (capped) factor = 32767.0 / 32768.0 / peak;
            const std::vector<int16_t> out = decode(
                std::string("--replaygain ") + m.name + " --preamp " + std::to_string(m.preamp_db), file);
            ASSERT_EQ(plain.size(), out.size()) << m.name;
            const double tolerance = factor <= 1.0 ? 2.0 : factor + 1.0;
            double worst = 0.0;
            size_t worst_at = 0;
            for (size_t i = 0; i < plain.size(); ++i) {
                const double d = std::fabs(out[i] - factor * plain[i]);
                if (d > worst) worst = d, worst_at = i;
            }
            EXPECT_LE(worst, tolerance) << m.name << " +" << m.preamp_db << " dB, factor " << factor
                                        << ": sample " << worst_at << " is " << out[worst_at]
                                        << ", plain " << plain[worst_at];
            // No sample clipped: the factor keeps the loudest one of the plain decode inside the
            // 16-bit range, and every output sample is that sample scaled (checked above).
            if (!std::isnan(peak)) {
                EXPECT_LE(factor * plain_peak, 32767.5) << m.name << " +" << m.preamp_db
                                                        << " dB: the file's peak understates ours";
            }
            std::printf("[ rg       ] %s %s %+d dB: gain %.2f dB peak %.6f -> factor %.6f%s, "
                        "worst %.2f LSB\n", f.name, m.name, m.preamp_db, gain,
                        std::isnan(peak) ? 0.0 : peak, factor, capped ? " (peak)" : "", worst);
            ++runs;
            protected_runs += capped;
        }
    }
    EXPECT_EQ(int(std::size(files) * std::size(modes)), runs);
    EXPECT_GE(protected_runs, 2) << "peak protection was never exercised";

    // A file that states no gain decodes to the same bytes with the option as without.
    const std::string none = ziv::tmp_path("none.mp3");
    ASSERT_EQ(0, ziv::run("ffmpeg -v quiet -y -i " + q(loud) + " -c:a libmp3lame -write_xing 0 " + q(none)));
    EXPECT_TRUE(decode("--replaygain album --preamp 6", none) == decode("", none));
}

// The decoder call refuses values outside 0..64 (NaN included); the factor's rules.
TEST(ReplayGain, DecoderGainCall) {
    MpegDecoder* d = mpeg_decoder_create();
    ASSERT_NE(nullptr, d);
    for (float bad : {-0.5f, 64.5f, NAN, INFINITY}) EXPECT_EQ(0, mpeg_decoder_set_gain(d, bad)) << bad;
    EXPECT_EQ(1, mpeg_decoder_set_gain(d, 0.0f));
    EXPECT_EQ(1, mpeg_decoder_set_gain(d, 1.0f));
    mpeg_decoder_destroy(d);

    // The factor's rules: the other mode's values stand in; no gain, off or unknown modes give 1.
    MpegReplayGain rg = {};
    EXPECT_EQ(1.0f, mpeg_replaygain_factor(&rg, MPEG_REPLAYGAIN_TRACK, 60));
    rg.has_album_gain = 1;
    rg.album_gain = -6.0;
    EXPECT_NEAR(std::pow(10.0, -6.0 / 20), mpeg_replaygain_factor(&rg, MPEG_REPLAYGAIN_TRACK, 0), 1e-6);
    EXPECT_NEAR(std::pow(10.0, 0.0), mpeg_replaygain_factor(&rg, MPEG_REPLAYGAIN_ALBUM, 60), 1e-6);
    EXPECT_EQ(1.0f, mpeg_replaygain_factor(&rg, MPEG_REPLAYGAIN_OFF, 0));
    EXPECT_EQ(1.0f, mpeg_replaygain_factor(&rg, 3, 0));
    rg.has_track_peak = 1;
    rg.track_peak = 0.5;
    EXPECT_NEAR(32767.0 / 32768.0 / 0.5, mpeg_replaygain_factor(&rg, MPEG_REPLAYGAIN_ALBUM, 200), 1e-6);
    // The LAME tag fills only what the tags lack.
    MpegLameInfo lame = {};
    lame.has_track_gain = lame.has_album_gain = lame.has_peak = 1;
    lame.track_gain = 3.0, lame.album_gain = 1.0, lame.peak = 0.9;
    mpeg_replaygain_merge(&rg, &lame);
    EXPECT_EQ(3.0, rg.track_gain);
    EXPECT_EQ(-6.0, rg.album_gain);
    EXPECT_EQ(0.5, rg.track_peak);
}

}  // namespace
