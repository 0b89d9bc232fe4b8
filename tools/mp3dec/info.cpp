// mp3dec --info. The stream's facts come from the core's record of them: the first frame's
// header, the walk over the frame headers (the average bitrate, constant or variable bitrate where
// no LAME tag says which, the length where the LAME tag does not agree with the frames), the
// first frame's LAME tag (encoder, method, delay and padding, ReplayGain); the text from the tags.
// A file is read through a reader, so that a file of any size is described in the time a walk
// over its headers takes. Text is printed as the tags give it, UTF-8; control characters are
// escaped in both forms, so that no tag can drive a terminal.
#include "info.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mpeg_core.h"
#include "mpeg_tags.h"
#include "os.h"

namespace {

// A number with up to `decimals` decimals, trailing zeros dropped ("2.3", "-6.54", "1.0").
std::string number(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s += '0';
    }
    return s == "-0.0" ? "0.0" : s;
}

// JSON string: quotes, backslash and control characters escaped, UTF-8 kept.
std::string json_string(const char* s) {
    std::string o = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        switch (*p) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        case '\t': o += "\\t"; break;
        case '\b': o += "\\b"; break;
        case '\f': o += "\\f"; break;
        default:
            if (*p < 0x20 || *p == 0x7F) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", *p);
                o += u;
            } else {
                o += char(*p);
            }
        }
    }
    return o + "\"";
}

// Text for a terminal: control characters as \xNN, the rest as it is.
std::string plain_text(const char* s) {
    std::string o;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            char x[8];
            std::snprintf(x, sizeof x, "\\x%02x", *p);
            o += x;
        } else {
            o += char(*p);
        }
    }
    return o;
}

// The output as a list of entries in one of the two forms; `key` is the JSON key, `label` what a
// person reads.
struct Printer {
    bool json;
    FILE* out;
    std::string text;
    int depth = 0;
    bool first = true;

    void indent() { text.append(size_t(2 * depth), ' '); }
    void key(const char* k, const char* label) {
        if (json) {
            text += first ? "\n" : ",\n";
            indent();
            text += json_string(k) + ": ";
        } else {
            indent();
            text += std::string(label) + ": ";
        }
        first = false;
    }
    void raw(const char* k, const char* label, const std::string& json_value,
             const std::string& plain_value) {
        key(k, label);
        text += json ? json_value : plain_value;
        if (!json) text += "\n";
    }
    void integer(const char* k, const char* label, int64_t v, const char* unit = "") {
        const std::string s = std::to_string(v);
        raw(k, label, s, s + unit);
    }
    void real(const char* k, const char* label, double v, int decimals, const char* unit = "") {
        const std::string s = number(v, decimals);
        raw(k, label, s, s + unit);
    }
    void string(const char* k, const char* label, const char* v) {
        raw(k, label, json_string(v), plain_text(v));
    }
    // An object or list: opened with a key (none inside a list), closed with close().
    void open(const char* k, const char* label, bool list = false) {
        if (k) key(k, label);
        else if (json) {
            text += first ? "\n" : ",\n";
            indent();
        }
        if (json) text += list ? "[" : "{";
        else if (k) text.back() = '\n';  // "label:" alone on its line
        ++depth;
        first = true;
    }
    void close(bool list = false) {
        --depth;
        if (json) {
            text += "\n";
            indent();
            text += list ? "]" : "}";
        }
        first = false;
    }
};

const char* version_of(int32_t version) {
    return version == 25 ? "2.5" : version == 10 ? "1" : "2";
}

// The tags' ReplayGain, the LAME tag's where the tags give none. The LAME tag holds one peak, that
// of the track it was encoded from (of the album when it gives the album's gain alone).
MpegReplayGain replaygain_of(const MpegTags* tags, const MpegStreamInfo& si) {
    MpegReplayGain rg{};
    if (tags) mpeg_tags_replaygain(tags, &rg);
    if (si.has_track_gain && !rg.has_track_gain) rg.has_track_gain = 1, rg.track_gain = si.track_gain;
    if (si.has_album_gain && !rg.has_album_gain) rg.has_album_gain = 1, rg.album_gain = si.album_gain;
    const bool album = si.has_album_gain && !si.has_track_gain;
    int32_t& has = album ? rg.has_album_peak : rg.has_track_peak;
    double& peak = album ? rg.album_peak : rg.track_peak;
    if (si.has_peak && !has) has = 1, peak = si.peak;
    return rg;
}

// A file read through the core's reader: reads and 64-bit seeks on its stream (os.h).
int64_t file_read(void* ctx, void* buf, size_t n) {
    FILE* f = static_cast<FILE*>(ctx);
    const size_t k = std::fread(buf, 1, n, f);
    return k > 0 || !std::ferror(f) ? int64_t(k) : -1;
}

int32_t file_seek(void* ctx, int64_t offset) {
    return os_seek(static_cast<FILE*>(ctx), offset, SEEK_SET) == 0 ? 0 : -1;
}

int64_t file_size(void* ctx) {
    int64_t size = -1;
    return os_regular_file(static_cast<FILE*>(ctx), &size) ? size : -1;
}

constexpr MpegReader kFileReader = {file_read, file_seek, file_size};

// A source that cannot seek (standard input, a pipe), read whole.
uint8_t* read_whole(FILE* f, size_t* n) {
    size_t cap = 1 << 20, len = 0;
    uint8_t* b = static_cast<uint8_t*>(std::malloc(cap));
    while (b) {
        if (len == cap) {
            uint8_t* more = static_cast<uint8_t*>(std::realloc(b, cap *= 2));
            if (!more) break;
            b = more;
        }
        const size_t k = std::fread(b + len, 1, cap - len, f);
        len += k;
        if (k == 0) {
            if (std::ferror(f)) break;
            *n = len;
            return b;
        }
    }
    std::free(b);
    return nullptr;
}

}  // namespace

namespace {

// Prints the facts of the opened core to out.
int print_facts(MpegCore* c, bool json, FILE* out) {
    MpegOutputFormat fmt;
    MpegStreamInfo si;
    mpeg_core_get_format(c, &fmt);
    // The length first: it walks over the frames, which the record then tells of.
    const int64_t samples = mpeg_core_length(c);
    mpeg_core_get_info(c, &si);
    const MpegTags* tags = mpeg_core_tags(c);
    Printer p{json, out, std::string()};
    if (json) {
        p.text = "{";
        p.depth = 1;
    }
    p.integer("layer", "layer", si.layer);
    p.string("version", "MPEG version", version_of(si.version));
    p.integer("sample_rate", "sample rate", fmt.sample_rate, " Hz");
    p.integer("channels", "channels", fmt.channels);
    static const char* const kModes[] = {nullptr, "CBR", "ABR", "VBR"};
    if (si.bitrate_mode > 0 && si.bitrate_mode < 4)
        p.string("bitrate_mode", "bitrate mode", kModes[si.bitrate_mode]);
    if (si.frames > 0 && si.average_bitrate > 0)
        p.integer("bitrate", "bitrate", si.average_bitrate, " bit/s");
    if (samples >= 0) {
        p.integer("samples", "samples", samples, " per channel");
        if (fmt.sample_rate > 0)
            p.real("duration", "duration", double(samples) / fmt.sample_rate, 6, " s");
    }
    const char* encoder = si.encoder[0] ? si.encoder : mpeg_tags_get(tags, MPEG_TAG_ENCODER);
    if (encoder) p.string("encoder", "encoder", encoder);
    if (si.delay >= 0) {
        p.open("gapless", "gapless");
        p.integer("delay", "delay", si.delay, " samples");
        p.integer("padding", "padding", si.padding, " samples");
        p.close();
    }

    struct Field {
        int32_t id;
        const char* key;
    };
    static const Field kFields[] = {{MPEG_TAG_TITLE, "title"},   {MPEG_TAG_ARTIST, "artist"},
                                    {MPEG_TAG_ALBUM, "album"},   {MPEG_TAG_DATE, "date"},
                                    {MPEG_TAG_TRACK, "track"},   {MPEG_TAG_GENRE, "genre"},
                                    {MPEG_TAG_COMMENT, "comment"}};
    bool any_field = false;
    for (const Field& fd : kFields) any_field |= mpeg_tags_get(tags, fd.id) != nullptr;
    const int32_t users = mpeg_tags_user_count(tags);
    if (any_field || users > 0) {
        p.open("tags", "tags");
        for (const Field& fd : kFields)
            if (const char* v = mpeg_tags_get(tags, fd.id)) p.string(fd.key, fd.key, v);
        if (users > 0) {
            p.open("user", "user");
            for (int32_t i = 0; i < users; ++i) {
                const char *k = nullptr, *v = nullptr;
                mpeg_tags_user(tags, i, &k, &v);
                // A key given again (by a tag of lower rank, or twice) is left out: the object's
                // keys stay unique, and the value shown is the one the lookups find.
                if (mpeg_tags_user_find(tags, k) != v) continue;
                const std::string label = plain_text(k);
                p.string(k, label.c_str(), v);
            }
            p.close();
        }
        p.close();
    }
    const int32_t pictures = mpeg_tags_picture_count(tags);
    if (pictures > 0) {
        p.open("pictures", "pictures", true);
        for (int32_t i = 0; i < pictures; ++i) {
            MpegTagPicture pic;
            mpeg_tags_picture(tags, i, &pic);
            if (!json) {
                p.indent();
                p.text += "picture " + std::to_string(i + 1) + "\n";
            }
            p.open(nullptr, nullptr);
            p.string("mime", "MIME type", pic.mime);
            p.integer("type", "type", pic.type);
            p.string("description", "description", pic.description);
            p.integer("bytes", "bytes", int64_t(pic.size));
            p.close();
        }
        p.close(true);
    }
    // ReplayGain: the tags' values, the LAME tag's where the tags give none.
    const MpegReplayGain rg = replaygain_of(tags, si);
    if (rg.has_track_gain | rg.has_track_peak | rg.has_album_gain | rg.has_album_peak) {
        p.open("replaygain", "ReplayGain");
        if (rg.has_track_gain) p.real("track_gain", "track gain", rg.track_gain, 2, " dB");
        if (rg.has_track_peak) p.real("track_peak", "track peak", rg.track_peak, 6);
        if (rg.has_album_gain) p.real("album_gain", "album gain", rg.album_gain, 2, " dB");
        if (rg.has_album_peak) p.real("album_peak", "album peak", rg.album_peak, 6);
        p.close();
    }
    if (json) p.text += "\n}\n";
    std::fputs(p.text.c_str(), out);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(stderr, "mp3dec: cannot write the information\n");
        return 2;
    }
    return 0;
}

}  // namespace

int info_run(const InfoOptions& o) {
    const bool from_stdin = std::strcmp(o.input, "-") == 0;
    FILE* f = from_stdin ? stdin : os_fopen(o.input, "rb");
    // A regular file is read through a reader, a piece at a time; anything else whole.
    const bool whole = f && file_size(f) < 0;
    uint8_t* data = nullptr;
    size_t len = 0;
    if (!f || (whole && !(data = read_whole(f, &len)))) {
        std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        if (f && !from_stdin) std::fclose(f);
        return 2;
    }
    MpegCore* c = mpeg_core_create(o.reduction, o.convert, o.freq_limit);
    int status = 2;
    if (!c) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
    } else {
        mpeg_core_set_gapless(c, o.gapless ? 1 : 0);
        const int32_t r =
            whole ? mpeg_core_set_data(c, data, len) : mpeg_core_set_reader(c, &kFileReader, f);
        if (r == MP3_OK)
            status = print_facts(c, o.json, stdout);
        else if (r == MP3_SETUP_FAILED)
            std::fprintf(stderr, "mp3dec: '%s': this MPEG audio stream cannot be decoded\n", o.input);
        else if (r == MP3_READ_FAILED)
            std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        else
            std::fprintf(stderr, "mp3dec: '%s': no MPEG audio frame found\n", o.input);
    }
    mpeg_core_destroy(c);
    if (!from_stdin) std::fclose(f);
    std::free(data);
    return status;
}
