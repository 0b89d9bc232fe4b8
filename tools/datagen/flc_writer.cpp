// FLC file assembly: the 128-byte header, frame chunks and the three sub-chunk kinds the
// animation needs (COLOR_256 = 4, DELTA_FLC = 7, BYTE_RUN = 15). All fields are little-endian;
// every chunk is padded to an even size as Animator does.
#include "flc_writer.h"

#include <cstring>

namespace {

constexpr int kHeaderSize = 128;
constexpr uint16_t kFlcMagic = 0xAF12;
constexpr uint16_t kFrameMagic = 0xF1FA;
constexpr uint16_t kColor256 = 4;
constexpr uint16_t kDeltaFlc = 7;
constexpr uint16_t kByteRun = 15;

void put16(std::vector<uint8_t>& o, unsigned v) {
    o.push_back(uint8_t(v));
    o.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& o, uint32_t v) {
    put16(o, v & 0xFFFF);
    put16(o, v >> 16);
}

void set16(std::vector<uint8_t>& o, size_t at, unsigned v) {
    o[at] = uint8_t(v);
    o[at + 1] = uint8_t(v >> 8);
}

void set32(std::vector<uint8_t>& o, size_t at, uint32_t v) {
    set16(o, at, v & 0xFFFF);
    set16(o, at + 2, v >> 16);
}

// Opens a sub-chunk; returns where its size goes.
size_t chunk_open(std::vector<uint8_t>& o, uint16_t type) {
    size_t at = o.size();
    put32(o, 0);
    put16(o, type);
    return at;
}

void chunk_close(std::vector<uint8_t>& o, size_t at) {
    if ((o.size() - at) & 1) o.push_back(0);
    set32(o, at, uint32_t(o.size() - at));
}

// COLOR_256 packets for the entries that differ from prev (all of them when prev is null).
// Runs of changed entries separated by up to three unchanged ones are merged: a new packet
// costs two bytes, an unchanged entry three.
bool encode_palette(std::vector<uint8_t>& o, const uint8_t* prev, const uint8_t* cur) {
    auto changed = [&](int i) { return !prev || std::memcmp(prev + 3 * i, cur + 3 * i, 3) != 0; };
    std::vector<uint8_t> body;
    int packets = 0;
    int i = 0;
    int last_end = 0;
    while (i < 256) {
        if (!changed(i)) { ++i; continue; }
        int end = i + 1;
        for (int j = end; j < 256 && j - end <= 3; ++j)
            if (changed(j)) end = j + 1;
        body.push_back(uint8_t(i - last_end));
        body.push_back(uint8_t(end - i));  // 256 wraps to 0, which means 256
        body.insert(body.end(), cur + 3 * i, cur + 3 * end);
        ++packets;
        last_end = end;
        i = end;
    }
    if (!packets) return false;
    size_t at = chunk_open(o, kColor256);
    put16(o, unsigned(packets));
    o.insert(o.end(), body.begin(), body.end());
    chunk_close(o, at);
    return true;
}

// One row of BYTE_RUN packets: runs of three or more equal bytes repeat, the rest is literal.
int byte_run_row(std::vector<uint8_t>& o, const uint8_t* row, int width, bool literal_only) {
    int packets = 0;
    int x = 0;
    while (x < width) {
        int run = 1;
        while (!literal_only && x + run < width && run < 127 && row[x + run] == row[x]) ++run;
        if (run >= 3) {
            o.push_back(uint8_t(run));
            o.push_back(row[x]);
            x += run;
        } else {
            int start = x;
            int n = 0;
            while (x < width && n < 127) {
                if (!literal_only && x + 2 < width && row[x] == row[x + 1] && row[x] == row[x + 2]) break;
                ++x;
                ++n;
            }
            o.push_back(uint8_t(-n));
            o.insert(o.end(), row + start, row + start + n);
        }
        ++packets;
    }
    return packets;
}

}  // namespace

void flc_encode_byte_run(std::vector<uint8_t>& out, const uint8_t* pixels, int width, int height) {
    std::vector<uint8_t> row_bytes;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = pixels + size_t(y) * width;
        row_bytes.clear();
        int packets = byte_run_row(row_bytes, row, width, false);
        // The row's leading packet count is a byte; literal packets alone always fit in it.
        if (packets > 255) {
            row_bytes.clear();
            packets = byte_run_row(row_bytes, row, width, true);
        }
        out.push_back(uint8_t(packets));
        out.insert(out.end(), row_bytes.begin(), row_bytes.end());
    }
}

int flc_encode_delta(std::vector<uint8_t>& out, const uint8_t* prev, const uint8_t* cur, int width,
                     int height, bool touch_edges) {
    const int words = width / 2;
    const bool odd = width & 1;
    int rows = 0;
    int pending_skip = 0;
    std::vector<uint8_t> changed(size_t(words) + 1);
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = prev + size_t(y) * width;
        const uint8_t* c = cur + size_t(y) * width;
        bool any = false;
        for (int k = 0; k < words; ++k) {
            changed[k] = p[2 * k] != c[2 * k] || p[2 * k + 1] != c[2 * k + 1];
            any |= changed[k] != 0;
        }
        bool last_changed = odd && p[width - 1] != c[width - 1];
        if (touch_edges && (y == 0 || y == height - 1) && words > 0 && !changed[0]) {
            changed[0] = 1;
            any = true;
        }
        if (touch_edges && (y == 0 || y == height - 1) && words == 0) last_changed = true;
        if (!any && !last_changed) { ++pending_skip; continue; }

        while (pending_skip > 0) {
            int n = pending_skip > 16384 ? 16384 : pending_skip;
            put16(out, unsigned(-n) & 0xFFFF);  // top bits 11: skip n rows
            pending_skip -= n;
        }
        if (last_changed) put16(out, 0x8000u | c[width - 1]);
        size_t count_at = out.size();
        put16(out, 0);
        int packets = 0;
        int x = 0;  // in words; every packet starts on an even pixel
        int k = 0;
        while (k < words) {
            if (!changed[k]) { ++k; continue; }
            // A segment of changed words; gaps of one or two unchanged words are cheaper to
            // rewrite than to open a new packet for.
            int end = k + 1;
            for (int j = end; j < words && j - end < 2; ++j)
                if (changed[j]) end = j + 1;
            int pos = k;
            while (pos < end) {
                int skip = 2 * (pos - x);
                // A column skip is one byte: bridge longer gaps with one-word literals.
                while (skip > 254) {
                    out.push_back(254);
                    out.push_back(1);
                    int at = x + 127;
                    out.push_back(c[2 * at]);
                    out.push_back(c[2 * at + 1]);
                    x = at + 1;
                    ++packets;
                    skip = 2 * (pos - x);
                }
                int run = 1;
                while (pos + run < end && run < 127 && c[2 * (pos + run)] == c[2 * pos] &&
                       c[2 * (pos + run) + 1] == c[2 * pos + 1])
                    ++run;
                out.push_back(uint8_t(skip));
                if (run >= 3) {
                    out.push_back(uint8_t(-run));
                    out.push_back(c[2 * pos]);
                    out.push_back(c[2 * pos + 1]);
                    pos += run;
                } else {
                    int start = pos;
                    int n = 0;
                    while (pos < end && n < 127) {
                        if (pos + 2 < end && c[2 * pos] == c[2 * pos + 2] && c[2 * pos] == c[2 * pos + 4] &&
                            c[2 * pos + 1] == c[2 * pos + 3] && c[2 * pos + 1] == c[2 * pos + 5])
                            break;
                        ++pos;
                        ++n;
                    }
                    out.push_back(uint8_t(n));
                    out.insert(out.end(), c + 2 * start, c + 2 * (start + n));
                }
                x = pos;
                ++packets;
            }
            k = end;
        }
        set16(out, count_at, unsigned(packets));
        ++rows;
    }
    return rows;
}

void flc_begin(FlcWriter* w, int width, int height, int ms_per_frame) {
    w->width = width;
    w->height = height;
    w->ms_per_frame = ms_per_frame;
    w->frames = 0;
    w->second_frame_at = 0;
    w->out.assign(kHeaderSize, 0);
    w->prev_pixels.assign(size_t(width) * height, 0);
    std::memset(w->prev_palette, 0, sizeof w->prev_palette);
}

void flc_add_frame(FlcWriter* w, const uint8_t* pixels, const uint8_t* palette) {
    std::vector<uint8_t>& o = w->out;
    if (w->frames == 1) w->second_frame_at = uint32_t(o.size());
    size_t frame_at = o.size();
    put32(o, 0);
    put16(o, kFrameMagic);
    put16(o, 0);  // chunk count, set below
    put16(o, 0);  // delay: 0 = the header's speed
    put16(o, 0);
    put16(o, 0);  // width/height overrides: none
    put16(o, 0);
    int chunks = 0;
    const bool first = w->frames == 0;
    bool palette_changed = encode_palette(o, first ? nullptr : w->prev_palette, palette);
    chunks += palette_changed;
    if (first) {
        size_t at = chunk_open(o, kByteRun);
        flc_encode_byte_run(o, pixels, w->width, w->height);
        chunk_close(o, at);
        ++chunks;
    } else {
        size_t at = chunk_open(o, kDeltaFlc);
        put16(o, 0);
        int rows = flc_encode_delta(o, w->prev_pixels.data(), pixels, w->width, w->height, palette_changed);
        if (rows > 0) {
            set16(o, at + 6, unsigned(rows));
            chunk_close(o, at);
            ++chunks;
        } else {
            o.resize(at);
        }
    }
    set16(o, frame_at + 6, unsigned(chunks));
    set32(o, frame_at, uint32_t(o.size() - frame_at));
    std::memcpy(w->prev_pixels.data(), pixels, w->prev_pixels.size());
    std::memcpy(w->prev_palette, palette, sizeof w->prev_palette);
    ++w->frames;
}

const std::vector<uint8_t>& flc_finish(FlcWriter* w) {
    std::vector<uint8_t>& o = w->out;
    set32(o, 0, uint32_t(o.size()));
    set16(o, 4, kFlcMagic);
    set16(o, 6, unsigned(w->frames));
    set16(o, 8, unsigned(w->width));
    set16(o, 10, unsigned(w->height));
    set16(o, 12, 8);                          // bits per pixel
    set16(o, 14, 3);                          // flags: file written and closed properly
    set32(o, 16, uint32_t(w->ms_per_frame));  // FLC speed is in milliseconds
    set16(o, 38, 1);                          // aspect 1:1
    set16(o, 40, 1);
    set32(o, 80, kHeaderSize);
    set32(o, 84, w->frames > 1 ? w->second_frame_at : kHeaderSize);
    return o;
}
