// The chunked PCM output and its WAV header.
#include "pcm_output.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "os.h"

namespace {

constexpr int32_t kBuffer = 256 * 1024;
constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr int32_t kWavHeaderMax = 12 + 8 + 40 + 8;

void put_le(uint8_t* p, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = uint8_t(x >> (8 * i));
}

constexpr int32_t kWavFormatPcm = 1, kWavFormatFloat = 3, kWavFormatExtensible = 0xFFFE;

// The WAV form of an output format: plain PCM for 8 and 16 bits, IEEE float for float samples,
// WAVE_FORMAT_EXTENSIBLE (with the PCM subtype) for the 24- and 32-bit integers, which players
// expect of samples wider than 16 bits.
int32_t wav_format(const MpegOutputFormat& f) {
    if (f.reserved & MPEG_FORMAT_FLOAT) return kWavFormatFloat;
    return f.bits > 16 ? kWavFormatExtensible : kWavFormatPcm;
}

// The header of a WAV file with `data_bytes` of samples (-1, or too many for the 32-bit sizes:
// every size 0xFFFFFFFF) into h (room for kWavHeaderMax bytes); returns its length. The length
// depends on the format only, so the header written again at the end has the same length. A
// float file carries the fact chunk (frames per channel) that non-PCM forms have.
int32_t wav_header(uint8_t* h, const MpegOutputFormat& f, int64_t data_bytes) {
    const int32_t form = wav_format(f);
    const uint32_t fmt_bytes = form == kWavFormatPcm ? 16 : form == kWavFormatFloat ? 18 : 40;
    const uint32_t fact_bytes = form == kWavFormatFloat ? 12 : 0;
    const uint32_t header = 12 + 8 + fmt_bytes + fact_bytes + 8;
    const uint32_t block = uint32_t(f.channels) * uint32_t(f.bits / 8);
    const bool known = data_bytes >= 0 && data_bytes <= int64_t(kUnknown - header);
    std::memcpy(h, "RIFF", 4);
    put_le(h + 4, known ? uint32_t(header - 8 + data_bytes) : kUnknown, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, fmt_bytes, 4);
    put_le(h + 20, uint32_t(form), 2);
    put_le(h + 22, uint32_t(f.channels), 2);
    put_le(h + 24, uint32_t(f.sample_rate), 4);
    put_le(h + 28, uint32_t(f.sample_rate) * block, 4);
    put_le(h + 32, block, 2);
    put_le(h + 34, uint32_t(f.bits), 2);
    uint8_t* p = h + 36;
    if (form == kWavFormatFloat) {
        put_le(p, 0, 2);  // no extension
        p += 2;
    } else if (form == kWavFormatExtensible) {
        // KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00aa00389b71.
        static const uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        put_le(p, 22, 2);                                 // extension bytes
        put_le(p + 2, uint32_t(f.bits), 2);               // valid bits: all
        put_le(p + 4, f.channels == 1 ? 0x4u : 0x3u, 4);  // front centre, or front left and right
        std::memcpy(p + 8, kPcmGuid, 16);
        p += 24;
    }
    if (fact_bytes) {
        std::memcpy(p, "fact", 4);
        put_le(p + 4, 4, 4);
        put_le(p + 8, known ? uint32_t(data_bytes / block) : kUnknown, 4);
        p += 12;
    }
    std::memcpy(p, "data", 4);
    put_le(p + 4, known ? uint32_t(data_bytes) : kUnknown, 4);
    return int32_t(header);
}

bool host_is_big_endian() {
    const uint16_t one = 1;
    uint8_t b;
    std::memcpy(&b, &one, 1);
    return b == 0;
}

bool ends_with(const char* s, const char* suffix) {
    const size_t n = std::strlen(s), k = std::strlen(suffix);
    return n >= k && std::strcmp(s + n - k, suffix) == 0;
}

int32_t start(PcmOutput* o, const MpegOutputFormat& f) {
    o->bits = f.bits;
    o->swap = f.bits > 8 && host_is_big_endian() ? 1 : 0;
    o->buf = static_cast<uint8_t*>(std::malloc(size_t(kBuffer)));
    o->cap = kBuffer;
    return o->buf ? 1 : 0;
}

// Little-endian on every host: each sample's bytes reversed where the output asks for it.
void to_little_endian(const PcmOutput* o, uint8_t* p, int64_t len) {
    if (!o->swap) return;
    const int32_t n = o->bits / 8;
    for (int64_t i = 0; i + n <= len; i += n) std::reverse(p + i, p + i + n);
}

bool write_held(PcmOutput* o) {
    if (o->held == 0 || o->error) return !o->error;
    to_little_endian(o, o->buf, o->held);
    if (o->file && std::fwrite(o->buf, 1, size_t(o->held), o->file) != size_t(o->held))
        o->error = 1;
    o->bytes += o->held;
    o->held = 0;
    return !o->error;
}

}  // namespace

int32_t pcm_output_open(PcmOutput* o, const char* path, const MpegOutputFormat& f,
                        int64_t predicted) {
    *o = PcmOutput{};
    o->announced = -1;
    const bool to_stdout = std::strcmp(path, "-") == 0;
    o->file = to_stdout ? stdout : os_fopen(path, "wb");
    if (!o->file) return 0;
    o->close = to_stdout ? 0 : 1;
    if (!start(o, f)) {
        if (o->close) std::fclose(o->file);
        o->file = nullptr;
        return 0;
    }
    o->wav = !to_stdout && ends_with(path, ".wav") ? 1 : 0;
    if (o->wav) {
        o->seekable = os_seek(o->file, 0, SEEK_CUR) == 0 ? 1 : 0;
        o->announced = predicted;
        uint8_t h[kWavHeaderMax];
        const int32_t n = wav_header(h, f, predicted);
        if (std::fwrite(h, 1, size_t(n), o->file) != size_t(n)) o->error = 1;
    }
    return 1;
}

int32_t pcm_output_null(PcmOutput* o, const MpegOutputFormat& f) {
    *o = PcmOutput{};
    o->announced = -1;
    return start(o, f);
}

uint8_t* pcm_output_room(PcmOutput* o, int32_t n) {
    if (o->held + n > o->cap && !write_held(o)) return nullptr;
    return o->buf + o->held;
}

void pcm_output_put(PcmOutput* o, int32_t n) { o->held += n > 0 ? n : 0; }

int32_t pcm_output_write(PcmOutput* o, uint8_t* p, int64_t n) {
    if (!write_held(o)) return 0;
    to_little_endian(o, p, n);
    if (o->file && n > 0 && std::fwrite(p, 1, size_t(n), o->file) != size_t(n)) o->error = 1;
    o->bytes += n;
    return !o->error;
}

int32_t pcm_output_start_placing(PcmOutput* o) {
    if (!o->file || !o->close) return 0;
    if (!os_can_place(o->file) || !write_held(o)) return 0;
    const int64_t at = std::fflush(o->file) == 0 ? os_tell(o->file) : -1;
    if (at < 0 || at < o->bytes) return 0;
    o->data_at = at - o->bytes;
    o->placing = 1;
    return 1;
}

int32_t pcm_output_place(const PcmOutput* o, int64_t at, uint8_t* p, int32_t n) {
    if (!o->placing || at < 0) return 0;
    to_little_endian(o, p, n);
    return os_place(o->file, o->data_at + at, p, n);
}

int32_t pcm_output_placed(PcmOutput* o, int64_t n) {
    if (!o->placing || o->error || !write_held(o) || std::fflush(o->file) != 0 ||
        os_seek(o->file, o->data_at + o->bytes + n, SEEK_SET) != 0) {
        o->error = 1;
        return 0;
    }
    o->bytes += n;
    return 1;
}

int32_t pcm_output_finish(PcmOutput* o, const MpegOutputFormat& f) {
    bool ok = write_held(o);
    // Placed PCM past the last written in order (segments after one that failed) goes.
    if (ok && o->placing)
        ok = std::fflush(o->file) == 0 && os_truncate(o->file, o->data_at + o->bytes);
    if (ok && o->wav && o->seekable && o->announced != o->bytes) {
        uint8_t h[kWavHeaderMax];
        const int32_t n = wav_header(h, f, o->bytes);
        ok = os_seek(o->file, 0, SEEK_SET) == 0 && std::fwrite(h, 1, size_t(n), o->file) == size_t(n);
    }
    if (o->file) {
        if (o->close) ok = std::fclose(o->file) == 0 && ok;
        else ok = std::fflush(o->file) == 0 && ok;
    }
    o->file = nullptr;
    std::free(o->buf);
    o->buf = nullptr;
    return ok ? 1 : 0;
}
