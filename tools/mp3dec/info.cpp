// mp3dec --info. The stream's facts come from its first frame's header, a walk over its frames
// (the average bitrate, and constant or variable bitrate where no LAME tag says which), the
// first frame's LAME tag (encoder, method, delay and padding, ReplayGain) and the count of
// samples the decode gave; the text from the tag reader. Text is printed as the tags give it,
// UTF-8; control characters are escaped in both forms, so that no tag can drive a terminal.
#include "info.h"

#include <cmath>
#include <cstring>
#include <string>

#include "lame_info.h"
#include "lame_tag.h"
#include "mpeg_tags.h"
#include "replaygain.h"

namespace {

struct Walk {
    int64_t frames = 0;      // audio frames (an Info frame is not one)
    int64_t bytes = 0;       // their bytes
    int32_t rate = 0;        // the first one's bitrate, bit/s (0 free format)
    bool same_rate = true;   // every audio frame of that bitrate
};

// Walks the stream's frames from the first one with the stream's synchronisation, as decoding
// steps over them (tags and junk skipped, a frame of another stream ends it).
Walk walk_frames(const InfoFacts& f) {
    Walk w;
    MpegSync s = f.core->sync;
    mpeg_sync_restart(&s, 1);
    const int32_t n = f.len > size_t(INT32_MAX) ? INT32_MAX : int32_t(f.len);
    int32_t pos = int32_t(f.first), size = 0;
    bool skip_info = f.core->info != 0;
    while (mpeg_sync_next(&s, f.data, n, 1, &pos, &size) == MPEG_SYNC_FRAME) {
        MpegHeader h;
        int32_t rate = 0;
        mpeg_header_parse_rate(f.data + pos, n - pos, &h, &rate);
        if (!skip_info) {
            ++w.frames;
            w.bytes += size;
            if (w.frames == 1) w.rate = rate;
            w.same_rate = w.same_rate && rate == w.rate;
        }
        skip_info = false;
        pos += size;
        mpeg_sync_taken(&s);
    }
    return w;
}

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

const char* version_of(const MpegHeader& h) {
    if (h.sync == 2) return "2.5";
    return h.id == 1 ? "1" : "2";
}

}  // namespace

int info_print(const InfoFacts& f, bool json, FILE* out) {
    const MpegCore* c = f.core;
    const MpegHeader& h = c->header;
    const uint8_t* frame = f.data + f.first;
    const size_t avail_all = f.len - size_t(f.first);
    const int32_t avail = avail_all > size_t(INT32_MAX) ? INT32_MAX : int32_t(avail_all);
    MpegLameInfo lame;
    const bool has_lame = c->info && mpeg_lame_info_read(frame, avail, &h, &lame);
    MpegLameTag gap;
    const bool has_gap = c->info && mpeg_lame_tag_read(frame, avail, &h, &gap);
    MpegTags* tags = mpeg_tags_read(f.data, f.len);
    if (!tags) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
        return 2;
    }
    const Walk w = walk_frames(f);
    MpegFrameInfo fi;
    mpeg_header_info(&h, &fi);

    Printer p{json, out, std::string()};
    if (json) {
        p.text = "{";
        p.depth = 1;
    }
    p.integer("layer", "layer", c->layer);
    p.string("version", "MPEG version", version_of(h));
    p.integer("sample_rate", "sample rate", f.sample_rate, " Hz");
    p.integer("channels", "channels", f.channels);
    int32_t mode = has_lame ? mpeg_lame_bitrate_mode(&lame) : MPEG_BITRATE_UNKNOWN;
    if (mode == MPEG_BITRATE_UNKNOWN && w.frames > 0)
        mode = w.same_rate ? MPEG_BITRATE_CBR : MPEG_BITRATE_VBR;
    static const char* const kModes[] = {nullptr, "CBR", "ABR", "VBR"};
    if (kModes[mode]) p.string("bitrate_mode", "bitrate mode", kModes[mode]);
    if (w.frames > 0 && w.same_rate && w.rate > 0) {
        p.integer("bitrate", "bitrate", w.rate, " bit/s");
    } else if (w.frames > 0 && fi.samples > 0) {
        // Bits of the audio frames over their time at the stream's own rate.
        const double seconds = double(w.frames) * fi.samples / double(fi.sample_rate);
        p.integer("bitrate", "bitrate", int64_t(std::llround(double(w.bytes) * 8.0 / seconds)),
                  " bit/s");
    }
    p.integer("samples", "samples", f.samples, " per channel");
    if (f.sample_rate > 0)
        p.real("duration", "duration", double(f.samples) / f.sample_rate, 6, " s");
    const char* encoder = has_lame && lame.encoder[0] ? lame.encoder
                                                      : mpeg_tags_get(tags, MPEG_TAG_ENCODER);
    if (encoder) p.string("encoder", "encoder", encoder);
    if (has_gap) {
        p.open("gapless", "gapless");
        p.integer("delay", "delay", gap.delay, " samples");
        p.integer("padding", "padding", gap.padding, " samples");
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
    MpegReplayGain rg;
    mpeg_tags_replaygain(tags, &rg);
    if (has_lame) mpeg_replaygain_merge(&rg, &lame);
    if (rg.has_track_gain | rg.has_track_peak | rg.has_album_gain | rg.has_album_peak) {
        p.open("replaygain", "ReplayGain");
        if (rg.has_track_gain) p.real("track_gain", "track gain", rg.track_gain, 2, " dB");
        if (rg.has_track_peak) p.real("track_peak", "track peak", rg.track_peak, 6);
        if (rg.has_album_gain) p.real("album_gain", "album gain", rg.album_gain, 2, " dB");
        if (rg.has_album_peak) p.real("album_peak", "album peak", rg.album_peak, 6);
        p.close();
    }
    if (json) p.text += "\n}\n";
    mpeg_tags_free(tags);
    std::fputs(p.text.c_str(), out);
    return 0;
}
