// Frame synchronisation: tags stepped over wherever they stand, candidate headers confirmed by
// the next header of the same stream (or by the end of the data, or a tag, right there), frames
// of another stream recognised as the end of this one, and windows that end before a decision
// can be made reported as such, never read past.
#include "frame_sync.h"

#include "decoder_state.h"
#include "tags.h"

namespace {

bool same_stream(const MpegHeader& a, const MpegHeader& b) {
    return a.sync == b.sync && a.id == b.id && a.layer == b.layer &&
           a.sampling_frequency == b.sampling_frequency;
}

// The header at p (n bytes readable), parsed without any free-format search; 0 when the bytes
// are no usable header. Returns the header's bitrate index through the header itself; a
// free-format header (index 0) gives size 0 and true.
bool raw_header(const uint8_t* p, int32_t n, MpegHeader* h) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int32_t layer = (p[1] >> 1) & 3, bri = p[2] >> 4, sf = (p[2] >> 2) & 3;
    if (layer == 0 || bri == 15 || sf == 3) return false;
    // MPEG-2.5 exists for Layer III only; the other layers need all twelve sync bits.
    if ((p[1] & 0x10) == 0 && layer != 1) return false;
    mpeg_header_parse(p, 4, h);
    return true;
}

// Size with padding of the stream's frame whose header is h at p, or 0 when it is not one.
int32_t stream_frame(const MpegSync* s, const uint8_t* p, int32_t n, MpegHeader* h) {
    if (!raw_header(p, n, h) || !same_stream(*h, s->stream)) return 0;
    if ((h->bitrate_index == 0) != (s->free_bytes > 0)) return 0;
    int32_t size = h->bitrate_index == 0 ? s->free_bytes : mpeg_header_parse(p, 4, h);
    return size > 0 ? mpeg_header_frame_bytes(h, size) : 0;
}

enum Confirm { NO, YES, WAIT };

// Whether the place where a candidate frame ends continues a stream like it: a header of the
// same stream, a tag, or (final) the end of the data.
Confirm confirm_at(const MpegSync* like, const uint8_t* buf, int32_t len, int32_t final,
                   int32_t next) {
    if (next > len) return final ? NO : WAIT;
    const int32_t left = len - next;
    if (left < 4) {
        if (final) return YES;
        // Three bytes may already show that no header or tag begins there.
    }
    MpegHeader h;
    if (left >= 4 && stream_frame(like, buf + next, left, &h) > 0) return YES;
    const int64_t t = mpeg_tag_at(buf + next, left, 1);
    if (t > 0) return YES;
    if (t == MP3_TAG_UNSURE || left < 4) return final ? NO : WAIT;
    return NO;
}

// Free-format frames searched for: their starts from this offset on, up to the end of the
// largest frame the header can have (see free_format_last).
constexpr int32_t kFreeFirst = 24;
// The highest bitrate a free-format stream is taken at, in bit/s: encoders write free format up
// to 640 kbit/s, past the highest tabled rate of any layer.
constexpr int64_t kFreeMaxBitrate = 640000;

// One past the farthest offset, from a free-format header, at which the next frame can start:
// the frame's size at kFreeMaxBitrate plus a padding slot. That is 2,880 bytes at the most in
// MPEG-1 (Layer II or III at 32 kHz) and 5,760 anywhere (MPEG-2 Layer II at 16 kHz, MPEG-2.5
// Layer III at 8 kHz). The bound follows from the header alone, so every window gives the same
// answer, and the search through junk stays linear.
int32_t free_format_last(const MpegFrameInfo& info) {
    const int64_t slot = info.slot_bytes;
    const int64_t slots = int64_t(info.samples) * kFreeMaxBitrate / (8 * slot * info.sample_rate);
    return int32_t(slots * slot + slot + 1);
}

// The size without padding of the free-format frame whose header h is at p: the distance to the
// first later start of the same two header bytes whose frame (with its own padding) is followed
// by the same two bytes again, or whose frame ends the data. The rule reads the bytes in order
// and stops at its answer, so every window that holds the bytes up to there gives the same
// answer, and one that ends before them says so: -1 (more is needed), unless `final`. 0: no
// such frame within the search.
int32_t free_format_frame(const uint8_t* buf, int32_t len, int32_t final, int32_t p,
                          const MpegHeader& h, const MpegFrameInfo& info) {
    const uint8_t* q = buf + p;
    const int32_t n = len - p;
    const int32_t pad0 = mpeg_header_frame_bytes(&h, 0);
    const int32_t slot = info.slot_bytes;
    const int32_t last = free_format_last(info);
    for (int32_t k = kFreeFirst; k < last; ++k) {
        if (k + 3 > n) return final ? 0 : -1;
        if (q[k] != q[0] || q[k + 1] != q[1]) continue;
        const int32_t size = k - pad0;
        if (size <= 0) continue;
        const int32_t next = k + size + ((q[k + 2] >> 1) & 1) * slot;
        if (next + 2 > n) {
            if (!final) return -1;
            if (next == n) return size;
            continue;
        }
        if (q[next] == q[0] && q[next + 1] == q[1]) return size;
    }
    return 0;
}

// A candidate header at p taken as the first frame of a stream: fills `cand` with the stream it
// would set up and its size with padding; 0 when p is no usable header, -1 when the window ends
// before a free-format frame's size can be told.
int32_t candidate(const uint8_t* buf, int32_t len, int32_t final, int32_t p, MpegSync* cand,
                  int32_t* bare, int32_t* bitrate) {
    MpegHeader h;
    if (!raw_header(buf + p, len - p, &h)) return 0;
    int32_t size;
    if (h.bitrate_index == 0) {
        MpegFrameInfo info;
        if (!mpeg_header_info(&h, &info) || info.samples <= 0) return 0;
        size = free_format_frame(buf, len, final, p, h, info);
        if (size <= 0) return size;
        *bitrate = int32_t(int64_t(size) * 8 * info.sample_rate / info.samples);
    } else {
        size = mpeg_header_parse_rate(buf + p, len - p, &h, bitrate);
    }
    if (size <= 0) return 0;
    cand->stream = h;
    cand->free_bytes = h.bitrate_index == 0 ? size : 0;
    *bare = size;
    return mpeg_header_frame_bytes(&h, size);
}

// Steps over a tag at *p. Returns 1 when one was stepped over (or is being skipped past the
// window), 0 when none begins there, -1 when the window ends before it can be told.
int32_t step_tag(MpegSync* s, int32_t len, const uint8_t* buf, int32_t final, int32_t* p) {
    const int64_t t = mpeg_tag_at(buf + *p, len - *p, s->locked);
    if (t == 0 || (t == MP3_TAG_UNSURE && final)) return 0;
    if (t == MP3_TAG_UNSURE) return -1;
    s->after_tag = 1;
    s->passed += 1;
    if (t <= len - *p) {
        *p += int32_t(t);
    } else {
        s->skip = t - (len - *p);
        *p = len;
    }
    return 1;
}

// Consumes the rest of a tag that went on past the last window.
void consume_skip(MpegSync* s, int32_t len, int32_t* p) {
    if (s->skip <= 0) return;
    const int64_t take = s->skip < len - *p ? s->skip : len - *p;
    *p += int32_t(take);
    s->skip -= take;
}

}  // namespace

int32_t mpeg_sync_lock(MpegSync* s, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      MpegHeader* h, int32_t* frame_bytes, int32_t* bitrate) {
    if (!s || !buf || len < 0 || *pos < 0) return MPEG_SYNC_END;
    int32_t p = *pos;
    consume_skip(s, len, &p);
    while (p < len) {
        const int32_t t = step_tag(s, len, buf, final, &p);
        if (t < 0) break;
        if (t > 0) continue;
        s->locked = 0;
        if (len - p < 4) break;
        MpegSync cand{};
        int32_t bare = 0, br = 0;
        const int32_t size = candidate(buf, len, final, p, &cand, &bare, &br);
        if (size < 0) {
            *pos = p;
            return MPEG_SYNC_MORE;
        }
        if (size > 0) {
            const Confirm c = confirm_at(&cand, buf, len, final, p + size);
            if (c == WAIT) {
                *pos = p;
                return MPEG_SYNC_MORE;
            }
            if (c == YES) {
                *s = cand;
                s->locked = 1;
                *pos = p;
                *h = cand.stream;
                *frame_bytes = bare;
                *bitrate = br;
                return MPEG_SYNC_FRAME;
            }
        }
        ++p;
    }
    if (p > len) p = len;
    *pos = p;
    return final ? MPEG_SYNC_END : MPEG_SYNC_MORE;
}

int32_t mpeg_sync_next(MpegSync* s, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      int32_t* size) {
    if (!s || !buf || len < 0 || *pos < 0) return MPEG_SYNC_END;
    int32_t p = *pos;
    consume_skip(s, len, &p);
    while (p < len) {
        const int32_t t = step_tag(s, len, buf, final, &p);
        if (t < 0) break;
        if (t > 0) continue;
        if (len - p < 4) break;
        MpegHeader h;
        const int32_t n = stream_frame(s, buf + p, len - p, &h);
        if (n > 0) {
            if (p + n > len) {
                if (!final) break;
                // A frame cut short by the end of the data: where the stream stood, the data
                // ends there; elsewhere it is a false sync near the end, searched past.
                if (s->locked) {
                    *pos = p;
                    return MPEG_SYNC_END;
                }
            } else if (s->locked) {
                *pos = p;
                *size = n;
                return MPEG_SYNC_FRAME;
            } else {
                const Confirm c = confirm_at(s, buf, len, final, p + n);
                if (c == WAIT) break;
                if (c == YES) {
                    s->locked = 1;
                    *pos = p;
                    *size = n;
                    return MPEG_SYNC_FRAME;
                }
            }
        } else {
            // A frame of another stream, confirmed by its own next header, ends this one. A
            // free-format header is not taken for one: its size comes from a search through
            // the bytes after it, which a window that ends early answers otherwise than the
            // whole data.
            MpegSync other{};
            int32_t bare = 0, br = 0;
            const int32_t m = raw_header(buf + p, len - p, &h) && !same_stream(h, s->stream) &&
                                      h.bitrate_index != 0
                                  ? candidate(buf, len, final, p, &other, &bare, &br)
                                  : 0;
            if (m > 0) {
                const Confirm c = confirm_at(&other, buf, len, final, p + m);
                if (c == WAIT) break;
                if (c == YES) {
                    *pos = p;
                    return MPEG_SYNC_OTHER;
                }
            }
        }
        s->locked = 0;
        s->passed += 1;
        ++p;
    }
    if (p > len) p = len;
    *pos = p;
    return final ? MPEG_SYNC_END : MPEG_SYNC_MORE;
}

void mpeg_sync_init(MpegSync* s) {
    *s = MpegSync{};
    s->locked = 1;  // the start of the data is a boundary: an ID3v1 block may stand there
}

void mpeg_sync_taken(MpegSync* s) {
    s->locked = 1;
    s->after_tag = 0;
}

void mpeg_sync_rejected(MpegSync* s) { s->locked = 0; }

int32_t mpeg_sync_between_frames(const MpegSync* s) {
    return s->skip > 0 || !s->locked || s->after_tag ? 1 : 0;
}

void mpeg_sync_restart(MpegSync* s, int32_t at_frame) {
    s->locked = at_frame ? 1 : 0;
    s->after_tag = 0;
    s->skip = 0;
}

int32_t mpeg_sync_decode(MpegSync* s, MpegDecoder* d, const uint8_t* buf, int32_t len,
                        int32_t final, int32_t* pos, uint8_t* out, MpegInOut* io) {
    *io = MpegInOut{0, 0};
    for (;;) {
        int32_t size = 0;
        const int32_t r = mpeg_sync_next(s, buf, len, final, pos, &size);
        if (r != MPEG_SYNC_FRAME) return r;
        const MpegInOut got = mpeg_decode_frame(d, buf + *pos, len - *pos, out);
        if (got.in_bytes > 0) {
            *pos += got.in_bytes <= len - *pos ? got.in_bytes : len - *pos;
            *io = got;
            mpeg_sync_taken(s);
            return MPEG_SYNC_FRAME;
        }
        mpeg_sync_rejected(s);
        *pos += 1;
    }
}
