// mp3dec --info against independent readers, on files encoded and tagged by several writers run
// as black boxes (lame's own tag options, ffmpeg -metadata, id3v2, mutagen's mid3v2 and its
// library for UTF-16 ID3v2.3 and for APEv2): the tag text equals what ffprobe reports (mutagen's
// own reading for APEv2, which ffprobe does not read in MP3 files), the stream's facts equal
// ffprobe's, and `samples` equals the length of mp3dec's default decode and of mpg123's gapless
// decode. The plain form says the same as the JSON. The files and the other readers' outputs
// come from an input list (tests/inputs/mp3dec_info.txt), made before mp3dec reads them; mp3dec
// is started with its arguments as they are (system.h), so the tests run mp3dec.exe under wine.
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "system.h"
#include "test_util.h"

namespace {

// ---- A small JSON reader: enough for ffprobe's output and ours, and strict about the syntax,
// so that a malformed object from mp3dec fails the test. ----
struct Json {
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* get(const std::string& k) const {
        for (const auto& m : members)
            if (m.first == k) return &m.second;
        return nullptr;
    }
    // A member by key, ASCII case ignored (APEv2 keys are "Title", ffprobe's "title").
    const Json* get_nocase(const std::string& k) const {
        for (const auto& m : members)
            if (m.first.size() == k.size() &&
                std::equal(k.begin(), k.end(), m.first.begin(),
                           [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
                return &m.second;
        return nullptr;
    }
};

struct JsonParser {
    const std::string& s;
    size_t i = 0;
    bool ok = true;

    void ws() {
        while (i < s.size() && std::strchr(" \t\r\n", s[i])) ++i;
    }
    bool eat(char c) {
        ws();
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    void put_utf8(std::string* o, uint32_t c) {
        if (c < 0x80) *o += char(c);
        else if (c < 0x800) *o += char(0xC0 | c >> 6), *o += char(0x80 | (c & 63));
        else if (c < 0x10000)
            *o += char(0xE0 | c >> 12), *o += char(0x80 | (c >> 6 & 63)), *o += char(0x80 | (c & 63));
        else
            *o += char(0xF0 | c >> 18), *o += char(0x80 | (c >> 12 & 63)),
                *o += char(0x80 | (c >> 6 & 63)), *o += char(0x80 | (c & 63));
    }
    uint32_t hex4() {
        if (i + 4 > s.size()) return ok = false, 0;
        const uint32_t v = uint32_t(std::stoul(s.substr(i, 4), nullptr, 16));
        i += 4;
        return v;
    }
    std::string str() {
        std::string o;
        if (!eat('"')) return ok = false, o;
        while (ok && i < s.size() && s[i] != '"') {
            const unsigned char c = s[i++];
            if (c < 0x20) return ok = false, o;  // a raw control character
            if (c != '\\') {
                o += char(c);
                continue;
            }
            const char e = i < s.size() ? s[i++] : 0;
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            if (const char* q = e ? std::strchr(from, e) : nullptr) {
                o += to[q - from];
            } else if (e == 'u') {
                uint32_t u = hex4();
                if (u >= 0xD800 && u < 0xDC00 && s.compare(i, 2, "\\u") == 0) {
                    i += 2;
                    u = 0x10000 + ((u - 0xD800) << 10) + (hex4() - 0xDC00);
                }
                put_utf8(&o, u);
            } else {
                ok = false;
            }
        }
        if (!eat('"')) ok = false;
        return o;
    }
    Json value() {
        Json v;
        ws();
        if (i >= s.size()) return ok = false, v;
        const char c = s[i];
        if (c == '{') {
            v.kind = Json::OBJECT;
            ++i;
            if (eat('}')) return v;
            do {
                std::string k = str();
                if (!eat(':')) ok = false;
                v.members.emplace_back(k, value());
            } while (ok && eat(','));
            if (!eat('}')) ok = false;
        } else if (c == '[') {
            v.kind = Json::ARRAY;
            ++i;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (ok && eat(','));
            if (!eat(']')) ok = false;
        } else if (c == '"') {
            v.kind = Json::STRING;
            v.text = str();
        } else if (s.compare(i, 4, "null") == 0) {
            i += 4;
        } else if (s.compare(i, 4, "true") == 0 || s.compare(i, 5, "false") == 0) {
            v.kind = Json::BOOL;
            i += s[i] == 't' ? 4 : 5;
        } else {
            v.kind = Json::NUMBER;
            size_t used = 0;
            v.number = std::stod(s.substr(i, 40), &used);
            i += used;
            if (!used) ok = false;
        }
        return v;
    }
};

bool parse_json(const std::string& s, Json* out) {
    JsonParser p{s};
    *out = p.value();
    p.ws();
    return p.ok && p.i == s.size();
}

// A file of the input list: the tagged files, the sample WAV and cover picture they were made
// from, and what the other readers said of each.
std::string input(const std::string& name) { return ziv::listed_path("mp3dec_info.txt", name); }

std::string text_of(const std::string& path) {
    const std::vector<uint8_t> b = ziv::read_file(path);
    return std::string(b.begin(), b.end());
}

// mp3dec's standard output with these arguments, and its exit status.
std::string mp3dec_output(const std::vector<std::string>& args, int* status) {
    ziv::Program p;
    p.args = {ziv::mp3dec_path()};
    p.args.insert(p.args.end(), args.begin(), args.end());
    p.out = ziv::tmp_path("capture.txt");
    *status = ziv::run_program(p);
    return text_of(p.out);
}

// One file of the list: the bitrate mode expected, and who reads its tags.
struct Case {
    const char* name;
    const char* mode;
    bool ape;  // tags read back by mutagen (ffprobe reads no APEv2 in MP3 files)
    // Where ffprobe falls short: fields it does not report ("comment"), or of whose several
    // values it reports the first alone ("artist*").
    std::vector<std::string> ffprobe_differs;
};

const char* const kFields[] = {"title", "artist", "album", "date", "track", "genre", "comment"};

class Mp3decInfo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ziv::file_exists(ziv::mp3dec_path())) << ziv::mp3dec_path();
        wav = input("src.wav");
        pic = input("cover.png");
        ASSERT_FALSE(wav.empty() || pic.empty());
    }
    std::string wav, pic;
};

Json info_json(const std::string& file) {
    int st = -1;
    const std::string out = mp3dec_output({"--info", "--json", file}, &st);
    Json j;
    EXPECT_EQ(0, st) << file;
    EXPECT_TRUE(parse_json(out, &j)) << file << ": not one JSON object:\n" << out;
    return j;
}

TEST_F(Mp3decInfo, TagsAndFactsEqualIndependentReaders) {
    // How each is made: mp3dec_info.txt.
    const std::vector<Case> cases = {
        {"lame_cbr", "CBR", false, {"comment"}},
        {"lame_vbr_utf16", "VBR", false, {}},
        {"lame_abr_id3v1", "ABR", false, {}},
        {"ffmpeg_utf8", "CBR", false, {}},
        {"ffmpeg_no_xing", "CBR", false, {}},
        {"mid3v2", "CBR", false, {}},
        {"id3v2_tool", "CBR", false, {}},
        {"mutagen_utf16", "CBR", false, {}},
        {"ape_alone", "CBR", true, {}},
        {"multi_v23", "CBR", false, {}},
        {"multi_v24", "CBR", false, {"artist*", "genre*"}},
        {"id3v2_over_ape", "CBR", false, {}},
        {"layer2", "CBR", false, {}},
        {"mpeg2_mono", "CBR", false, {}},
        {"mpeg25_vbr", "VBR", false, {}},
    };
    int compared = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = input(std::string(c.name) + ".mp3");
        ASSERT_FALSE(file.empty());
        const Json info = info_json(file);
        ASSERT_EQ(Json::OBJECT, info.kind);
        int st = -1;
        const std::string probe_text = text_of(input(std::string(c.name) + ".probe.json"));
        Json probe;
        ASSERT_TRUE(parse_json(probe_text, &probe)) << probe_text;
        const Json* streams = probe.get("streams");
        ASSERT_TRUE(streams && !streams->items.empty());
        const Json& audio = streams->items[0];

        // The stream's facts.
        auto num = [&](const char* k) { const Json* v = info.get(k); return v ? v->number : -1.0; };
        EXPECT_EQ(audio.get("sample_rate")->text, std::to_string(int(num("sample_rate"))));
        EXPECT_EQ(audio.get("channels")->number, num("channels"));
        EXPECT_EQ(audio.get("codec_name")->text == "mp2" ? 2 : 3, num("layer"));
        const int rate = int(num("sample_rate"));
        const char* version = rate >= 32000 ? "1" : rate >= 16000 ? "2" : "2.5";
        ASSERT_TRUE(info.get("version"));
        EXPECT_EQ(version, info.get("version")->text);
        ASSERT_TRUE(info.get("bitrate_mode"));
        EXPECT_EQ(c.mode, info.get("bitrate_mode")->text);
        if (std::string(c.mode) == "CBR")
            EXPECT_EQ(audio.get("bit_rate")->text, std::to_string(int64_t(num("bitrate"))));
        else
            EXPECT_GT(num("bitrate"), 8000.0);

        // samples: mp3dec's default decode, and mpg123's gapless decode.
        const int channels = int(num("channels"));
        const int64_t samples = int64_t(num("samples"));
        const std::string pcm = mp3dec_output({file, "-"}, &st);
        EXPECT_EQ(0, st);
        EXPECT_EQ(int64_t(pcm.size()) / (2 * channels), samples);
        const int64_t mpg123 =
            int64_t(ziv::read_file(input(std::string(c.name) + ".mpg123.raw")).size());
        EXPECT_EQ(mpg123 / (2 * channels), samples) << "mpg123's gapless decode";
        EXPECT_NEAR(double(samples) / rate, num("duration"), 1e-6);

        // The tags: each field the reference reports, and each user pair, equal; nothing that
        // the reference lacks, save what the case lists.
        Json ref;
        if (c.ape) {
            const std::string t = text_of(input(std::string(c.name) + ".ape.json"));
            ASSERT_TRUE(parse_json(t, &ref)) << t;
        } else if (const Json* t = probe.get("format")->get("tags")) {
            ref = *t;
        }
        const Json* tags = info.get("tags");
        const Json empty;
        const Json& ours = tags ? *tags : empty;
        const Json* user = ours.get("user");
        for (const char* k : kFields) {
            const Json* want = ref.get_nocase(k);
            if (!want && std::string(k) == "date") want = ref.get_nocase("year");
            const Json* got = ours.get(k);
            auto differs = [&](const std::string& how) {
                return std::find(c.ffprobe_differs.begin(), c.ffprobe_differs.end(), how) !=
                       c.ffprobe_differs.end();
            };
            const bool omitted = differs(k);
            if (want) {
                ASSERT_TRUE(got || (user && user->get_nocase(k))) << "field " << k << " missing";
                const Json* have = got ? got : user->get_nocase(k);
                if (differs(std::string(k) + "*") && have->text != want->text)
                    EXPECT_EQ(0u, have->text.rfind(want->text + "/", 0)) << "field " << k;
                else
                    EXPECT_EQ(want->text, have->text) << "field " << k;
                ++compared;
            } else if (!omitted) {
                EXPECT_FALSE(got) << "field " << k << " = " << got->text << ", reference has none";
            }
        }
        for (size_t i = 0; user && i < user->members.size(); ++i)
            EXPECT_EQ(&user->members[i].second, user->get_nocase(user->members[i].first))
                << "user key " << user->members[i].first << " given twice";
        for (const auto& [k, v] : user ? user->members : empty.members) {
            const Json* want = ref.get_nocase(k);
            ASSERT_TRUE(want) << "user pair " << k << " unknown to the reference";
            EXPECT_EQ(want->text, v.text) << "user pair " << k;
            ++compared;
        }
        // Pictures: ffprobe shows each as a stream whose title is the description.
        const Json* pics = info.get("pictures");
        const size_t shown = streams->items.size() - 1;
        EXPECT_EQ(shown, pics ? pics->items.size() : 0u);
        if (pics && shown == 1) {
            const Json& p = pics->items[0];
            EXPECT_EQ(streams->items[1].get("tags")->get("title")->text, p.get("description")->text);
            EXPECT_EQ("image/png", p.get("mime")->text);
            EXPECT_EQ(3, p.get("type")->number);
            EXPECT_EQ(double(ziv::read_file(pic).size()), p.get("bytes")->number);
        }

        // The plain form: the same values, one "label: value" line each.
        const std::string plain = mp3dec_output({"--info", file}, &st);
        EXPECT_EQ(0, st);
        EXPECT_NE(std::string::npos, plain.find("samples: " + std::to_string(samples))) << plain;
        for (const char* k : kFields) {
            const Json* v = ours.get(k);
            if (!v) continue;
            std::string shown_text;
            for (unsigned char ch : v->text) {
                char x[8];
                std::snprintf(x, sizeof x, "\\x%02x", ch);
                shown_text += ch < 0x20 ? std::string(x) : std::string(1, char(ch));
            }
            EXPECT_NE(std::string::npos, plain.find(std::string(k) + ": " + shown_text + "\n"))
                << plain;
        }
    }
    std::printf("[ compared ] %d tag values over %zu files\n", compared, cases.size());
    EXPECT_GE(compared, 45);
}

// The LAME tag's own facts: encoder and delay/padding, the gains lame measured (radio always,
// the peak with --replaygain-accurate), and the tags' ReplayGain winning over the LAME tag's.
TEST_F(Mp3decInfo, LameTagEncoderGaplessAndReplayGain) {
    // lame --replaygain-accurate -b 128, its log beside it.
    const std::string file = input("rg.mp3");
    const std::string said = text_of(input("rg.log"));
    // lame reports "ReplayGain: -9.5dB" when done.
    const size_t at = said.find("ReplayGain: ");
    ASSERT_NE(std::string::npos, at) << said;
    const double lame_gain = std::atof(said.c_str() + at + 12);
    Json j = info_json(file);
    ASSERT_TRUE(j.get("encoder") && j.get("gapless") && j.get("replaygain"));
    EXPECT_EQ(0u, j.get("encoder")->text.rfind("LAME", 0)) << j.get("encoder")->text;
    EXPECT_EQ(576, j.get("gapless")->get("delay")->number);
    const int64_t frames_samples = int64_t(j.get("samples")->number) + 576 +
                                   int64_t(j.get("gapless")->get("padding")->number);
    EXPECT_EQ(0, frames_samples % 1152) << "delay + samples + padding fill whole frames";
    const Json* rg = j.get("replaygain");
    ASSERT_TRUE(rg->get("track_gain") && rg->get("track_peak"));
    EXPECT_NEAR(lame_gain, rg->get("track_gain")->number, 0.051);
    // Each channel is one sine of amplitude 0.6.
    EXPECT_NEAR(0.6, rg->get("track_peak")->number, 0.05);

    // A TXXX gain added by mid3v2 wins over the LAME tag's.
    j = info_json(input("rg_txxx.mp3"));
    ASSERT_TRUE(j.get("replaygain") && j.get("replaygain")->get("track_gain"));
    EXPECT_EQ(1.25, j.get("replaygain")->get("track_gain")->number);
    EXPECT_TRUE(j.get("replaygain")->get("track_peak")) << "the LAME tag's peak still counts";
}

// Usage and failures follow mp3dec's rules: one line on stderr, 1 for usage, 2 for input.
TEST_F(Mp3decInfo, UsageAndBadInputs) {
    const std::string txt = ziv::tmp_path("text.bin");
    const std::string junk(3000, 'x');
    ASSERT_TRUE(ziv::write_file(txt, junk.data(), junk.size()));
    struct Bad {
        std::vector<std::string> args;
        int status;
    };
    const Bad bad[] = {{{"--json", wav}, 1},
                       {{"--info"}, 1},
                       {{"--info", "a.mp3", "b.mp3"}, 1},
                       {{"--info", "--bench", "a.mp3"}, 1},
                       {{"--info", "/nonexistent/x.mp3"}, 2},
                       {{"--info", "--json", txt}, 2}};
    for (const Bad& b : bad) {
        ziv::Program p;
        p.args = {ziv::mp3dec_path()};
        p.args.insert(p.args.end(), b.args.begin(), b.args.end());
        p.err = ziv::tmp_path("err.txt");
        p.out = ziv::tmp_path("out.txt");
        std::string shown;
        for (const std::string& a : b.args) shown += " " + a;
        const int st = ziv::run_program(p);
        const std::string msg = text_of(p.err);
        EXPECT_EQ(b.status, st) << shown;
        EXPECT_EQ(1, std::count(msg.begin(), msg.end(), '\n')) << shown << ": " << msg;
        EXPECT_EQ(0u, msg.rfind("mp3dec: ", 0)) << msg;
        EXPECT_TRUE(ziv::read_file(p.out).empty()) << shown;
    }
}

}  // namespace
