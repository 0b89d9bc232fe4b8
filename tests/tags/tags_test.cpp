// The tag reader (mpeg_tags.h): hand-built ID3v2 (2.2 to 2.4), APE and ID3v1 tags in the forms
// that trip readers up (unsynchronisation, UTF-16 in both byte orders, extended headers, plain
// sizes in 2.4, genre references, several tags at once), cut and corrupted tags read without
// going outside the bytes (every input lives in an exactly-sized heap buffer), and files tagged
// by independent programs compared field by field with what ffprobe reports.
#include <cctype>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "mpeg_tags.h"
#include "test_util.h"

#include <sys/wait.h>

// Allocation failures on demand (the test program is linked with --wrap for malloc, calloc,
// realloc and free): while `armed`, the allocation numbered `fail_at` (from 0) fails, and the
// blocks the reader holds are counted.
namespace oom {
bool armed = false;
long count = 0, fail_at = -1, live = 0;
bool failing() { return armed && count++ == fail_at; }
}  // namespace oom

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void __real_free(void*);
void* __wrap_malloc(size_t n) {
    void* p = oom::failing() ? nullptr : __real_malloc(n);
    oom::live += oom::armed && p;
    return p;
}
void* __wrap_calloc(size_t a, size_t b) {
    void* p = oom::failing() ? nullptr : __real_calloc(a, b);
    oom::live += oom::armed && p;
    return p;
}
void* __wrap_realloc(void* old, size_t n) {
    void* p = oom::failing() ? nullptr : __real_realloc(old, n);
    oom::live += oom::armed && p && !old;
    return p;
}
void __wrap_free(void* p) {
    oom::live -= oom::armed && p;
    __real_free(p);
}
}

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes syncsafe(uint32_t v) {
    return {uint8_t(v >> 21 & 127), uint8_t(v >> 14 & 127), uint8_t(v >> 7 & 127), uint8_t(v & 127)};
}

// A 2.3 frame (plain size) or a 2.4 frame (syncsafe size unless `plain`).
Bytes frame(int version, const std::string& id, const Bytes& data, uint8_t format = 0,
            bool plain = false) {
    const uint32_t n = uint32_t(data.size());
    return str(id) + (version == 4 && !plain ? syncsafe(n) : be32(n)) + Bytes{0, format} + data;
}
Bytes frame22(const std::string& id, const Bytes& data) {
    const uint32_t n = uint32_t(data.size());
    return str(id) + Bytes{uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)} + data;
}
Bytes tag(int version, const Bytes& body, uint8_t flags = 0) {
    return Bytes{'I', 'D', '3', uint8_t(version), 0, flags} + syncsafe(uint32_t(body.size())) + body;
}
// A text frame body in Latin-1 (0) or UTF-8 (3).
Bytes text(const std::string& s, uint8_t enc = 0) { return Bytes{enc} + str(s); }

Bytes utf16le(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) b.push_back(uint8_t(c)), b.push_back(uint8_t(c >> 8));
    return b;
}
Bytes utf16be(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) b.push_back(uint8_t(c >> 8)), b.push_back(uint8_t(c));
    return b;
}

Bytes id3v1(const std::string& title, const std::string& artist, const std::string& album,
            const std::string& year, const std::string& comment, int track, int genre) {
    Bytes b(128, 0);
    std::memcpy(b.data(), "TAG", 3);
    auto put = [&](size_t at, const std::string& s, size_t max) {
        std::memcpy(b.data() + at, s.data(), std::min(s.size(), max));
    };
    put(3, title, 30), put(33, artist, 30), put(63, album, 30), put(93, year, 4);
    put(97, comment, track >= 0 ? 28 : 30);
    if (track >= 0) b[126] = uint8_t(track);
    b[127] = uint8_t(genre);
    return b;
}

struct ApeItem {
    std::string key;
    Bytes value;
    uint32_t flags;
};
// An APE tag: header (when `header`), items, footer.
Bytes ape(const std::vector<ApeItem>& items, bool header, uint32_t version = 2000) {
    Bytes body;
    for (const ApeItem& it : items)
        body = body + le32(uint32_t(it.value.size())) + le32(it.flags) + str(it.key) + Bytes{0} +
               it.value;
    const uint32_t size = uint32_t(body.size() + 32);
    auto hf = [&](uint32_t flags) {
        return str("APETAGEX") + le32(version) + le32(size) + le32(uint32_t(items.size())) +
               le32(flags) + Bytes(8, 0);
    };
    const uint32_t has_header = header ? 1u << 31 : 0;
    return (header ? hf(has_header | 1u << 29) : Bytes{}) + body + hf(has_header);
}

Bytes audio(size_t n = 1200) {
    Bytes a(n, 0x55);
    for (size_t i = 0; i + 4 <= n; i += 400) a[i] = 0xFF, a[i + 1] = 0xFB, a[i + 2] = 0x90;
    return a;
}

// The record of bytes held in an exactly-sized heap copy (kept alive with the record, since
// pictures may point into it).
struct Read {
    std::unique_ptr<uint8_t[]> copy;
    MpegTags* t = nullptr;
    explicit Read(const Bytes& b) : copy(ziv::exact_copy(b, b.size())) {
        t = mpeg_tags_read(copy.get(), b.size());
    }
    ~Read() { mpeg_tags_free(t); }
    std::string get(int32_t f) const {
        const char* s = mpeg_tags_get(t, f);
        return s ? s : "<none>";
    }
    std::string user(const char* k) const {
        const char* s = mpeg_tags_user_find(t, k);
        return s ? s : "<none>";
    }
    MpegTagPicture picture(int32_t i) const {
        MpegTagPicture p{};
        EXPECT_EQ(mpeg_tags_picture(t, i, &p), 1);
        return p;
    }
    bool points_into_input(const MpegTagPicture& p, size_t len) const {
        return p.data >= copy.get() && p.data + p.size <= copy.get() + len;
    }
};

// ---- ID3v1 ----

TEST(TagsId3v1, FieldsTrimmedLatin1AndTrackAndGenreNamed) {
    Read r(audio() + id3v1("Caf\xe9 Song   ", "Band", "Record", "1987", "nice", 7, 17));
    ASSERT_NE(r.t, nullptr);
    EXPECT_EQ(mpeg_tags_sources(r.t), MPEG_TAGS_ID3V1);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "Caf\xc3\xa9 Song");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "Band");
    EXPECT_EQ(r.get(MPEG_TAG_ALBUM), "Record");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "1987");
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), "nice");
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "7");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Rock");
}

TEST(TagsId3v1, PlainV1HasNoTrackAndGenreEdgesOfTheList) {
    // A 30-character comment uses the byte that v1.1 gives the track.
    const std::string comment(30, 'c');
    Read r(audio() + id3v1("T", "", "", "", comment, -1, 191));
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), comment);
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "<none>");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Psybient");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "<none>");
    Read first(id3v1("T", "", "", "", "", 0, 0)), none(id3v1("T", "", "", "", "", 0, 255)),
        past(id3v1("T", "", "", "", "", 0, 192)), winamp(id3v1("T", "", "", "", "", 0, 80));
    EXPECT_EQ(first.get(MPEG_TAG_GENRE), "Blues");
    EXPECT_EQ(winamp.get(MPEG_TAG_GENRE), "Folk");
    EXPECT_EQ(none.get(MPEG_TAG_GENRE), "<none>");
    EXPECT_EQ(past.get(MPEG_TAG_GENRE), "<none>");
}

// ---- ID3v2 text ----

TEST(TagsId3v2, V23FieldsCommentsAndUserPairs) {
    Bytes body = frame(3, "TIT2", text("Title")) + frame(3, "TPE1", text("Artist")) +
                 frame(3, "TALB", text("Album")) + frame(3, "TYER", text("2004")) +
                 frame(3, "TRCK", text("3/12")) + frame(3, "TCON", text("(17)")) +
                 frame(3, "COMM", text("eng" + std::string("iTunNORM\0 0000", 14))) +
                 frame(3, "COMM", text("eng" + std::string("\0plain", 6))) +
                 frame(3, "TXXX", text(std::string("MOOD\0calm", 9))) +
                 frame(3, "TSSE", text("LAME 3.100")) + Bytes(20, 0);
    Read r(tag(3, body) + audio());
    EXPECT_EQ(mpeg_tags_sources(r.t), MPEG_TAGS_ID3V2);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "Title");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "Artist");
    EXPECT_EQ(r.get(MPEG_TAG_ALBUM), "Album");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "2004");
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "3/12");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Rock");
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), "plain") << "the comment without description wins";
    EXPECT_EQ(r.get(MPEG_TAG_ENCODER), "LAME 3.100");
    ASSERT_EQ(mpeg_tags_user_count(r.t), 1);
    const char *k, *v;
    ASSERT_EQ(mpeg_tags_user(r.t, 0, &k, &v), 1);
    EXPECT_STREQ(k, "MOOD");
    EXPECT_STREQ(v, "calm");
    EXPECT_EQ(r.user("mood"), "calm");
    EXPECT_EQ(mpeg_tags_user(r.t, 1, &k, &v), 0);
    EXPECT_EQ(mpeg_tags_get(r.t, MPEG_TAG_FIELD_COUNT), nullptr);

    // Only a described comment: it stands in.
    Read d(tag(3, frame(3, "COMM", text("eng" + std::string("desc\0only", 9)))));
    EXPECT_EQ(d.get(MPEG_TAG_COMMENT), "only");
}

TEST(TagsId3v2, Utf16WithEitherByteOrderMarkUtf16BeAndUtf8) {
    // "Привет" and a character outside the basic plane (U+1F3B5) as a surrogate pair.
    const std::u16string title = u"\u041f\u0440\u0438\u0432\u0435\u0442 \xD83C\xDFB5";
    const std::string want = "Привет 🎵";
    Bytes le = Bytes{1, 0xFF, 0xFE} + utf16le(title) + Bytes{0, 0};
    Bytes be = Bytes{1, 0xFE, 0xFF} + utf16be(title);
    Bytes be2 = Bytes{2} + utf16be(title);
    Bytes u8 = text(want, 3);
    for (int version : {3, 4}) {
        Read a(tag(version, frame(version, "TIT2", le))), b(tag(version, frame(version, "TIT2", be)));
        EXPECT_EQ(a.get(MPEG_TAG_TITLE), want) << version;
        EXPECT_EQ(b.get(MPEG_TAG_TITLE), want) << version;
    }
    Read c(tag(4, frame(4, "TIT2", be2))), d(tag(4, frame(4, "TIT2", u8)));
    EXPECT_EQ(c.get(MPEG_TAG_TITLE), want);
    EXPECT_EQ(d.get(MPEG_TAG_TITLE), want);
    // TXXX with UTF-16 description and value, each with its own mark.
    Read x(tag(3, frame(3, "TXXX", Bytes{1, 0xFF, 0xFE} + utf16le(u"K\u00e9y") + Bytes{0, 0, 0xFE, 0xFF} +
                                       utf16be(u"\u65e5\u672c"))));
    EXPECT_EQ(x.user("Kéy"), "日本");
}

TEST(TagsId3v2, InvalidTextIsReplacedNotTrusted) {
    // A lone high surrogate, a lone low one, an odd last byte.
    Bytes bad16 = Bytes{1, 0xFF, 0xFE} + utf16le(u"a\xD800" u"b\xDC00") + Bytes{'c'};
    Read a(tag(3, frame(3, "TIT2", bad16)));
    EXPECT_EQ(a.get(MPEG_TAG_TITLE), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    // Overlong, surrogate, beyond U+10FFFF, cut sequence: each replaced.
    Bytes bad8 = Bytes{3, 'x', 0xC0, 0xAF, 'y', 0xED, 0xA0, 0x80, 0xF4, 0x90, 0x80, 0x80, 0xE6, 0x97};
    Read b(tag(4, frame(4, "TALB", bad8)));
    const std::string got = b.get(MPEG_TAG_ALBUM);
    EXPECT_EQ(got.substr(0, 1), "x");
    EXPECT_NE(got.find('y'), std::string::npos);
    EXPECT_EQ(got.find("\xC0"), std::string::npos);
    EXPECT_EQ(got.find("\xED\xA0"), std::string::npos);
    EXPECT_EQ(got.find("\xF4\x90"), std::string::npos);
    // Latin-1 in 2.4, and an unknown encoding byte dropping the frame.
    Read c(tag(4, frame(4, "TIT2", text("\xC4pfel")) + frame(4, "TPE1", Bytes{7, 'x'})));
    EXPECT_EQ(c.get(MPEG_TAG_TITLE), "Äpfel");
    EXPECT_EQ(c.get(MPEG_TAG_ARTIST), "<none>");
}

TEST(TagsId3v2, V24SeveralValuesAreJoined) {
    Bytes body = frame(4, "TPE1", text(std::string("One\0Two\0Three", 13), 3)) +
                 frame(4, "TCON", text(std::string("17\0Jazz\0(RX)", 12))) +
                 frame(4, "TDRC", text(std::string("2010-04\0", 8))) +
                 frame(4, "TIT2", Bytes{1, 0xFF, 0xFE, 'A', 0, 0, 0, 0xFE, 0xFF, 0, 'B', 0, 0});
    Read r(tag(4, body));
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "One/Two/Three");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Rock/Jazz/Remix");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "2010-04");
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "A/B");
}

TEST(TagsId3v2, GenreForms) {
    const std::map<std::string, std::string> forms = {
        {"(17)", "Rock"},         {"(17)Rock", "Rock"},       {"17", "Rock"},
        {"Rock", "Rock"},         {"(RX)", "Remix"},          {"(CR)", "Cover"},
        {"CR", "Cover"},          {"(4)Eurodisco", "Eurodisco"}, {"(17)(6)", "Rock/Grunge"},
        {"((Weird))", "(Weird))"}, {"(300)", "(300)"},        {"Pop/Funk", "Pop/Funk"},
        {"(62)", "Pop/Funk"},     {"(", "("},                 {"()", "()"}};
    for (const auto& f : forms) {
        Read r(tag(3, frame(3, "TCON", text(f.first))));
        EXPECT_EQ(r.get(MPEG_TAG_GENRE), f.second) << f.first;
    }
    Read v22(tag(2, frame22("TCO", text("(8)"))));
    EXPECT_EQ(v22.get(MPEG_TAG_GENRE), "Jazz");
}

TEST(TagsId3v2, V22FramesAndPicture) {
    Bytes jpg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
    Bytes body = frame22("TT2", text("Old")) + frame22("TP1", text("Timer")) +
                 frame22("TAL", text("Alb")) + frame22("TYE", text("1999")) +
                 frame22("TRK", text("9")) +
                 frame22("COM", Bytes{0, 'e', 'n', 'g', 0, 'c', '2', '2'}) +
                 frame22("TXX", Bytes{0, 'K', 0, 'V'}) +
                 frame22("PIC", Bytes{0, 'J', 'P', 'G', 3, 'f', 'r', 'o', 'n', 't', 0} + jpg);
    Bytes file = tag(2, body) + audio();
    Read r(file);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "Old");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "Timer");
    EXPECT_EQ(r.get(MPEG_TAG_ALBUM), "Alb");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "1999");
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "9");
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), "c22");
    EXPECT_EQ(r.user("k"), "V");
    ASSERT_EQ(mpeg_tags_picture_count(r.t), 1);
    MpegTagPicture p = r.picture(0);
    EXPECT_STREQ(p.mime, "image/jpeg");
    EXPECT_EQ(p.type, 3);
    EXPECT_STREQ(p.description, "front");
    ASSERT_EQ(p.size, jpg.size());
    EXPECT_EQ(Bytes(p.data, p.data + p.size), jpg);
    EXPECT_TRUE(r.points_into_input(p, file.size())) << "an untouched picture is not copied";
    // PNG maps too; 2.2 with its compression flag is skipped whole.
    Read png(tag(2, frame22("PIC", Bytes{0, 'P', 'N', 'G', 0, 0, 9})));
    EXPECT_STREQ(png.picture(0).mime, "image/png");
    Read compressed(tag(2, frame22("TT2", text("x")), 0x40));
    EXPECT_EQ(compressed.get(MPEG_TAG_TITLE), "<none>");
}

// ---- unsynchronisation, extended header, frame flags ----

// Inserts a 0x00 after every 0xFF that precedes 0x00 or a byte >= 0xE0, and after a last 0xFF.
Bytes unsync(const Bytes& b) {
    Bytes out;
    for (size_t i = 0; i < b.size(); ++i) {
        out.push_back(b[i]);
        if (b[i] == 0xFF && (i + 1 == b.size() || b[i + 1] == 0 || b[i + 1] >= 0xE0)) out.push_back(0);
    }
    return out;
}

const Bytes kPictureBytes = {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0x00, 0x12, 0xFF, 0xFB, 0xFF};

Bytes apic(int version, uint8_t format = 0, bool plain = false) {
    return frame(version, "APIC",
                 Bytes{0} + str("image/jpeg") + Bytes{0, 3} + str("cover") + Bytes{0} + kPictureBytes,
                 format, plain);
}

TEST(TagsUnsync, WholeTagInV23UndoneIncludingPictureBytes) {
    Bytes body = frame(3, "TIT2", Bytes{1, 0xFF, 0xFE, 'h', 0, 'i', 0}) + apic(3);
    Bytes file = tag(3, unsync(body), 0x80) + audio();
    ASSERT_NE(unsync(body), body) << "the test's tag holds bytes that unsynchronisation changes";
    Read r(file);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "hi");
    ASSERT_EQ(mpeg_tags_picture_count(r.t), 1);
    MpegTagPicture p = r.picture(0);
    EXPECT_STREQ(p.mime, "image/jpeg");
    EXPECT_STREQ(p.description, "cover");
    EXPECT_EQ(p.type, 3);
    EXPECT_EQ(Bytes(p.data, p.data + p.size), kPictureBytes);
    EXPECT_FALSE(r.points_into_input(p, file.size())) << "undone bytes are the record's copy";
}

TEST(TagsUnsync, PerFrameInV24AndTheHeaderFlag) {
    // Frame sizes count the bytes as stored (unsynchronised).
    Bytes pic_body = Bytes{0} + str("image/jpeg") + Bytes{0, 4, 0} + kPictureBytes;
    Bytes stored = unsync(pic_body);
    Bytes f = str("APIC") + syncsafe(uint32_t(stored.size())) + Bytes{0, 0x02} + stored;
    Bytes title = frame(4, "TIT2", Bytes{1, 0xFF, 0xFE, 'o', 0, 'k', 0}, 0);
    Read r(tag(4, title + f));
    ASSERT_EQ(mpeg_tags_picture_count(r.t), 1);
    EXPECT_EQ(r.picture(0).type, 4);
    EXPECT_EQ(Bytes(r.picture(0).data, r.picture(0).data + r.picture(0).size), kPictureBytes);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "ok") << "a frame without the flag is read as it is";
    // The header's flag marks every frame, with or without their own flag.
    Bytes t2 = unsync(Bytes{1, 0xFF, 0xFE, 'o', 0, 'k', 0});
    Read h(tag(4, str("TIT2") + syncsafe(uint32_t(t2.size())) + Bytes{0, 0} + t2 + f, 0x80));
    EXPECT_EQ(h.get(MPEG_TAG_TITLE), "ok");
    EXPECT_EQ(Bytes(h.picture(0).data, h.picture(0).data + h.picture(0).size), kPictureBytes);
}

TEST(TagsId3v2, ExtendedHeaderSkipped) {
    Bytes v3 = be32(6) + Bytes{0, 0, 0, 0, 0, 0};                        // size excludes itself
    Bytes v4 = syncsafe(6) + Bytes{1, 0};                                 // size includes itself
    Read a(tag(3, v3 + frame(3, "TIT2", text("three"))));
    EXPECT_EQ(a.get(MPEG_TAG_TITLE), "<none>") << "without the flag the header reads as frames";
    Read b(tag(3, v3 + frame(3, "TIT2", text("three")), 0x40));
    Read c(tag(4, v4 + frame(4, "TIT2", text("four")), 0x40));
    EXPECT_EQ(b.get(MPEG_TAG_TITLE), "three");
    EXPECT_EQ(c.get(MPEG_TAG_TITLE), "four");
    // An extended header larger than the tag leaves nothing to read, and no over-read.
    Read d(tag(4, syncsafe(0x7FFFFFF) + Bytes{1, 0}, 0x40));
    EXPECT_EQ(d.get(MPEG_TAG_TITLE), "<none>");
}

TEST(TagsId3v2, V24PlainSizesTolerated) {
    // A 200-byte title: its plain size 0x000000C8 read syncsafe is 0x48, which breaks the chain.
    const std::string longer(200, 'L');
    Bytes body = frame(4, "TIT2", text(longer), 0, true) + frame(4, "TPE1", text("after"), 0, true);
    Read r(tag(4, body + Bytes(10, 0)));
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), longer);
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "after");
    // Syncsafe sizes that walk cleanly are read syncsafe.
    Read s(tag(4, frame(4, "TIT2", text(longer)) + frame(4, "TPE1", text("after"))));
    EXPECT_EQ(s.get(MPEG_TAG_TITLE), longer);
    EXPECT_EQ(s.get(MPEG_TAG_ARTIST), "after");
}

TEST(TagsId3v2, FrameFlagsCompressionEncryptionGroupingLength) {
    // 2.3: compressed (0x80) and encrypted (0x40) dropped; grouping (0x20) has one extra byte.
    Bytes v3 = frame(3, "TIT2", text("zipped"), 0x80) + frame(3, "TPE1", text("secret"), 0x40) +
               frame(3, "TALB", Bytes{7} + text("grouped"), 0x20);
    Read a(tag(3, v3));
    EXPECT_EQ(a.get(MPEG_TAG_TITLE), "<none>");
    EXPECT_EQ(a.get(MPEG_TAG_ARTIST), "<none>");
    EXPECT_EQ(a.get(MPEG_TAG_ALBUM), "grouped");
    // 2.4: compressed (0x08), encrypted (0x04) dropped; group byte (0x40) and data length (0x01).
    Bytes v4 = frame(4, "TIT2", text("zipped"), 0x08) + frame(4, "TPE1", text("secret"), 0x04) +
               frame(4, "TALB", Bytes{7} + syncsafe(8) + text("grouped"), 0x41) +
               frame(4, "TRCK", Bytes{0, 0}, 0x41);
    Read b(tag(4, v4));
    EXPECT_EQ(b.get(MPEG_TAG_TITLE), "<none>");
    EXPECT_EQ(b.get(MPEG_TAG_ARTIST), "<none>");
    EXPECT_EQ(b.get(MPEG_TAG_ALBUM), "grouped");
    EXPECT_EQ(b.get(MPEG_TAG_TRACK), "<none>");
}

// ---- APE ----

TEST(TagsApe, V2WithHeaderBeforeId3v1ItemsPairsAndCoverArt) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 1, 2};
    Bytes file = audio() +
                 ape({{"TITLE", str("Ape title"), 0},
                      {"Artist", str(std::string("A\0B", 3)), 0},
                      {"Year", str("2011"), 0},
                      {"Track", str("2/9"), 0},
                      {"Genre", str("Ambient"), 0},
                      {"Comment", str("c"), 0},
                      {"Album", str("Ал"), 0},
                      {"REPLAYGAIN_TRACK_GAIN", str("+1.50 dB"), 0},
                      {"Link", str("http://x"), 4},
                      {"Cover Art (Front)", str("c.png") + Bytes{0} + png, 2},
                      {"Other Blob", Bytes{1, 2, 3}, 2}},
                     true) +
                 id3v1("v1 title", "v1 artist", "", "", "", 0, 0);
    Read r(file);
    EXPECT_EQ(mpeg_tags_sources(r.t), MPEG_TAGS_APE | MPEG_TAGS_ID3V1);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "Ape title");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "A/B");
    EXPECT_EQ(r.get(MPEG_TAG_ALBUM), "Ал");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "2011");
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "2/9");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Ambient");
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), "c");
    EXPECT_EQ(mpeg_tags_user_count(r.t), 1) << "links and binary items are not text pairs";
    EXPECT_EQ(r.user("replaygain_track_gain"), "+1.50 dB");
    ASSERT_EQ(mpeg_tags_picture_count(r.t), 1);
    MpegTagPicture p = r.picture(0);
    EXPECT_STREQ(p.mime, "image/png");
    EXPECT_EQ(p.type, 3);
    EXPECT_STREQ(p.description, "c.png");
    EXPECT_EQ(Bytes(p.data, p.data + p.size), png);
    EXPECT_TRUE(r.points_into_input(p, file.size()));
}

TEST(TagsApe, V1FooterOnlyAndLyrics3SteppedOver) {
    Bytes lyrics = str("LYRICSBEGIN") + str("IND00003110");
    char len[7];
    std::snprintf(len, sizeof len, "%06zu", lyrics.size());
    Bytes file = audio() + ape({{"Title", str("one"), 0}, {"Mood", str("fine"), 0}}, false, 1000) +
                 lyrics + str(len) + str("LYRICS200") + id3v1("", "v1", "", "", "", 0, 255);
    Read r(file);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "one");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "v1");
    EXPECT_EQ(r.user("MOOD"), "fine");
    // Lyrics3 v1 before the ID3v1 block.
    Bytes v1 = audio() + ape({{"Title", str("two"), 0}}, false) + str("LYRICSBEGIN") + str("la la") +
               str("LYRICSEND") + id3v1("", "v1", "", "", "", 0, 255);
    Read s(v1);
    EXPECT_EQ(s.get(MPEG_TAG_TITLE), "two");
}

// ---- several tags ----

TEST(TagsMerge, Id3v2BeforeApeBeforeId3v1FieldByField) {
    Bytes v2 = tag(3, frame(3, "TIT2", text("v2 title")) +
                          frame(3, "TXXX", text(std::string("Key\0from v2", 11))));
    Bytes a = ape({{"Title", str("ape title"), 0}, {"Artist", str("ape artist"), 0},
                   {"KEY", str("from ape"), 0}},
                  false);
    Bytes v1 = id3v1("v1 title", "v1 artist", "v1 album", "1990", "", 1, 8);
    Read r(v2 + audio() + a + v1);
    EXPECT_EQ(mpeg_tags_sources(r.t), MPEG_TAGS_ID3V1 | MPEG_TAGS_ID3V2 | MPEG_TAGS_APE);
    EXPECT_EQ(r.get(MPEG_TAG_TITLE), "v2 title");
    EXPECT_EQ(r.get(MPEG_TAG_ARTIST), "ape artist");
    EXPECT_EQ(r.get(MPEG_TAG_ALBUM), "v1 album");
    EXPECT_EQ(r.get(MPEG_TAG_DATE), "1990");
    EXPECT_EQ(r.get(MPEG_TAG_TRACK), "1");
    EXPECT_EQ(r.get(MPEG_TAG_GENRE), "Jazz");
    EXPECT_EQ(r.get(MPEG_TAG_COMMENT), "<none>");
    EXPECT_EQ(mpeg_tags_user_count(r.t), 2);
    EXPECT_EQ(r.user("key"), "from v2");
}

TEST(TagsMerge, Id3v2AtTheEndWithFooterOrAppendedWithout) {
    Bytes body = frame(4, "TIT2", text("tail"));
    Bytes with_footer = tag(4, body, 0x10) + Bytes{'3', 'D', 'I', 4, 0, 0x10} +
                        syncsafe(uint32_t(body.size()));
    Read a(audio() + with_footer + id3v1("", "", "", "", "", 0, 13));
    EXPECT_EQ(a.get(MPEG_TAG_TITLE), "tail");
    EXPECT_EQ(a.get(MPEG_TAG_GENRE), "Pop");
    Read b(audio() + tag(3, frame(3, "TIT2", text("appended"))) + id3v1("x", "", "", "", "", 0, 0));
    EXPECT_EQ(b.get(MPEG_TAG_TITLE), "appended");
    // The start's tag outranks an appended one; the appended one fills its gaps.
    Read c(tag(3, frame(3, "TIT2", text("start"))) + audio() +
           tag(3, frame(3, "TIT2", text("end")) + frame(3, "TPE1", text("end artist"))));
    EXPECT_EQ(c.get(MPEG_TAG_TITLE), "start");
    EXPECT_EQ(c.get(MPEG_TAG_ARTIST), "end artist");
}

// ---- ReplayGain and loop points ----

TEST(TagsReplayGain, FromTxxxRva2AndApe) {
    auto txxx = [](const std::string& k, const std::string& v) {
        return frame(3, "TXXX", text(k + std::string(1, '\0') + v));
    };
    // RVA2 "track": master volume -3 dB (-1536/512), 16-bit peak 0x4000 = 0.5; "album" +1 dB.
    Bytes rva_track = str("track") + Bytes{0, 1, 0xFA, 0x00, 16, 0x40, 0x00};
    Bytes rva_album = str("ALBUM") + Bytes{0, 2, 0, 0, 0, 1, 0x02, 0x00, 8, 0x80};
    Read a(tag(4, frame(4, "RVA2", rva_track) + frame(4, "RVA2", rva_album)));
    MpegReplayGain g;
    ASSERT_EQ(mpeg_tags_replaygain(a.t, &g), 1);
    EXPECT_EQ(g.has_track_gain, 1);
    EXPECT_DOUBLE_EQ(g.track_gain, -3.0);
    EXPECT_EQ(g.has_track_peak, 1);
    EXPECT_DOUBLE_EQ(g.track_peak, 0.5);
    EXPECT_EQ(g.has_album_gain, 1);
    EXPECT_DOUBLE_EQ(g.album_gain, 1.0);
    EXPECT_DOUBLE_EQ(g.album_peak, 1.0);

    // TXXX values win over RVA2; keys in any case; what RVA2 has beyond them still counts.
    Read b(tag(3, txxx("replaygain_track_gain", "-6.20 dB") + txxx("REPLAYGAIN_TRACK_PEAK", "0.988") +
                      txxx("REPLAYGAIN_ALBUM_GAIN", "junk") + frame(3, "RVA2", rva_track)));
    ASSERT_EQ(mpeg_tags_replaygain(b.t, &g), 1);
    EXPECT_DOUBLE_EQ(g.track_gain, -6.2);
    EXPECT_DOUBLE_EQ(g.track_peak, 0.988);
    EXPECT_EQ(g.has_album_gain, 0) << "an unreadable value is absent";
    EXPECT_EQ(g.has_album_peak, 0);

    Read c(audio() + ape({{"REPLAYGAIN_ALBUM_GAIN", str("+2.5 dB"), 0},
                          {"REPLAYGAIN_ALBUM_PEAK", str("1.2"), 0}},
                         false));
    ASSERT_EQ(mpeg_tags_replaygain(c.t, &g), 1);
    EXPECT_DOUBLE_EQ(g.album_gain, 2.5);
    EXPECT_DOUBLE_EQ(g.album_peak, 1.2);
    EXPECT_EQ(g.has_track_gain, 0);

    Read none(audio());
    EXPECT_EQ(mpeg_tags_replaygain(none.t, &g), 0);
    EXPECT_EQ(g.has_track_gain | g.has_album_peak, 0);
}

TEST(TagsLoop, StartWithLengthOrEndOrAlone) {
    auto loop_of = [](const std::vector<std::pair<std::string, std::string>>& pairs, int64_t* s,
                      int64_t* e) {
        std::vector<ApeItem> items;
        for (const auto& p : pairs) items.push_back({p.first, str(p.second), 0});
        Read r(audio() + ape(items, true));
        return mpeg_tags_loop(r.t, s, e);
    };
    int64_t s = -1, e = -1;
    EXPECT_EQ(loop_of({{"LOOPSTART", "44100"}, {"LOOPLENGTH", "88200"}}, &s, &e), 1);
    EXPECT_EQ(s, 44100);
    EXPECT_EQ(e, 132300);
    EXPECT_EQ(loop_of({{"LoopStart", "10"}, {"LOOPEND", "500"}}, &s, &e), 1);
    EXPECT_EQ(e, 500);
    EXPECT_EQ(loop_of({{"LOOPSTART", "10"}}, &s, &e), 1);
    EXPECT_EQ(e, 0) << "no end: the loop runs to the end of the data";
    EXPECT_EQ(loop_of({{"LOOPSTART", "10"}, {"LOOPEND", "5"}}, &s, &e), 1);
    EXPECT_EQ(e, 0) << "an end before the start is no end";
    EXPECT_EQ(loop_of({{"LOOPSTART", "-4"}}, &s, &e), 0);
    EXPECT_EQ(loop_of({{"LOOPSTART", "12x"}}, &s, &e), 0);
    EXPECT_EQ(loop_of({{"LOOPSTART", "99999999999999999999999"}}, &s, &e), 0);
    EXPECT_EQ(loop_of({{"LOOPLENGTH", "10"}}, &s, &e), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, 0);
    // From TXXX too.
    Read t(tag(3, frame(3, "TXXX", text(std::string("LOOPSTART\0 7 ", 13)))));
    EXPECT_EQ(mpeg_tags_loop(t.t, &s, &e), 1);
    EXPECT_EQ(s, 7);
}

// ---- malformed input ----

TEST(TagsRobust, EmptyNullAndNoTags) {
    MpegTags* t = mpeg_tags_read(nullptr, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(mpeg_tags_sources(t), 0);
    mpeg_tags_free(t);
    mpeg_tags_free(nullptr);
    Read r(audio());
    EXPECT_EQ(mpeg_tags_sources(r.t), 0);
    for (int f = 0; f < MPEG_TAG_FIELD_COUNT; ++f) EXPECT_EQ(mpeg_tags_get(r.t, f), nullptr);
    EXPECT_EQ(mpeg_tags_user_count(r.t), 0);
    EXPECT_EQ(mpeg_tags_picture_count(r.t), 0);
    MpegTagPicture p;
    EXPECT_EQ(mpeg_tags_picture(r.t, 0, &p), 0);
    EXPECT_EQ(mpeg_tags_user_find(nullptr, "x"), nullptr);
    EXPECT_EQ(mpeg_tags_get(nullptr, 0), nullptr);
}

TEST(TagsRobust, OversizedSizesReadNothingOutside) {
    // A frame claiming more bytes than its tag; a tag claiming more than the file; APE footers
    // claiming huge sizes and counts; an item larger than its tag.
    Read a(tag(3, str("TIT2") + be32(0x7FFFFFFF) + Bytes{0, 0} + text("x")));
    EXPECT_EQ(a.get(MPEG_TAG_TITLE), "<none>");
    Bytes big = Bytes{'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F} + frame(3, "TIT2", text("cut"));
    Read b(big);
    EXPECT_EQ(b.get(MPEG_TAG_TITLE), "cut") << "a cut tag's whole frames are read";
    Bytes huge_ape = audio() + str("APETAGEX") + le32(2000) + le32(0xFFFFFF00) + le32(0xFFFFFFFF) +
                     le32(0) + Bytes(8, 0);
    Read c(huge_ape);
    EXPECT_EQ(mpeg_tags_sources(c.t), 0);
    Bytes items = le32(0xFFFFFFF0) + le32(0) + str("Title") + Bytes{0} + str("v");
    Bytes bad_item = audio() + items + str("APETAGEX") + le32(2000) + le32(uint32_t(items.size() + 32)) +
                     le32(1000000) + le32(0) + Bytes(8, 0);
    Read d(bad_item);
    EXPECT_EQ(d.get(MPEG_TAG_TITLE), "<none>");
    // RVA2 with a peak of 255 bits in a short frame; a picture frame cut before its data.
    Read e(tag(4, frame(4, "RVA2", str("track") + Bytes{0, 1, 0, 0, 255, 1}) +
                      frame(4, "APIC", Bytes{0, 'i', 'm'})));
    MpegReplayGain g;
    EXPECT_EQ(mpeg_tags_replaygain(e.t, &g), 0);
    EXPECT_EQ(mpeg_tags_picture_count(e.t), 0);
}

// Every cut of a tag-laden file (from either end) and random byte corruption: read without a
// fault (the sanitizer build checks the reads), the text always valid UTF-8.
bool valid_utf8(const char* s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        int len = *p < 0x80 ? 1 : *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC2 ? 2 : 0;
        if (!len) return false;
        for (int k = 1; k < len; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += len;
    }
    return true;
}

void read_all_of(const Bytes& b) {
    Read r(b);
    ASSERT_NE(r.t, nullptr);
    for (int f = 0; f < MPEG_TAG_FIELD_COUNT; ++f)
        if (const char* s = mpeg_tags_get(r.t, f)) {
            ASSERT_TRUE(valid_utf8(s)) << f;
        }
    for (int32_t i = 0; i < mpeg_tags_user_count(r.t); ++i) {
        const char *k, *v;
        mpeg_tags_user(r.t, i, &k, &v);
        ASSERT_TRUE(valid_utf8(k) && valid_utf8(v));
    }
    unsigned sum = 0;
    for (int32_t i = 0; i < mpeg_tags_picture_count(r.t); ++i) {
        MpegTagPicture p = r.picture(i);
        for (size_t k = 0; k < p.size; ++k) sum += p.data[k];
    }
    (void)sum;
}

TEST(TagsRobust, EveryCutAndRandomCorruption) {
    Bytes v24 = frame(4, "TIT2", Bytes{1, 0xFF, 0xFE} + utf16le(u"\xD83C\xDFB5x")) + apic(4, 0x02) +
                frame(4, "TXXX", text(std::string("LOOPSTART\0" "5", 11))) +
                frame(4, "RVA2", str("track") + Bytes{0, 1, 0xFA, 0, 16, 0x40, 0});
    Bytes file = tag(4, unsync(v24), 0x80) + audio(500) + tag(2, frame22("PIC", Bytes{0, 'P', 'N', 'G', 0, 0, 1})) +
                 ape({{"Title", str("t"), 0}, {"Cover Art (Back)", str("b\0xy"), 2}}, true) +
                 id3v1("a", "b", "c", "d", "e", 1, 2);
    for (size_t n = 0; n <= file.size(); ++n) {
        read_all_of(Bytes(file.begin(), file.begin() + long(n)));
        read_all_of(Bytes(file.end() - long(n), file.end()));
    }
    std::mt19937 rng(ziv::test_seed());
    for (int round = 0; round < 3000; ++round) {
        Bytes b = file;
        const int flips = 1 + int(rng() % 8);
        for (int k = 0; k < flips; ++k) {
            const size_t at = rng() % b.size();
            // Sizes and flags are where corruption bites: often pick small or extreme values.
            const uint32_t kind = rng() % 4;
            b[at] = kind == 0 ? 0xFF : kind == 1 ? 0x00 : kind == 2 ? uint8_t(0x7F) : uint8_t(rng());
        }
        read_all_of(b);
        if (HasFatalFailure()) return;
    }
}

// ---- files tagged by independent programs, compared with ffprobe ----

// Runs a shell command and returns its standard output; *status gets its exit status.
std::string capture(const std::string& cmd, int* status) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) {
        *status = -1;
        return out;
    }
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    const int st = pclose(f);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

void put_code_point(std::string& out, uint32_t c) {
    if (c < 0x80) out += char(c);
    else if (c < 0x800) out += char(0xC0 | c >> 6), out += char(0x80 | (c & 63));
    else if (c < 0x10000)
        out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 63)), out += char(0x80 | (c & 63));
    else
        out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 63)),
            out += char(0x80 | (c >> 6 & 63)), out += char(0x80 | (c & 63));
}

// A JSON string at s[*i] (at its opening quote); *i moves past the closing one.
std::string json_string(const std::string& s, size_t* i) {
    std::string out;
    for (++*i; *i < s.size() && s[*i] != '"'; ++*i) {
        if (s[*i] != '\\') {
            out += s[*i];
            continue;
        }
        const char e = s[++*i];
        if (e == 'u') {
            uint32_t c = uint32_t(std::stoul(s.substr(*i + 1, 4), nullptr, 16));
            *i += 4;
            if (c >= 0xD800 && c < 0xDC00 && s.compare(*i + 1, 2, "\\u") == 0) {
                const uint32_t lo = uint32_t(std::stoul(s.substr(*i + 3, 4), nullptr, 16));
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                *i += 6;
            }
            put_code_point(out, c);
        } else {
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e;
        }
    }
    ++*i;
    return out;
}

// The format tags ffprobe reports for the file, keys in lower case.
std::map<std::string, std::string> ffprobe_tags(const std::string& path) {
    int st;
    const std::string json = capture("ffprobe -v quiet -show_format -of json " + q(path), &st);
    EXPECT_EQ(st, 0) << "ffprobe failed on " << path;
    std::map<std::string, std::string> tags;
    size_t i = json.find("\"tags\"");
    if (i == std::string::npos) return tags;
    i = json.find('{', i);
    while (i != std::string::npos && i < json.size()) {
        i = json.find_first_of("\"}", i);
        if (i == std::string::npos || json[i] == '}') break;
        std::string key = json_string(json, &i);
        i = json.find('"', i);
        std::string value = json_string(json, &i);
        for (char& c : key) c = char(std::tolower(uint8_t(c)));
        tags[key] = value;
    }
    return tags;
}

const struct {
    int32_t field;
    const char* key;
} kProbeKeys[] = {{MPEG_TAG_TITLE, "title"}, {MPEG_TAG_ARTIST, "artist"}, {MPEG_TAG_ALBUM, "album"},
                  {MPEG_TAG_DATE, "date"},   {MPEG_TAG_TRACK, "track"},   {MPEG_TAG_GENRE, "genre"},
                  {MPEG_TAG_COMMENT, "comment"}};

// Compares the seven fields with ffprobe's; returns the number both gave alike. `misses` names
// the fields ffprobe is known not to report for the file, with the value read here instead.
int compare_with_ffprobe(const std::string& path, const MpegTags* t,
                         const std::map<std::string, std::string>& misses = {}) {
    const auto probe = ffprobe_tags(path);
    int agreed = 0;
    for (const auto& k : kProbeKeys) {
        const char* ours = mpeg_tags_get(t, k.field);
        auto it = probe.find(k.key);
        auto miss = misses.find(k.key);
        if (miss != misses.end()) {
            EXPECT_EQ(ours ? ours : "<none>", miss->second) << path << ": " << k.key;
            EXPECT_TRUE(it == probe.end()) << path << ": ffprobe now reports " << k.key
                                           << "; compare it instead";
            continue;
        }
        if (!ours && k.field == MPEG_TAG_COMMENT && it != probe.end()) {
            // ffmpeg's own 2.3 writer stores the comment as TXXX "comment", which only ffmpeg
            // reads as the comment; here it is a user pair.
            ours = mpeg_tags_user_find(t, "comment");
        }
        if (it == probe.end()) {
            EXPECT_EQ(ours, nullptr) << path << ": " << k.key << " only here: " << ours;
        } else {
            if (!ours) {
                ADD_FAILURE() << path << ": " << k.key << " missing, ffprobe: " << it->second;
                continue;
            }
            EXPECT_EQ(std::string(ours), it->second) << path << ": " << k.key;
            ++agreed;
        }
    }
    return agreed;
}

// A short untagged MP3 made once per test program.
const std::string& plain_mp3() {
    static std::string path = [] {
        const std::string wav = ziv::tmp_path("tone.wav"), mp3 = ziv::tmp_path("plain.mp3");
        EXPECT_EQ(ziv::run("sox -n -r 44100 -c 1 -b 16 " + q(wav) + " synth 0.3 sine 440 2>/dev/null"), 0);
        EXPECT_EQ(ziv::run("lame --quiet -b 64 " + q(wav) + " " + q(mp3)), 0);
        return mp3;
    }();
    return path;
}

struct Tagged {
    std::string path;
    Bytes bytes;
    std::unique_ptr<uint8_t[]> copy;
    MpegTags* t = nullptr;
    explicit Tagged(const std::string& p) : path(p), bytes(ziv::read_file(p)) {
        copy = ziv::exact_copy(bytes, bytes.size());
        t = mpeg_tags_read(copy.get(), bytes.size());
    }
    ~Tagged() { mpeg_tags_free(t); }
    std::string get(int32_t f) const {
        const char* s = mpeg_tags_get(t, f);
        return s ? s : "<none>";
    }
};

TEST(TagsBlackBox, LameId3v1AndId3v2) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("ffprobe");
    const std::string wav = ziv::tmp_path("lame_in.wav");
    ASSERT_EQ(ziv::run("sox -n -r 44100 -c 1 -b 16 " + q(wav) + " synth 0.2 sine 330 2>/dev/null"), 0);
    const std::string args =
        "--tt 'Lame Title' --ta 'Lame Artist' --tl 'Lame Album' --ty 2003 --tn 5/9 --tg Jazz "
        "--tc 'lame comment'";
    for (const char* mode : {"", "--id3v1-only", "--id3v2-only"}) {
        const std::string out = ziv::tmp_path(std::string("lame") + mode + ".mp3");
        ASSERT_EQ(ziv::run("lame --quiet -b 64 " + args + " " + mode + " " + q(wav) + " " + q(out)), 0);
        Tagged f(out);
        const int32_t want = std::string(mode) == "--id3v1-only"   ? MPEG_TAGS_ID3V1
                             : std::string(mode) == "--id3v2-only" ? MPEG_TAGS_ID3V2
                                                                   : MPEG_TAGS_ID3V1 | MPEG_TAGS_ID3V2;
        EXPECT_EQ(mpeg_tags_sources(f.t), want) << mode;
        EXPECT_EQ(f.get(MPEG_TAG_TITLE), "Lame Title") << mode;
        EXPECT_EQ(f.get(MPEG_TAG_GENRE), "Jazz") << mode;
        // ffprobe drops lame's ID3v2 comment (UTF-16, an empty description written without a
        // byte order mark, the text with one); it reads the one of the ID3v1 block.
        const bool v2 = std::string(mode) != "--id3v1-only";
        std::map<std::string, std::string> misses;
        if (v2) misses["comment"] = "lame comment";
        EXPECT_EQ(compare_with_ffprobe(out, f.t, misses), v2 ? 6 : 7) << mode;
    }
}

TEST(TagsBlackBox, FfmpegId3v23AndV24WithNonLatinText) {
    ZIV_REQUIRE_TOOL("ffmpeg");
    ZIV_REQUIRE_TOOL("ffprobe");
    const std::string meta =
        "-metadata title='Привет мир' -metadata artist='日本語のアーティスト 🎵' "
        "-metadata album='Альбом' -metadata date=2020 -metadata track=4/10 -metadata genre=Ambient "
        "-metadata comment='コメント'";
    for (int version : {3, 4}) {
        const std::string out = ziv::tmp_path("ffmpeg_v2" + std::to_string(version) + ".mp3");
        ASSERT_EQ(ziv::run("ffmpeg -v quiet -y -i " + q(plain_mp3()) + " -c copy " + meta +
                           " -id3v2_version " + std::to_string(version) + " " + q(out)),
                  0);
        Tagged f(out);
        EXPECT_EQ(f.get(MPEG_TAG_TITLE), "Привет мир") << version;
        EXPECT_EQ(f.get(MPEG_TAG_ARTIST), "日本語のアーティスト 🎵") << version;
        EXPECT_EQ(compare_with_ffprobe(out, f.t), 7) << version;
    }
}

TEST(TagsBlackBox, Id3v2ProgramAndMid3v2WithPictureAndUserText) {
    ZIV_REQUIRE_TOOL("id3v2");
    ZIV_REQUIRE_TOOL("mid3v2");
    ZIV_REQUIRE_TOOL("ffprobe");
    // id3v2 (id3lib): 2.3 in Latin-1 plus an ID3v1 block.
    const std::string a = ziv::tmp_path("id3lib.mp3");
    ASSERT_EQ(ziv::run("cp " + q(plain_mp3()) + " " + q(a)), 0);
    ASSERT_EQ(ziv::run("id3v2 -t 'Caf\xe9' -a 'Id3 Artist' -A 'Id3 Album' -y 1999 -T 4 -g 17 "
                       "-c 'id3 comment' " + q(a) + " >/dev/null"),
              0);
    Tagged fa(a);
    EXPECT_EQ(fa.get(MPEG_TAG_TITLE), "Café");
    EXPECT_EQ(fa.get(MPEG_TAG_GENRE), "Rock");
    EXPECT_EQ(compare_with_ffprobe(a, fa.t), 7);

    // mid3v2 (mutagen): 2.4 in UTF-8 with several artists, a picture and user text.
    const std::string b = ziv::tmp_path("mutagen.mp3"), png = ziv::tmp_path("cover.png");
    const Bytes image = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0xFF, 0x00, 0xFF, 0xE0, 7};
    ASSERT_TRUE(ziv::write_file(png, image.data(), image.size()));
    ASSERT_EQ(ziv::run("cp " + q(plain_mp3()) + " " + q(b)), 0);
    ASSERT_EQ(ziv::run("mid3v2 -t 'Ελληνικά' -a 'Ёж' -A 'Mutagen Album' -y 2001-05-06 -T 3/12 "
                       "-g Rock -c 'hello' --TXXX 'REPLAYGAIN_TRACK_GAIN:-6.20 dB' "
                       "--TXXX 'LOOPSTART:1000' --TXXX 'LOOPLENGTH:500' "
                       "-p " + q(png + ":Front side:3:image/png") + " " + q(b)),
              0);
    Tagged fb(b);
    EXPECT_EQ(fb.get(MPEG_TAG_TITLE), "Ελληνικά");
    EXPECT_EQ(fb.get(MPEG_TAG_DATE), "2001-05-06");
    EXPECT_EQ(compare_with_ffprobe(b, fb.t), 7);
    ASSERT_EQ(mpeg_tags_picture_count(fb.t), 1);
    MpegTagPicture p;
    ASSERT_EQ(mpeg_tags_picture(fb.t, 0, &p), 1);
    EXPECT_STREQ(p.mime, "image/png");
    EXPECT_EQ(p.type, 3);
    EXPECT_STREQ(p.description, "Front side");
    EXPECT_EQ(Bytes(p.data, p.data + p.size), image);
    MpegReplayGain g;
    ASSERT_EQ(mpeg_tags_replaygain(fb.t, &g), 1);
    EXPECT_DOUBLE_EQ(g.track_gain, -6.2);
    int64_t s, e;
    ASSERT_EQ(mpeg_tags_loop(fb.t, &s, &e), 1);
    EXPECT_EQ(s, 1000);
    EXPECT_EQ(e, 1500);
}

TEST(TagsBlackBox, ApeV2OnlyFile) {
    ZIV_REQUIRE_TOOL("ffprobe");
    // No program at hand writes APE text items into MP3 files, and ffprobe does not report APE
    // items of MP3 files: this tag is built here, appended to an untagged encoder output and
    // checked against the values written; ffprobe is asked too, in case it learns them.
    const std::string out = ziv::tmp_path("ape.mp3");
    Bytes file = ziv::read_file(plain_mp3());
    ASSERT_FALSE(file.empty());
    const std::map<std::string, std::string> written = {
        {"title", "Ape Только"}, {"artist", "Ape Artist"}, {"album", "Ape Album"},
        {"date", "1984"},        {"track", "7"},           {"genre", "Electronic"},
        {"comment", "ape comment"}};
    file = file + ape({{"Title", str(written.at("title")), 0},
                       {"Artist", str(written.at("artist")), 0},
                       {"Album", str(written.at("album")), 0},
                       {"Year", str(written.at("date")), 0},
                       {"Track", str(written.at("track")), 0},
                       {"Genre", str(written.at("genre")), 0},
                       {"Comment", str(written.at("comment")), 0}},
                      true);
    ASSERT_TRUE(ziv::write_file(out, file.data(), file.size()));
    Tagged f(out);
    EXPECT_EQ(mpeg_tags_sources(f.t), MPEG_TAGS_APE);
    const auto probe = ffprobe_tags(out);
    for (const auto& k : kProbeKeys) {
        EXPECT_EQ(f.get(k.field), written.at(k.key)) << k.key;
        auto it = probe.find(k.field == MPEG_TAG_DATE ? "year" : k.key);
        if (it != probe.end()) {
            EXPECT_EQ(f.get(k.field), it->second) << k.key;
        }
    }
}

// mp3gain analyses the file and stores its result as APEv2 items (its default) or as ID3v2.4
// (unsynchronised, TXXX in lower case and RVA2); its own report of the stored values is the
// reference.
TEST(TagsBlackBox, Mp3gainReplayGainInApeAndId3v2) {
    ZIV_REQUIRE_TOOL("mp3gain");
    for (const std::string store : {"", "-s i"}) {
        const std::string path = ziv::tmp_path("gain" + std::to_string(store.size()) + ".mp3");
        ASSERT_EQ(ziv::run("cp " + q(plain_mp3()) + " " + q(path)), 0);
        ASSERT_EQ(ziv::run("mp3gain -q " + store + " " + q(path) + " >/dev/null"), 0);
        int st;
        const std::string report = capture("mp3gain " + store + " -s c -o " + q(path), &st);
        ASSERT_EQ(st, 0);
        // The second line: file, mp3 gain, dB gain, max amplitude (of 32768), ...
        const std::string line = report.substr(report.find('\n') + 1);
        std::vector<std::string> cols;
        for (size_t a = 0, b; a < line.size(); a = b + 1) {
            b = line.find_first_of("\t\n", a);
            if (b == std::string::npos) b = line.size();
            cols.push_back(line.substr(a, b - a));
        }
        ASSERT_GE(cols.size(), 4u) << report;
        Tagged f(path);
        EXPECT_EQ(mpeg_tags_sources(f.t), store.empty() ? MPEG_TAGS_APE : MPEG_TAGS_ID3V2);
        MpegReplayGain g;
        ASSERT_EQ(mpeg_tags_replaygain(f.t, &g), 1) << store;
        ASSERT_EQ(g.has_track_gain, 1);
        ASSERT_EQ(g.has_track_peak, 1);
        EXPECT_EQ(g.has_album_gain, 0);
        EXPECT_NEAR(g.track_gain, std::stod(cols[2]), 1e-6) << store;
        EXPECT_NEAR(g.track_peak, std::stod(cols[3]) / 32768.0, 1e-6) << store;
    }
}
// ---- running out of memory ----

// A file with every kind of tag and every owned thing (fields, user pairs, pictures in the input
// and copied out of unsynchronised tags, joined values, genre names, RVA2): each allocation the
// read makes fails in turn. The read must then give no record and hold no memory; with none
// failing it gives a record, and freeing it returns every block.
TEST(TagsOutOfMemory, EveryFailedAllocationGivesNoRecordAndLeaksNothing) {
    const Bytes v23 = frame(3, "TIT2", Bytes{1, 0xFF, 0xFE, 'h', 0, 'i', 0}) + apic(3) +
                      frame(3, "TCON", text("(17)(RX)Remixed/Jazz")) +
                      frame(3, "COMM", text("eng" + std::string("desc\0said", 9))) +
                      frame(3, "TXXX", text(std::string("MOOD\0calm", 9)));
    const Bytes pic = Bytes{0} + str("jpeg") + Bytes{0, 4, 0} + kPictureBytes;
    const Bytes v24 = frame(4, "TPE1", text(std::string("A\0B", 3), 3)) +
                      frame(4, "RVA2", str("track") + Bytes{0, 1, 0xFA, 0x00, 16, 0x40, 0x00}) +
                      str("APIC") + syncsafe(uint32_t(unsync(pic).size())) + Bytes{0, 0x02} + unsync(pic);
    const Bytes file = tag(3, unsync(v23), 0x80) + tag(4, v24) + audio() +
                       tag(3, frame(3, "TALB", text("appended"))) +
                       ape({{"Album", str(std::string("x\0y", 3)), 0},
                            {"LOOPSTART", str("10"), 0},
                            {"Cover Art (Front)", str(std::string("f.png\0", 6)) + kPictureBytes, 2}},
                           true) +
                       id3v1("t", "a", "b", "1999", "c", 3, 8);
    auto copy = ziv::exact_copy(file, file.size());
    oom::count = 0, oom::fail_at = -1, oom::live = 0, oom::armed = true;
    MpegTags* t = mpeg_tags_read(copy.get(), file.size());
    const long allocations = oom::count;
    const bool whole = t && mpeg_tags_picture_count(t) == 3 && mpeg_tags_user_count(t) == 2 &&
                       mpeg_tags_sources(t) == 7 &&
                       std::string(mpeg_tags_get(t, MPEG_TAG_GENRE)) == "Rock/Remixed/Jazz" &&
                       std::string(mpeg_tags_get(t, MPEG_TAG_ALBUM)) == "appended";
    mpeg_tags_free(t);
    oom::armed = false;
    ASSERT_TRUE(whole);
    EXPECT_EQ(oom::live, 0);
    EXPECT_GT(allocations, 20);
    for (long k = 0; k < allocations; ++k) {
        oom::count = 0, oom::fail_at = k, oom::live = 0, oom::armed = true;
        t = mpeg_tags_read(copy.get(), file.size());
        oom::armed = false;
        EXPECT_EQ(t, nullptr) << "allocation " << k << " of " << allocations << " failed";
        EXPECT_EQ(oom::live, 0) << "allocation " << k << " failed";
        mpeg_tags_free(t);
    }
}

}  // namespace
