// The mp3dec tool as a user runs it: options and their errors (one line on stderr, non-zero
// exit), WAV and raw output, standard input and output, long files through pipes and named pipes,
// junk before the first frame, the benchmark line, and robustness on truncated, damaged and
// random files (built with -DZIV_SANITIZERS="address;undefined" this is the bounds check of the
// whole decode path). mp3dec is started with its arguments as they are, no shell between
// (system.h), and the encoded files and other decoders' outputs come from input lists
// (tests/inputs/mp3dec_*.txt), so that the same tests run mp3dec.exe under wine.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "system.h"
#include "test_util.h"

namespace {

using Args = std::vector<std::string>;

struct RunResult {
    int status;
    std::string err;
};

// The words of an option string ("-r 1 -c 1"), each an argument.
Args words(const std::string& s) {
    Args w;
    size_t at = 0;
    while ((at = s.find_first_not_of(' ', at)) != std::string::npos) {
        const size_t end = s.find(' ', at);
        w.push_back(s.substr(at, end - at));
        at = end;
    }
    return w;
}

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// mp3dec with these arguments, its standard streams as `io` says (its standard error into a
// file, returned).
RunResult mp3dec(const Args& args, ziv::Program io = {}) {
    io.args = Args{ziv::mp3dec_path()} + args;
    io.err = ziv::tmp_path("stderr.txt");
    RunResult r;
    r.status = ziv::run_program(io);
    std::vector<uint8_t> e = ziv::read_file(io.err);
    r.err.assign(e.begin(), e.end());
    return r;
}

int lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

// A file of the short file's list: a 1.5 s stereo sine pair, lame's MP3 of it, and what is made
// from that (mp3dec_sample.txt).
std::string sample(const std::string& name) { return ziv::listed_path("mp3dec_sample.txt", name); }

class Mp3dec : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ziv::file_exists(ziv::mp3dec_path())) << ziv::mp3dec_path();
        mp3 = sample("src.mp3");
        ASSERT_FALSE(mp3.empty()) << "could not make the sample file with sox and lame";
    }
    std::string mp3;
};

TEST_F(Mp3dec, BadUsageAndInputsGiveOneLineAndNonZeroExit) {
    const std::string out = ziv::tmp_path("x.raw");
    std::vector<uint8_t> text(5000, 'a');
    const std::string txt = ziv::tmp_path("text.bin");
    ASSERT_TRUE(ziv::write_file(txt, text.data(), text.size()));
    std::vector<uint8_t> id3 = {'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    id3.resize(600, 0xFF);
    const std::string big_tag = ziv::tmp_path("bigtag.mp3");
    ASSERT_TRUE(ziv::write_file(big_tag, id3.data(), id3.size()));
    struct Case { Args args; int status; };
    const Case cases[] = {
        {{}, 1},
        {{mp3}, 1},
        {{"-x", mp3, out}, 1},
        {{"-r", "3", mp3, out}, 1},
        {{"-c", "4", mp3, out}, 1},
        {{"-f", "abc", mp3, out}, 1},
        {{"-e", "s12", mp3, out}, 1},
        {{"-8", "-e", "s24", mp3, out}, 1},
        {{"-j", "0", mp3, out}, 1},
        {{"-j", "257", mp3, out}, 1},
        {{mp3, out, "-r"}, 1},
        {{mp3, "a", "b"}, 1},
        {{"/nonexistent/in.mp3", out}, 2},
        {{txt, out}, 2},
        {{big_tag, out}, 2},
        {{mp3, "/nonexistent/dir/out.raw"}, 2},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += " " + a;
        RunResult r = mp3dec(c.args);
        EXPECT_EQ(c.status, r.status) << "mp3dec" << shown << "\n" << r.err;
        EXPECT_EQ(1, lines(r.err)) << "mp3dec" << shown << ": stderr was\n" << r.err;
        EXPECT_EQ(0u, r.err.rfind("mp3dec: ", 0)) << r.err;
    }
}

TEST_F(Mp3dec, WavRawStdioAndOptions) {
    const std::string wav = ziv::tmp_path("o.wav"), raw = ziv::tmp_path("o.raw");
    ASSERT_EQ(0, mp3dec({mp3, wav}).status);
    ASSERT_EQ(0, mp3dec({mp3, raw}).status);
    std::vector<uint8_t> w = ziv::read_file(wav), r = ziv::read_file(raw);
    ASSERT_EQ(r.size() + 44, w.size());
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint32_t(w[at + size_t(i)]) << (8 * i);
        return v;
    };
    EXPECT_EQ(0, std::memcmp(w.data(), "RIFF", 4));
    EXPECT_EQ(w.size() - 8, le(4, 4));
    EXPECT_EQ(0, std::memcmp(w.data() + 8, "WAVEfmt ", 8));
    EXPECT_EQ(1u, le(20, 2));      // PCM
    EXPECT_EQ(2u, le(22, 2));      // channels
    EXPECT_EQ(44100u, le(24, 4));  // rate
    EXPECT_EQ(44100u * 4, le(28, 4));
    EXPECT_EQ(16u, le(34, 2));
    EXPECT_EQ(r.size(), le(40, 4));
    EXPECT_TRUE(std::equal(r.begin(), r.end(), w.begin() + 44)) << "WAV data differs from raw";
    const std::string all = ziv::tmp_path("every.raw");
    ASSERT_EQ(0, mp3dec({"--no-gapless", mp3, all}).status);
    const size_t every = ziv::read_file(all).size();
    ASSERT_EQ(0u, every % 4608) << "whole frames of stereo 16-bit output";

    // Standard input and output, pipes both: the same bytes as from and to files.
    const std::string piped = ziv::tmp_path("piped.raw");
    ziv::Program pipes;
    pipes.in = mp3;
    pipes.out = piped;
    pipes.pipe_in = pipes.pipe_out = true;
    ASSERT_EQ(0, mp3dec({"-", "-"}, pipes).status);
    EXPECT_TRUE(ziv::read_file(piped) == r) << "stdin/stdout decode differs";

    // Options: sizes per frame follow reduction, channel handling and width.
    const size_t frames = every / 4608;
    struct Opt { const char* args; size_t bytes_per_frame; };
    const Opt opts[] = {{"-r 1", 2304}, {"-r 2", 1152}, {"-c 1", 2304}, {"-c 2", 2304},
                        {"-c 3", 2304}, {"-8", 2304},   {"-8 -c 1 -r 2", 288}};
    for (const Opt& o : opts) {
        const std::string f = ziv::tmp_path("opt.raw");
        ASSERT_EQ(0, mp3dec(Args{"--no-gapless"} + words(o.args) + Args{mp3, f}).status) << o.args;
        EXPECT_EQ(frames * o.bytes_per_frame, ziv::read_file(f).size()) << o.args;
    }
    // A frequency limit drops the upper subbands: the output changes but keeps its length.
    const std::string lim = ziv::tmp_path("lim.raw");
    ASSERT_EQ(0, mp3dec({"-f", "1000", mp3, lim}).status);
    std::vector<uint8_t> l = ziv::read_file(lim);
    EXPECT_EQ(r.size(), l.size());
    EXPECT_FALSE(l == r);
}

// Each sample form through mp3dec: the raw bytes are the library's decode in that form (little
// endian), and the WAV header names the form: PCM for 16 bits, WAVE_FORMAT_EXTENSIBLE (PCM
// subtype) for 24 and 32, IEEE float (with its fact chunk) for f32 (mp3dec_wav_test.cpp has
// another program read them so).
TEST_F(Mp3dec, SampleFormsAndTheirWavHeaders) {
    const std::vector<uint8_t> file = ziv::read_file(mp3);
    struct Form {
        const char* args;
        int32_t convert;
        uint32_t tag, bits, header;
    };
    const Form forms[] = {
        {"-e s16", 0, 1, 16, 44},
        {"-e s16 --round", MPEG_CONVERT_ROUND, 1, 16, 44},
        {"-e s24", MPEG_CONVERT_S24, 0xFFFE, 24, 68},
        {"-e s24 --round", MPEG_CONVERT_S24 | MPEG_CONVERT_ROUND, 0xFFFE, 24, 68},
        {"-e s32 --round", MPEG_CONVERT_S32 | MPEG_CONVERT_ROUND, 0xFFFE, 32, 68},
        {"-e s32", MPEG_CONVERT_S32, 0xFFFE, 32, 68},
        {"-e f32 -c 1", MPEG_CONVERT_F32 | MPEG_CONVERT_MIX, 3, 32, 58},
        {"-e f32 --round", MPEG_CONVERT_F32, 3, 32, 58},
    };
    std::vector<uint8_t> previous;
    for (const Form& f : forms) {
        SCOPED_TRACE(f.args);
        const std::string raw = ziv::tmp_path("form.raw"), wav = ziv::tmp_path("form.wav");
        ASSERT_EQ(0, mp3dec(Args{"--no-gapless"} + words(f.args) + Args{mp3, raw}).status);
        ASSERT_EQ(0, mp3dec(Args{"--no-gapless"} + words(f.args) + Args{mp3, wav}).status);
        const std::vector<uint8_t> r = ziv::read_file(raw), w = ziv::read_file(wav);
        const ziv::Decoded lib = ziv::decode_whole(file, 0, f.convert);
        ASSERT_TRUE(lib.set_up);
        EXPECT_EQ(int32_t(f.bits), lib.fmt.bits);
        EXPECT_TRUE(r == lib.pcm) << "mp3dec's bytes differ from the library's decode";
        EXPECT_FALSE(r == previous) << "the same bytes as the form before";
        previous = r;
        ASSERT_EQ(r.size() + f.header, w.size());
        auto le = [&](size_t at, int n) {
            uint32_t v = 0;
            for (int i = 0; i < n; ++i) v |= uint32_t(w[at + size_t(i)]) << (8 * i);
            return v;
        };
        EXPECT_EQ(w.size() - 8, le(4, 4));
        EXPECT_EQ(f.tag, le(20, 2));
        EXPECT_EQ(f.bits, le(34, 2));
        EXPECT_EQ(uint32_t(lib.fmt.channels) * f.bits / 8, le(32, 2));
        EXPECT_EQ(0, std::memcmp(w.data() + f.header - 8, "data", 4));
        EXPECT_EQ(r.size(), le(f.header - 4, 4));
        EXPECT_TRUE(std::equal(r.begin(), r.end(), w.begin() + long(f.header)));
    }
}

// Several threads split the file into segments, each decoded from a seek to its first frame:
// the output is byte for byte the one-thread decode's, in Layers II and III, gapless or not,
// with other options, to WAV, to a file there already, to standard output, and where the data
// is damaged in the middle (junk inserted, main data zeroed, a frame the decoder rejects, cut
// off inside a frame), where a segment may stop the split (the segments written after it at
// their place are cut off again), and where another stream follows (the same message on stderr).
// An output that cannot be opened gives the usual message and status.
TEST_F(Mp3dec, ThreadsGiveTheOneThreadOutput) {
    // 12 s by lame and by twolame, and a 22.05 kHz file (mp3dec_threads.txt).
    const std::string l3 = ziv::listed_path("mp3dec_threads.txt", "long.mp3"),
                      l2 = ziv::listed_path("mp3dec_threads.txt", "long.mp2");
    ASSERT_FALSE(l3.empty() || l2.empty());
    const std::vector<uint8_t> d = ziv::read_file(l3);
    ASSERT_GT(d.size(), 100000u);
    const size_t m = d.size() / 2;
    std::vector<uint8_t> junk(d.begin(), d.begin() + long(m)), zeroed = d;
    std::vector<uint8_t> cut(d.begin(), d.begin() + long(m) + 777);
    for (int i = 0; i < 2048; ++i) junk.push_back(uint8_t(i * 37));
    junk.insert(junk.end(), d.begin() + long(m), d.end());
    std::fill(zeroed.begin() + long(m), zeroed.begin() + long(m) + 3000, 0);
    // A frame in the middle whose side information the decoder rejects (the first granule's
    // big_values above 288): stepped over, every frame after it comes one place early.
    std::vector<uint8_t> rejected = d;
    const int kbps[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    for (size_t p = m; p + 2000 < d.size(); ++p) {
        // MPEG-1 Layer III without CRC, two channels; the next header where this one says.
        if (d[p] != 0xFF || d[p + 1] != 0xFB || (d[p + 2] >> 4) >= 15 || (d[p + 3] >> 6) == 3)
            continue;
        const size_t size = size_t(144000 * kbps[d[p + 2] >> 4] / 44100 + ((d[p + 2] >> 1) & 1));
        if (size < 100 || d[p + size] != 0xFF || d[p + size + 1] != 0xFB) continue;
        // main_data_begin 9 bits, private 3, scfsi 8, part2_3_length 12: big_values at bit 32.
        rejected[p + 8] = 0xFF;
        rejected[p + 9] |= 0x80;
        break;
    }
    ASSERT_FALSE(rejected == d);
    // Another stream (22.05 kHz) spliced on: the output and the message end where it begins.
    std::vector<uint8_t> spliced = d;
    const std::vector<uint8_t> o22 = ziv::listed_input("mp3dec_threads.txt", "other.mp3");
    ASSERT_FALSE(o22.empty());
    spliced.insert(spliced.end(), o22.begin(), o22.end());
    const std::string fs = ziv::tmp_path("spliced.mp3");
    ASSERT_TRUE(ziv::write_file(fs, spliced.data(), spliced.size()));
    const std::string fj = ziv::tmp_path("junk.mp3"), fz = ziv::tmp_path("zeroed.mp3"),
                      fc = ziv::tmp_path("cut.mp3"), fr = ziv::tmp_path("rejected.mp3");
    ASSERT_TRUE(ziv::write_file(fr, rejected.data(), rejected.size()));
    ASSERT_TRUE(ziv::write_file(fj, junk.data(), junk.size()));
    ASSERT_TRUE(ziv::write_file(fz, zeroed.data(), zeroed.size()));
    ASSERT_TRUE(ziv::write_file(fc, cut.data(), cut.size()));
    const std::string one = ziv::tmp_path("j1.out"), many = ziv::tmp_path("jn.out");
    struct Case { std::string in, opts, ext; };
    const Case cases[] = {{l3, "", ".raw"},          {l3, "--no-gapless", ".raw"},
                          {l3, "-r 1 -c 1 -8", ".raw"}, {l3, "", ".wav"},
                          {l2, "", ".raw"},          {l2, "-c 3", ".wav"},
                          {fj, "", ".raw"},          {fz, "", ".raw"},
                          {fc, "--no-gapless", ".raw"}, {fs, "", ".wav"},
                          {fr, "", ".raw"},          {fr, "--no-gapless", ".wav"},
                          // The gain and the sample form reach every segment's decoder.
                          {l3, "--replaygain track --preamp 10 -e s24 --round", ".raw"}};
    for (const Case& c : cases) {
        const std::string a = one + c.ext, b = many + c.ext;
        RunResult r1 = mp3dec(Args{"-j", "1"} + words(c.opts) + Args{c.in, a});
        ASSERT_EQ(0, r1.status) << c.in << " " << c.opts << "\n" << r1.err;
        const std::vector<uint8_t> want = ziv::read_file(a);
        ASSERT_GT(want.size(), 200000u) << c.in;
        for (const char* j : {"-j 2", "-j 3", "-j 7", ""}) {
            RunResult rn = mp3dec(words(j) + words(c.opts) + Args{c.in, b});
            EXPECT_EQ(0, rn.status) << j << " " << c.in << " " << c.opts;
            EXPECT_EQ(r1.err, rn.err) << j << " " << c.in << " " << c.opts;
            EXPECT_TRUE(ziv::read_file(b) == want) << j << " " << c.in << " " << c.opts;
        }
        if (c.ext == ".raw") {
            ziv::Program to_file;
            to_file.out = b;
            RunResult rs = mp3dec(Args{"-j", "3"} + words(c.opts) + Args{c.in, "-"}, to_file);
            EXPECT_EQ(0, rs.status) << c.in << " " << c.opts;
            EXPECT_TRUE(ziv::read_file(b) == want)
                << "to standard output: " << c.in << " " << c.opts;
        }
    }
    for (const char* j : {"-j 2", ""}) {
        RunResult r = mp3dec(words(j) + Args{l3, "/nonexistent/dir/out.wav"});
        EXPECT_EQ(2, r.status) << j;
        EXPECT_EQ(1, lines(r.err)) << j << r.err;
        EXPECT_NE(std::string::npos, r.err.find("cannot write")) << r.err;
    }
}

TEST_F(Mp3dec, JunkAndTagsBeforeTheFirstFrameAreSkipped) {
    std::vector<uint8_t> file = ziv::read_file(mp3);
    // Junk holding false sync patterns whose headers are unusable.
    std::vector<uint8_t> junk = {0x00, 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x17, 0xFF, 0xE0, 0x00, 0x00};
    junk.resize(215, 0x5A);
    junk.insert(junk.end(), file.begin(), file.end());
    const std::string j = ziv::tmp_path("junk.mp3"), a = ziv::tmp_path("a.raw"),
                      b = ziv::tmp_path("b.raw");
    ASSERT_TRUE(ziv::write_file(j, junk.data(), junk.size()));
    ASSERT_EQ(0, mp3dec({mp3, a}).status);
    RunResult rj = mp3dec({j, b});
    ASSERT_EQ(0, rj.status) << rj.err;
    EXPECT_TRUE(ziv::read_file(a) == ziv::read_file(b));

    // A free-format stream (its frame size found by looking ahead for the next header) behind
    // an ID3v2 tag that ends just short of where the input is read in pieces (1 and 2 MiB) or
    // anywhere else: the same PCM as without the tag, its first frame not lost.
    const std::string free_mp3 = sample("free.mp3");  // lame --freeformat -b 320
    const std::vector<uint8_t> bare = ziv::read_file(free_mp3);
    ASSERT_EQ(0, mp3dec({free_mp3, a}).status);
    const std::vector<uint8_t> want = ziv::read_file(a);
    ASSERT_FALSE(want.empty());
    for (uint32_t tag : {1048276u, 2096852u, 70000u}) {
        const uint32_t body = tag - 10;
        std::vector<uint8_t> t = {'I', 'D', '3', 4, 0, 0, uint8_t(body >> 21 & 127),
                                  uint8_t(body >> 14 & 127), uint8_t(body >> 7 & 127),
                                  uint8_t(body & 127)};
        t.resize(tag, 0);
        t.insert(t.end(), bare.begin(), bare.end());
        ASSERT_TRUE(ziv::write_file(j, t.data(), t.size()));
        ASSERT_EQ(0, mp3dec({j, b}).status) << tag;
        EXPECT_TRUE(ziv::read_file(b) == want) << "free format behind a tag of " << tag << " bytes";
    }
}

// A stream of another rate spliced on after the short file: the output is the short file's, and
// one line on stderr names the first byte of the other stream and the frames decoded, the same
// from a file (on one thread or several), with ReplayGain (read whole), through a pipe and from a
// redirect; the gapless run ends before the other stream, the frames after it stepped over.
// Gapless off, every frame of the short file is decoded, up to the same byte.
TEST_F(Mp3dec, ASplicedStreamIsNamedAtItsFirstByteFromEverySource) {
    const std::string spliced = sample("spliced.mp3"), raw = ziv::tmp_path("spliced.raw");
    ASSERT_FALSE(spliced.empty());
    const size_t first = ziv::read_file(mp3).size();
    ASSERT_EQ(0, mp3dec({mp3, raw}).status);
    const std::vector<uint8_t> alone = ziv::read_file(raw);
    ASSERT_EQ(alone.size(), size_t(1.5 * 44100) * 4);
    // The frames a line names, checked to be the line for the file at `name`.
    auto frames_of = [&](const RunResult& r, const std::string& name) -> long long {
        const std::string head = "mp3dec: '" + name +
                                 "': another MPEG audio stream (other version, layer or sample "
                                 "rate) begins at byte " + std::to_string(first) +
                                 "; output ends after ";
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0u, r.err.find(head)) << r.err;
        EXPECT_EQ(1, lines(r.err)) << r.err;
        return r.err.find(head) == 0 ? std::atoll(r.err.c_str() + head.size()) : -1;
    };
    const long long frames = frames_of(mp3dec({spliced, raw}), spliced);
    EXPECT_TRUE(ziv::read_file(raw) == alone);
    // Every sample of the run came from the frames decoded.
    EXPECT_GE(frames * 1152, 66150);
    for (const char* opts : {"-j 1", "-j 2", "--replaygain track"}) {
        EXPECT_EQ(frames, frames_of(mp3dec(words(opts) + Args{spliced, raw}), spliced)) << opts;
        EXPECT_TRUE(ziv::read_file(raw) == alone || opts[1] != 'j') << opts;
    }
    for (bool pipe : {true, false}) {
        ziv::Program io;
        io.in = spliced;
        io.pipe_in = pipe;
        EXPECT_EQ(frames, frames_of(mp3dec({"-", raw}, io), "-")) << (pipe ? "pipe" : "redirect");
        EXPECT_TRUE(ziv::read_file(raw) == alone) << (pipe ? "pipe" : "redirect");
    }
    const long long every = frames_of(mp3dec({"--no-gapless", spliced, raw}), spliced);
    EXPECT_GT(every, frames) << "the frames after the run, and the Info frame";
    EXPECT_EQ(size_t(every) * 1152 * 4, ziv::read_file(raw).size());
}

TEST_F(Mp3dec, BenchPrintsSpeed) {
    RunResult r = mp3dec({"--bench", mp3, ziv::tmp_path("bench.raw")});
    ASSERT_EQ(0, r.status) << r.err;
    std::printf("%s", r.err.c_str());
    double times = 0, us = 0;
    const char* p = std::strstr(r.err.c_str(), "s: ");
    ASSERT_NE(nullptr, p) << r.err;
    ASSERT_EQ(2, std::sscanf(p, "s: %lf x real time, %lf us per frame", &times, &us)) << r.err;
    EXPECT_GT(times, 1.0);
    EXPECT_GT(us, 0.0);
}

// Gapless in every output form: the length of mpg123's default decode with the same rate,
// channels and width, byte for byte, and where both decoders compute the same samples (full
// rate, 16 bits; mpg123's one-channel decode takes a shortcut of its own) those samples within
// RMS 0.8 and 2 LSB. A file joined on after the first one's end is played whole, not lost.
TEST_F(Mp3dec, GaplessInEveryOutputFormMatchesMpg123) {
    std::vector<uint8_t> twice = ziv::read_file(mp3), once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    const std::string joined = ziv::tmp_path("twice.mp3");
    ASSERT_TRUE(ziv::write_file(joined, twice.data(), twice.size()));
    // mpg123's decodes of the file (mp3dec_sample.txt): -s with nothing, -m, -1, -e u8, -2, and
    // -e u8 -m -4.
    struct Form { const char* ours; const char* mpg123; bool same_pcm; };
    const Form forms[] = {{"", "mpg123_full.raw", true},
                          {"-c 1", "mpg123_mono.raw", true},
                          {"-c 3", "mpg123_left.raw", false},
                          {"-8", "mpg123_u8.raw", false},
                          {"-r 1", "mpg123_half.raw", false},
                          {"-8 -c 1 -r 2", "mpg123_u8_mono_quarter.raw", false}};
    const std::string ours = ziv::tmp_path("gl.raw");
    for (const Form& f : forms) {
        ASSERT_EQ(0, mp3dec(words(f.ours) + Args{mp3, ours}).status) << f.ours;
        const std::vector<uint8_t> a = ziv::read_file(ours),
                                   b = ziv::listed_input("mp3dec_sample.txt", f.mpg123);
        ASSERT_FALSE(b.empty()) << f.mpg123;
        EXPECT_EQ(b.size(), a.size()) << "mp3dec " << f.ours << " against " << f.mpg123;
        if (!f.same_pcm) continue;
        const ziv::PcmDiff d = ziv::pcm_diff(ziv::to_s16(a), ziv::to_s16(b));
        EXPECT_EQ(b.size() / 2, d.compared) << f.ours;
        EXPECT_LE(d.rms, 0.8) << f.ours;
        EXPECT_LE(d.max, 2) << f.ours;
    }
    // The LAME tag's frame count ends the output: a second encoding joined on is cut off.
    ASSERT_EQ(0, mp3dec({mp3, ours}).status);
    const std::string ours_joined = ziv::tmp_path("gl_joined.raw");
    ASSERT_EQ(0, mp3dec({joined, ours_joined}).status);
    EXPECT_EQ(ziv::read_file(ours), ziv::read_file(ours_joined));
}

// The gapless length against mpg123's on files from lame and from ffmpeg's libmp3lame front end:
// mono and stereo, MPEG-1 and MPEG-2 rates, constant, variable and average bitrate. ffmpeg
// leaves the LAME tag's CRC stale on some of them (mono, and the lower sampling frequencies);
// its delay and padding count all the same.
TEST_F(Mp3dec, GaplessLengthMatchesMpg123AcrossEncoders) {
    // The files and mpg123's decodes of them (mp3dec_encoders.txt).
    const std::string list = "mp3dec_encoders.txt";
    const char* const modes[] = {"lame_cbr", "lame_vbr", "lame_abr", "ff_cbr", "ff_vbr", "ff_abr"};
    int files = 0;
    for (int rate : {44100, 22050}) {
        for (int channels : {1, 2}) {
            for (const char* mode : modes) {
                const std::string name = std::string(mode) + "_" + std::to_string(rate) + "_" +
                                         std::to_string(channels);
                const std::string mp3 = ziv::listed_path(list, name + ".mp3");
                ASSERT_FALSE(mp3.empty()) << name;
                const std::string ours = ziv::tmp_path("mx_ours.raw");
                ASSERT_EQ(0, mp3dec({mp3, ours}).status) << mp3;
                const size_t want = ziv::listed_input(list, name + ".mpg123.raw").size(),
                             got = ziv::read_file(ours).size();
                EXPECT_EQ(want, got) << mode << " at " << rate << " Hz, " << channels
                                     << " channel(s): mpg123 " << want / 2 / size_t(channels)
                                     << " samples, mp3dec " << got / 2 / size_t(channels);
                ++files;
            }
        }
    }
    EXPECT_EQ(24, files);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// A WAV file: its data after the 44-byte header equal to `raw`, its two sizes as given.
void expect_wav(const std::vector<uint8_t>& w, const std::vector<uint8_t>& raw, uint32_t riff,
                uint32_t data, const char* what) {
    ASSERT_EQ(raw.size() + 44, w.size()) << what;
    EXPECT_EQ(riff, le32(w, 4)) << what;
    EXPECT_EQ(data, le32(w, 40)) << what;
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), w.begin() + 44)) << what << ": data differs";
}

// A three-minute file with tags at its end, one of which holds a whole MP3 file (frames that
// decode, unless the tags are cut off), through pipes, a redirect and a named pipe: the same PCM
// as the plain file's, and WAV sizes that are right where the output seeks (written again at the
// end) and where it cannot (the gapless length from the Info frame announced, or 0xFFFFFFFF
// without one).
TEST_F(Mp3dec, LongFileStreamsThroughPipesRedirectsAndFifos) {
    // 180 s by lame, and 1.5 s by lame without its Info frame (mp3dec_streams.txt).
    const std::string mp3 = ziv::listed_path("mp3dec_streams.txt", "long.mp3"),
                      bare = ziv::listed_path("mp3dec_streams.txt", "bare.mp3");
    ASSERT_FALSE(mp3.empty() || bare.empty());
    std::vector<uint8_t> tagged = ziv::read_file(mp3);
    const std::vector<uint8_t> inner = ziv::read_file(bare);
    const uint32_t ape = uint32_t(inner.size() + 32);
    tagged.insert(tagged.end(), inner.begin(), inner.end());
    const uint8_t footer[32] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0,
                                uint8_t(ape), uint8_t(ape >> 8), uint8_t(ape >> 16), 0, 1};
    tagged.insert(tagged.end(), footer, footer + 32);
    std::vector<uint8_t> id3v1(128, 0xFF);
    std::memcpy(id3v1.data(), "TAG", 3);
    tagged.insert(tagged.end(), id3v1.begin(), id3v1.end());
    const std::string in = ziv::tmp_path("tagged.mp3");
    ASSERT_TRUE(ziv::write_file(in, tagged.data(), tagged.size()));

    const std::string ref_raw = ziv::tmp_path("ref.raw"), got = ziv::tmp_path("got.raw");
    ASSERT_EQ(0, mp3dec({mp3, ref_raw}).status);
    const std::vector<uint8_t> ref = ziv::read_file(ref_raw);
    ASSERT_EQ(180u * 44100 * 4, ref.size()) << "gapless: the encoder's input, sample for sample";
    const uint32_t n = uint32_t(ref.size());
    ASSERT_EQ(0, mp3dec({in, got}).status);
    EXPECT_TRUE(ziv::read_file(got) == ref) << "tagged file";
    ziv::Program pipes;
    pipes.in = in;
    pipes.out = got;
    pipes.pipe_in = pipes.pipe_out = true;
    ASSERT_EQ(0, mp3dec({"-", "-"}, pipes).status);
    EXPECT_TRUE(ziv::read_file(got) == ref) << "pipe in and out";

    const std::string out = ziv::tmp_path("out.wav");
    ziv::Program redirected;
    redirected.in = in;
    ASSERT_EQ(0, mp3dec({"-", out}, redirected).status);
    expect_wav(ziv::read_file(out), ref, n + 36, n, "redirected input, WAV file");
    // A WAV file written into a named pipe, which mp3dec cannot seek in.
    auto via_pipe = [&](const std::string& file) {
        ziv::PipeSink sink;
        EXPECT_TRUE(sink.open("out.wav", out));
        const RunResult r = mp3dec({file, sink.path()});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(sink.finish());
        return r.status;
    };
    ASSERT_EQ(0, via_pipe(in));
    expect_wav(ziv::read_file(out), ref, n + 36, n, "WAV into a named pipe, Info frame");
    ASSERT_EQ(0, mp3dec({bare, got}).status);
    ASSERT_EQ(0, via_pipe(bare));
    expect_wav(ziv::read_file(out), ziv::read_file(got), 0xFFFFFFFFu, 0xFFFFFFFFu,
               "WAV into a named pipe, no Xing frame");
}

// Truncated, damaged and random inputs: mp3dec ends normally (0, 2 or 3), never by a signal
// or a sanitizer report.
TEST_F(Mp3dec, TruncatedDamagedAndRandomFilesFinish) {
    std::vector<uint8_t> file = ziv::read_file(mp3);
    std::mt19937 rng(ziv::test_seed());
    const std::string in = ziv::tmp_path("bad.mp3"), out = ziv::tmp_path("bad.raw");
    for (int t = 0; t < 40; ++t) {
        std::vector<uint8_t> v;
        const char* kind;
        if (t < 10) {
            kind = "truncated";
            v.assign(file.begin(), file.begin() + long(rng() % file.size()));
        } else if (t < 30) {
            kind = "damaged";
            v = file;
            int hits = 1 + int(rng() % 200);
            for (int k = 0; k < hits; ++k) v[rng() % v.size()] = uint8_t(rng());
            if (t % 3 == 0) v.resize(rng() % v.size());
        } else {
            kind = "random";
            v.resize(rng() % 20000);
            for (auto& b : v) b = uint8_t(rng());
            // Seed it with sync patterns so that frames are attempted.
            for (size_t k = 0; k + 4 < v.size(); k += 1 + rng() % 700) {
                v[k] = 0xFF;
                v[k + 1] = uint8_t(0xE0 | (rng() & 0x1F));
            }
        }
        ASSERT_TRUE(ziv::write_file(in, v.data(), v.size()));
        for (const char* opt : {"", "-c 1 -r 1", "-8 -r 2 -c 3"}) {
            RunResult r = mp3dec(words(opt) + Args{in, out});
            EXPECT_TRUE(r.status == 0 || r.status == 2 || r.status == 3)
                << kind << " input " << t << " (" << v.size() << " bytes) " << opt
                << ": status " << r.status << "\n" << r.err;
        }
    }
}

}  // namespace
