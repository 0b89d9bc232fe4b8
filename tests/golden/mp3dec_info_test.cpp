// mp3dec --info against independent readers, on files encoded and tagged at test time by several
// writers run as black boxes (lame's own tag options, ffmpeg -metadata, id3v2, mutagen's mid3v2
// and its library for UTF-16 ID3v2.3 and for APEv2): the tag text equals what ffprobe reports
// (mutagen's own reading for APEv2, which ffprobe does not read in MP3 files), the stream's
// facts equal ffprobe's, and `samples` equals the length of mp3dec's default decode and of
// mpg123's gapless decode. The plain form says the same as the JSON.
#include <cmath>
#include <map>
#include <string>
#include <vector>

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

std::string shell_quote(const std::string& s) {
    std::string o = "'";
    for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return o + "'";
}

// Standard output of a shell command, and its exit status.
std::string capture(const std::string& cmd, int* status) {
    const std::string out = ziv::tmp_path("capture.txt");
    *status = ziv::run("LC_ALL=C.UTF-8 " + cmd + " > " + shell_quote(out) + " 2>/dev/null");
    const std::vector<uint8_t> b = ziv::read_file(out);
    return std::string(b.begin(), b.end());
}

std::string python() { return ziv::file_exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// One file: how it is made from the sample WAV, how its facts read, and who reads its tags.
struct Case {
    const char* name;
    std::string make;          // shell command; $W the WAV, $F the file, $P the cover picture
    const char* mode;          // the bitrate mode expected
    bool ape;                  // tags read back by mutagen (ffprobe reads no APEv2 in MP3)
    // Where ffprobe falls short: fields it does not report ("comment"), or of whose several
    // values it reports the first alone ("artist*").
    std::vector<std::string> ffprobe_differs;
};

std::string expand(std::string cmd, const std::string& wav, const std::string& file,
                   const std::string& pic) {
    for (auto [k, v] : {std::pair<std::string, std::string>{"$W", wav}, {"$F", file}, {"$P", pic}})
        for (size_t at; (at = cmd.find(k)) != std::string::npos;) cmd.replace(at, 2, shell_quote(v));
    return cmd;
}

const char* const kFields[] = {"title", "artist", "album", "date", "track", "genre", "comment"};

class Mp3decInfo : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* t : {"lame", "sox", "ffmpeg", "ffprobe", "mpg123", "id3v2", "mid3v2",
                              "twolame"})
            ZIV_REQUIRE_TOOL(t);
        ASSERT_EQ(0, ziv::run(python() + " -c 'import mutagen' 2>/dev/null"))
            << "python3-mutagen is not installed (run ./test.sh to set up)";
        wav = ziv::tmp_path("src.wav");
        ASSERT_EQ(0, ziv::run("sox -n -r 44100 -c 2 " + shell_quote(wav) +
                              " synth 2.3 sine 440 sine 1250 vol 0.6 2>/dev/null"));
        // A 1x1 PNG, written by Python's zlib (the bytes are the picture's size to match).
        pic = ziv::tmp_path("cover.png");
        ASSERT_EQ(0, ziv::run(python() + " -c \"import struct,zlib,sys\n"
                                         "def c(t,d): return struct.pack('>I',len(d))+t+d+"
                                         "struct.pack('>I',zlib.crc32(t+d))\n"
                                         "open(sys.argv[1],'wb').write(b'\\x89PNG\\r\\n\\x1a\\n'+"
                                         "c(b'IHDR',struct.pack('>IIBBBBB',1,1,8,2,0,0,0))+"
                                         "c(b'IDAT',zlib.compress(b'\\x00\\xff\\x00\\x00'))+"
                                         "c(b'IEND',b''))\" " + shell_quote(pic)));
    }
    std::string wav, pic;
};

Json info_json(const std::string& file) {
    int st = -1;
    const std::string out = capture("'" + ziv::mp3dec_path() + "' --info --json " + shell_quote(file), &st);
    Json j;
    EXPECT_EQ(0, st) << file;
    EXPECT_TRUE(parse_json(out, &j)) << file << ": not one JSON object:\n" << out;
    return j;
}

int64_t decoded_samples(const std::string& cmd, int channels) {
    int st = -1;
    const std::string pcm = capture(cmd, &st);
    EXPECT_EQ(0, st) << cmd;
    return int64_t(pcm.size()) / (2 * channels);
}

TEST_F(Mp3decInfo, TagsAndFactsEqualIndependentReaders) {
    const std::string tagged = "lame --quiet --id3v2-only --tt 'Title One' --ta 'Artist A' "
                               "--tl 'Album X' --ty 2001 --tn 3/12 --tg Rock --tc 'A comment'";
    const std::string bare96 = "lame --quiet -b 96 $W $F";
    const std::vector<Case> cases = {
        // lame's ID3v2.3 (UTF-16 text); ffmpeg reads no COMM frame with a language of lame's.
        {"lame_cbr", tagged + " -b 128 $W $F", "CBR", false, {"comment"}},
        {"lame_vbr_utf16", "lame --quiet -V 4 --id3v2-utf16 --tt 'Привет мир 日本' --ta 'Åsa' "
                           "--tg 17 $W $F", "VBR", false, {}},
        {"lame_abr_id3v1", "lame --quiet --abr 160 --id3v1-only --tt 'V1 Title' --ta 'V1 Artist' "
                           "--tl 'V1 Album' --ty 1999 --tn 7 --tg Jazz --tc 'v1 comment' $W $F",
         "ABR", false, {}},
        // ffmpeg's ID3v2.4 (UTF-8; its comment is a TXXX "comment", a user pair here).
        {"ffmpeg_utf8", "ffmpeg -v quiet -y -i $W -c:a libmp3lame -b:a 128k "
                        "-metadata title='Ünïcode ☃ title' -metadata artist='FF Artist' "
                        "-metadata album='FF Album' -metadata date=2020 -metadata track=5 "
                        "-metadata genre=Electronic -metadata comment='ff comment' $F",
         "CBR", false, {}},
        {"ffmpeg_no_xing", "ffmpeg -v quiet -y -i $W -c:a libmp3lame -b:a 96k -write_xing 0 "
                           "-metadata title='No Xing' $F", "CBR", false, {}},
        // mid3v2: ID3v2.4, user pairs (one with quotes, one with a tab), a picture, ReplayGain.
        {"mid3v2", bare96 + " && mid3v2 -e -t 'Mutagen\\tTtl' -a 'Mut Artist' -A 'Mut Album' "
                            "-y 2011 -T 4/9 -g Synthpop -c '':'mut comment':eng "
                            "--TXXX 'MOOD:calm \"quoted\" \\\\ back' "
                            "--TXXX 'REPLAYGAIN_TRACK_GAIN:-3.21 dB' "
                            "-p $P:'Front desc':3:image/png $F",
         "CBR", false, {}},
        // id3v2 (id3lib): ID3v2.3 Latin-1 beside an ID3v1 tag, genre by number.
        {"id3v2_tool", bare96 + " && id3v2 -t 'Id3v2 Title' -a 'Id3 Artist' -A 'Id3 Album' "
                                "-y 1987 -T 2 -g 17 -c 'id3v2 comment' $F",
         "CBR", false, {}},
        // mutagen's library: ID3v2.3 in UTF-16 with byte order marks, outside the basic plane.
        {"mutagen_utf16", bare96 + " && " + python() +
                              " -c \"import sys; from mutagen.id3 import ID3,TIT2,TPE1; t=ID3(); "
                              "t.add(TIT2(encoding=1,text=['Ελληνικά 中文 🎵'])); "
                              "t.add(TPE1(encoding=1,text=['Kö Artist'])); "
                              "t.save(sys.argv[1],v2_version=3)\" $F",
         "CBR", false, {}},
        // APEv2 alone.
        {"ape_alone", bare96 + " && " + python() +
                          " -c \"import sys; from mutagen.apev2 import APEv2; t=APEv2(); "
                          "t['Title']='APE Titel ä'; t['Artist']='APE Artist'; "
                          "t['Album']='APE Album'; t['Year']='2003'; t['Track']='11'; "
                          "t['Genre']='Ambient'; t['Comment']='ape comment'; "
                          "t['MyKey']='my value'; t.save(sys.argv[1])\" $F",
         "CBR", true, {}},
        // Several values: ID3v2.3 joins them with "/" itself; ID3v2.4 separates them with NULs,
        // of which ffprobe reports the first alone.
        {"multi_v23", bare96 + " && " + python() +
                          " -c \"import sys; from mutagen.id3 import ID3,TPE1; t=ID3(); "
                          "t.add(TPE1(encoding=1,text=['Anna','Bert'])); "
                          "t.save(sys.argv[1],v2_version=3)\" $F",
         "CBR", false, {}},
        {"multi_v24", bare96 + " && " + python() +
                          " -c \"import sys; from mutagen.id3 import ID3,TPE1,TCON; t=ID3(); "
                          "t.add(TPE1(encoding=3,text=['Anna','Bert'])); "
                          "t.add(TCON(encoding=3,text=['Rock','Jazz'])); t.save(sys.argv[1])\" $F",
         "CBR", false, {"artist*", "genre*"}},
        // ID3v2 and APEv2 both: ID3v2 wins, a user key given by both is shown once.
        {"id3v2_over_ape", bare96 + " && mid3v2 -t 'ID3 title' --TXXX 'MOOD:id3 mood' $F && " +
                               python() +
                               " -c \"import sys; from mutagen.apev2 import APEv2; t=APEv2(); "
                               "t['Title']='APE title'; t['MOOD']='ape mood'; t.save(sys.argv[1])\" $F",
         "CBR", false, {}},
        // Other layers and versions, untagged.
        {"layer2", "twolame --quiet -b 192 $W $F", "CBR", false, {}},
        {"mpeg2_mono", "lame --quiet -b 64 --resample 22.05 -m m $W $F", "CBR", false, {}},
        {"mpeg25_vbr", "lame --quiet -V 6 --resample 8 $W $F", "VBR", false, {}},
    };
    int compared = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = ziv::tmp_path(std::string(c.name) + ".mp3");
        ASSERT_EQ(0, ziv::run("LC_ALL=C.UTF-8 sh -c " + shell_quote(expand(c.make, wav, file, pic))))
            << expand(c.make, wav, file, pic);
        const Json info = info_json(file);
        ASSERT_EQ(Json::OBJECT, info.kind);
        int st = -1;
        const std::string probe_text = capture(
            "ffprobe -v quiet -print_format json -show_format -show_streams " + shell_quote(file), &st);
        Json probe;
        ASSERT_TRUE(st == 0 && parse_json(probe_text, &probe)) << probe_text;
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
        EXPECT_EQ(decoded_samples("'" + ziv::mp3dec_path() + "' " + shell_quote(file) + " -",
                                  channels), samples);
        EXPECT_EQ(decoded_samples("mpg123 -q -s " + shell_quote(file), channels), samples);
        EXPECT_NEAR(double(samples) / rate, num("duration"), 1e-6);

        // The tags: each field the reference reports, and each user pair, equal; nothing that
        // the reference lacks, save what the case lists.
        Json ref;
        if (c.ape) {
            const std::string t = capture(
                python() + " -c \"import json,sys; from mutagen.apev2 import APEv2; "
                           "print(json.dumps({k: str(v) for k, v in APEv2(sys.argv[1]).items()}))\" " +
                    shell_quote(file), &st);
            ASSERT_TRUE(st == 0 && parse_json(t, &ref)) << t;
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
        const std::string plain =
            capture("'" + ziv::mp3dec_path() + "' --info " + shell_quote(file), &st);
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
    const std::string file = ziv::tmp_path("rg.mp3"), log = ziv::tmp_path("rg.txt");
    ASSERT_EQ(0, ziv::run("lame --replaygain-accurate -b 128 " + shell_quote(wav) + " " +
                          shell_quote(file) + " > " + shell_quote(log) + " 2>&1"));
    const std::vector<uint8_t> l = ziv::read_file(log);
    const std::string said(l.begin(), l.end());
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
    ASSERT_EQ(0, ziv::run("mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:+1.25 dB' " + shell_quote(file)));
    j = info_json(file);
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
        std::string args;
        int status;
    };
    const Bad bad[] = {{"--json " + shell_quote(wav), 1},
                       {"--info", 1},
                       {"--info a.mp3 b.mp3", 1},
                       {"--info --bench a.mp3", 1},
                       {"--info /nonexistent/x.mp3", 2},
                       {"--info --json " + shell_quote(txt), 2}};
    for (const Bad& b : bad) {
        const std::string err = ziv::tmp_path("err.txt"), out = ziv::tmp_path("out.txt");
        const int st = ziv::run("'" + ziv::mp3dec_path() + "' " + b.args + " > " + out + " 2> " + err);
        const std::vector<uint8_t> e = ziv::read_file(err);
        const std::string msg(e.begin(), e.end());
        EXPECT_EQ(b.status, st) << b.args;
        EXPECT_EQ(1, std::count(msg.begin(), msg.end(), '\n')) << b.args << ": " << msg;
        EXPECT_EQ(0u, msg.rfind("mp3dec: ", 0)) << msg;
        EXPECT_TRUE(ziv::read_file(out).empty()) << b.args;
    }
}

}  // namespace
