// The MpegDecoder object: initialisation, release, stream set-up and the queries of what set-up
// chose.
//
// Set-up fixes, once per stream, the kernel record of the processor path, the layer's frame
// decoder and set-up, the synthesis variant and the output format (channels, samples per frame,
// rate after reduction, sample width); nothing on the per-frame path branches on these choices
// again. Each layer's own set-up lives with its layer; the parameter clamping and the output
// format they share live in output_format.cpp, below both.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "built_once.h"
#include "decoder_internal.h"
#include "kernels.h"
#include "layer3_internal.h"

namespace {

// The layers by raw layer code (0 reserved, 1 Layer III, 2 Layer II, 3 Layer I): set-up and the
// frame decoder installed with it. A reserved code gets Layer II, whose set-up refuses it.
struct LayerEntry {
    int32_t (*setup)(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p);
    MpegDecodeFn decode;
};
constexpr LayerEntry kLayers[4] = {
    {l2_setup, l2_decode_frame},
    {l3_setup, l3_decode_frame},
    {l2_setup, l2_decode_frame},
    {l1_setup, l1_decode_frame},
};

void eq_settings_defaults(EqSettings* eq) {
    eq->enabled = 0;
    for (float& g : eq->band_gain) g = 1.0f;
    // An offset added to global_gain: 0 leaves the gain as coded.
    eq->l3_gain_offset = 0.0f;
}

// The kernel record of a requested path: the best one this processor runs for MPEG_PATH_BEST,
// the plain one for a path it lacks.
const MpegKernels* kernels_for(int32_t path) {
    if (path == MPEG_PATH_BEST) path = mpeg_best_path();
    const MpegKernels* k = mpeg_kernels(path);
    return k ? k : &kernels_plain;
}

}  // namespace

int32_t mpeg_decoder_init(MpegDecoder* d, int32_t allocate) {
    EqSettings* eq =
        allocate ? static_cast<EqSettings*>(std::malloc(sizeof(EqSettings))) : d->eq_settings;
    return mpeg_decoder_init_with(d, eq);
}

int32_t mpeg_decoder_init_with(MpegDecoder* d, EqSettings* eq) {
    std::memset(static_cast<void*>(d), 0, sizeof(*d));
    // Without its EqSettings record the decoder must not be used (the 32-point transform reads
    // it); report that instead of leaving a null pointer to be found later.
    if (!eq) return 0;
    eq_settings_defaults(eq);
    d->eq_settings = eq;

    d->l12.l2_tables_pending = 1;
    d->l12.l1_table_pending = 1;
    d->syn.dct_coef_pending = 1;
    d->path_request = MPEG_PATH_BEST;
    d->gain = 1.0f;
    d->kernels = kernels_for(d->path_request);
    d->decode_frame = l2_decode_frame;
    d->synth = d->kernels->synth[0];
    l3_init_defaults(d);
    return 1;
}

void mpeg_decoder_free(MpegDecoder* d) {
    if (!d) return;
    std::free(d->eq_settings);
    d->eq_settings = nullptr;
}

size_t mpeg_decoder_size(void) { return sizeof(MpegDecoder); }

MpegDecoder* mpeg_decoder_create(void) {
    // malloc's alignment covers every type the record holds (its widest is 16 bytes).
    static_assert(alignof(MpegDecoder) <= alignof(std::max_align_t), "malloc aligns a decoder");
    auto* d = static_cast<MpegDecoder*>(std::malloc(sizeof(MpegDecoder)));
    if (!d) return nullptr;
    if (!mpeg_decoder_init(d, 1)) {
        std::free(d);
        return nullptr;
    }
    return d;
}

void mpeg_decoder_destroy(MpegDecoder* d) {
    mpeg_decoder_free(d);
    std::free(d);
}

MpegInOut mpeg_decoder_decode(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    return mpeg_decode_frame(d, in, avail, out);
}

int32_t mpeg_decoder_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes,
                           int32_t reduction, int32_t /*transform*/, int32_t convert,
                           int32_t freq_limit) {
    if (d->l12.l2_tables_pending) build_l12_tables(d);
    d->kernels = kernels_for(d->path_request);
    const LayerEntry& layer = kLayers[h->layer & 3];
    d->decode_frame = layer.decode;
    d->frame_bytes = frame_bytes;
    const MpegSetup p = mpeg_setup_params(frame_bytes, reduction, convert, freq_limit);
    if (!p.valid) return 0;
    return layer.setup(d, h, &p);
}

int32_t mpeg_decoder_set_gain(MpegDecoder* d, float gain) {
    if (!d || !(gain >= 0.0f && gain <= 64.0f)) return 0;  // NaN fails both
    d->gain = gain;
    // Both layers' tables carry the gain; they are built again now (Layer III's are built by
    // each set-up as well, Layers I and II's once).
    build_l12_tables(d);
    l3_build_dequant_tables(d);
    return 1;
}

void mpeg_decoder_get_format(const MpegDecoder* d, MpegOutputFormat* f) { *f = d->format; }

void mpeg_decoder_request_path(MpegDecoder* d, int32_t path) { d->path_request = path; }

int32_t mpeg_decoder_path(const MpegDecoder* d) { return d->kernels->path; }

namespace {

// The path that MPEG_PATH in the environment names (plain, sse2, avx2, avx512, neon), where this
// processor runs it, else -1: read once, by the first decoder set up. The tests choose the path
// of every program they run with it, on every platform alike.
struct PathFromEnvironment {
    int32_t path;
};

void read_path_from_environment(PathFromEnvironment* e) {
    static constexpr struct {
        const char* name;
        int32_t path;
    } kNames[] = {{"plain", MPEG_PATH_PLAIN}, {"sse2", MPEG_PATH_SSE2}, {"avx2", MPEG_PATH_AVX2},
                  {"avx512", MPEG_PATH_AVX512}, {"neon", MPEG_PATH_NEON}};
    e->path = -1;
    const char* v = std::getenv("MPEG_PATH");
    for (const auto& n : kNames)
        if (v && std::strcmp(v, n.name) == 0 && mpeg_kernels(n.path)) e->path = n.path;
}

}  // namespace

int32_t mpeg_best_path(void) {
    const int32_t chosen = BuiltOnce<PathFromEnvironment, read_path_from_environment>::get().path;
    if (chosen >= 0) return chosen;
    if (mpeg_kernels(MPEG_PATH_NEON)) return MPEG_PATH_NEON;
    if (mpeg_kernels(MPEG_PATH_AVX512)) return MPEG_PATH_AVX512;
    if (mpeg_kernels(MPEG_PATH_AVX2)) return MPEG_PATH_AVX2;
    if (mpeg_kernels(MPEG_PATH_SSE2)) return MPEG_PATH_SSE2;
    return MPEG_PATH_PLAIN;
}
