// The polyphase synthesis after the transforms, written once over a path's lane type V: the
// window over the history, its conversion to PCM, and the row loops that feed both. A path
// supplies SynthPath<V> (synth.cpp for `float`; synth_sse2.cpp, synth_neon.cpp and synth_avx2.cpp
// for the 4-lane SSE2 and NEON and the 8-lane AVX2 types): how it transforms a batch of rows (one row, or one per lane of a
// register, transform_rows below) and how many window sums it holds in one value of its sum type
// (one double, two or four). Every sum takes the same products in the same order on every path,
// so the PCM is byte-identical between them.
//
// Window: N samples from the history ring of sixteen N-value blocks whose newest block is at p.
// Sample j of the first half and sample N - j of the second read the same two history values in
// every term t = 0..7 (A = block 2t at h + j, B = block 2t + 1 at h - j, counted from the newest
// block), so one pair of loads feeds both sums. The B values run backwards through a block; each
// block's values h down to 1 are also kept in that order (synth_rev, written once as the block
// enters the history), so both loads run forwards and no lanes are reversed per term. Each sum runs y += A * a; y += B * b over t in
// double, first term first: a product of two floats is exact in double, so a fused multiply-add
// rounds as a multiply then an add does. The first half's subtraction is the addition of the
// negated factor (exact in IEEE arithmetic). The middle sample N / 2 has one product per term.
// Internal linkage: each instruction set's source compiles its own copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "lanes.h"
#include "decoder_state.h"
#include "synth.h"
#include "out_form.h"
#include "synth_dsp.h"

namespace {

// The path's part, specialised by each path's source:
//   Sum, kSums          the window's sum type and the samples it holds (lanes of doubles)
//   kPassGroups         groups of kSums samples summed in one pass over the sixteen blocks
//   Pcm, Keep           kSums PCM integers; what a store at step 2 keeps of the other channel
//   zero, load, factor, madd, madd1, pcm<O>, pcm_splat<O>, reverse, shift_in, keep<O>,
//   store<O, Step, Over> with O the output form (out_form.h); Over: at step 2 the other
//                       channel's samples may be overwritten (its own store comes after)
//   put_block<N>        a block's values to its two places (the first may be the source)
//   put_rev<N>          a block's values N / 2 down to 1 into its reversed run, at both places
//   transform<N, F>     the transforms of a batch of rows (Lane<V>::n at most) into t0 (t1)
//   kPairWindow<N, O>, window_pair<N, O>   (only where a table asks for Pairs) whether the path
//                       has a window of both channels of a stereo slot at once, and that window
template <class V>
struct SynthPath;

// Window factors of kSums = L samples at once: group g holds samples j = L g .. L g + L - 1 of
// the first half and N - j of the second; for each term t the factor of each product of both
// samples. Lane j = 0 of the second half has no sample (N - 0 is past the slot): zero factors.
template <int L>
struct alignas(8 * L) WindowFactors {
    double fa[L], fb[L]; // first half: sample j
    double sa[L], sb[L]; // second half: sample N - j
};

template <int N, int L>
constexpr std::array<WindowFactors<L>, N / 2 / L * 8> make_window_factors() {
    constexpr int32_t h = N / 2, s = 32 / N;
    std::array<WindowFactors<L>, N / 2 / L * 8> f{};
    for (int32_t j = 0; j < h; ++j) {
        for (int32_t t = 0; t < 8; ++t) {
            WindowFactors<L>& e = f[size_t((j / L) * 8 + t)];
            e.fa[j % L] = double(synth_window[16 * s * j + 2 * t]);
            e.fb[j % L] = -double(synth_window[16 * s * j + 2 * t + 1]);
            if (j > 0) {
                const int32_t m = h - 1 - j, q = 255 - 16 * (s - 1) - 16 * s * m;
                e.sa[j % L] = double(synth_window[q - 2 * t]);
                e.sb[j % L] = double(synth_window[q - 2 * t - 1]);
            }
        }
    }
    return f;
}
template <int N, int L>
constexpr std::array<WindowFactors<L>, N / 2 / L * 8> window_factors = make_window_factors<N, L>();

constexpr std::array<double, 8> make_middle_factors() {
    std::array<double, 8> w{};
    for (size_t t = 0; t < 8; ++t) w[t] = double(synth_window[256 + t]);
    return w;
}
constexpr std::array<double, 8> middle_factors = make_middle_factors();


// Sums of the C groups from g0 of both halves into yf and ys: term t adds its products to every
// sum. The barrier at the end of a term keeps the compiler from hoisting later terms' loads,
// which would run out of registers and spill; the eight sums of N = 32 on four lanes and their
// operands fit the sixteen AVX2 registers.
template <class V, int N, int C>
__attribute__((always_inline)) inline void window_groups(
    const float* hist, const float* rev, const WindowFactors<SynthPath<V>::kSums>* f, int32_t g0,
    typename SynthPath<V>::Sum* yf, typename SynthPath<V>::Sum* ys) {
    using P = SynthPath<V>;
    using Sum = typename P::Sum;
    constexpr int32_t h = N / 2, L = P::kSums;
    Sum sf[C], ss[C];
#pragma GCC unroll 4
    for (int32_t c = 0; c < C; ++c) sf[c] = ss[c] = P::zero();
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) {
        const float* A = hist + 2 * t * N;
        const float* B = rev + (2 * t + 1) * h;  // B[m]: value h - m of block 2t + 1
#pragma GCC unroll 4
        for (int32_t c = 0; c < C; ++c) {
            const int32_t g = g0 + c;
            const Sum a = P::load(A + h + L * g);
            const Sum b = P::load(B + L * g);
            const WindowFactors<L>& e = f[g * 8 + t];
            sf[c] = P::madd(a, P::factor(e.fa), sf[c]);
            sf[c] = P::madd(b, P::factor(e.fb), sf[c]);
            ss[c] = P::madd(a, P::factor(e.sa), ss[c]);
            ss[c] = P::madd(b, P::factor(e.sb), ss[c]);
        }
        __asm__ volatile("" ::: "memory");
    }
#pragma GCC unroll 4
    for (int32_t c = 0; c < C; ++c) {
        yf[g0 + c] = sf[c];
        ys[g0 + c] = ss[c];
    }
}

// The window of one channel (`hist` and `rev` at the newest block of the history and of its
// reversed runs, the fifteen older ones following): N samples written from `out` every Step
// samples; at step 2 `ch` (0 or 1) is the channel written and `out` the first sample of the pair
// run, whose other channel's samples stay, unless Over (the other channel is written after).
template <class V, int N, OutForm O, int Step, bool Over = false>
inline void window(const float* hist, const float* rev, uint8_t* out, int32_t ch) {
    using P = SynthPath<V>;
    using Sum = typename P::Sum;
    using Pcm = typename P::Pcm;
    constexpr int32_t h = N / 2, L = P::kSums, groups = h / L;
    constexpr int32_t bytes = out_bytes<O>;
    constexpr int32_t C = P::kPassGroups < groups ? P::kPassGroups : groups;
    const WindowFactors<L>* f = window_factors<N, L>.data();
    // Several groups per pass read the factors as memory the compiler cannot see into: knowing
    // them constant, it would hoist their loads across the terms' barriers and run short of
    // registers. One group's loads are few and stay cheapest as constants.
    if constexpr (C > 1) __asm__("" : "+r"(f));
    const typename P::Keep keep = P::template keep<O>(ch);

    Sum yf[groups], ys[groups];
    for (int32_t g0 = 0; g0 < groups; g0 += C) window_groups<V, N, C>(hist, rev, f, g0, yf, ys);
    auto at = [&](int32_t n) { return out + n * Step * bytes; };
#pragma GCC unroll 4
    for (int32_t g = 0; g < groups; ++g) P::template store<O, Step, Over>(at(L * g), keep, P::template pcm<O>(yf[g]));
    double y = 0.0;
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) y = P::madd1(double(hist[(2 * t + 1) * N]), middle_factors[size_t(t)], y);
    // Second half: the samples of group g are N - L g .. N - L g - L + 1 (group 0 has no sample
    // N). Reversed and shifted by one sample they form the runs h + L i .. h + L i + L - 1, the
    // first led by the middle sample, so no two stores overlap (an overlapping read-modify-write
    // at step 2 would wait for the store before it).
    Pcm prev = P::template pcm_splat<O>(y);
#pragma GCC unroll 4
    for (int32_t i = 0; i < groups; ++i) {
        const Pcm r = P::reverse(P::template pcm<O>(ys[groups - 1 - i]));
        P::template store<O, Step, Over>(at(h + L * i), keep, P::shift_in(r, prev));
        prev = r;
    }
}

// Both channels' windows of a stereo slot into the pairs at `out`: through the path's window of
// the pair (window_pair) where Pairs asks for it and the path has one for N and O, else channel
// 0's window then channel 1's.
template <class V, int N, OutForm O, bool Pairs>
constexpr bool pair_window() {
    if constexpr (Pairs) return SynthPath<V>::template kPairWindow<N, O>;
    else return false;
}
template <class V, int N, OutForm O, bool Pairs>
inline void window_stereo(const float* h0, const float* r0, const float* h1, const float* r1,
                          uint8_t* out) {
    if constexpr (pair_window<V, N, O, Pairs>()) {
        SynthPath<V>::template window_pair<N, O>(h0, r0, h1, r1, out);
    } else {
        window<V, N, O, 2, true>(h0, r0, out, 0);
        window<V, N, O, 2>(h1, r1, out, 1);
    }
}

// The transforms of a batch on a vector lane type V (B = Lane<V>::n lanes, lane l carrying row
// l): `n` rows (1..B, `stride` floats apart) in channel form F into t0 (and, for the stereo
// form, the right channel's into t1), rows of N floats each. The lanes of the rows past n hold
// silence, so the batch never reads past the caller's rows; the stereo form packs up to B / 2
// rows of both channels into one batch. One function holds the loads, the stages and the
// stores, so the lanes stay in registers and on its own stack frame.
template <class V, int N, Form F>
__attribute__((noinline)) void transform_rows(const float* rows, int32_t n, int32_t stride,
                                              const float* gain, const float* coef, float* t0,
                                              float* t1) {
    using L = Lane<V>;
    constexpr int32_t B = L::n;
    V x[N], y[N];
    if constexpr (F == Form::mono) {
        if (n == B) L::load_runs(rows, stride, N, x);
        else L::load_runs(rows, stride, N, x, n);
        if (gain) {
            V g[N];
            dct_gather<N, Gather::contiguous>(x, gain, g);
            dct_transform<N>(g, y, coef);
        } else {
            dct_transform<N>(x, y, coef);
        }
        L::store_runs(y, N, t0, N);
        return;
    } else {
        V right[N];
        if constexpr (F == Form::stereo) {
            if (n <= B / 2) {
                // Lanes 0..B/2-1 the left channel of the rows, the upper half the right one.
                V lh[N], rh[N];
                L::template load_pairs<N>(rows, stride, n, lh, rh);
                for (int k = 0; k < N; ++k) x[k] = L::join_low(lh[k], rh[k]);
                dct_transform<N>(x, y, coef);
                alignas(32) float t[B][N];
                L::store_runs(y, N, &t[0][0], N);
                std::memcpy(t0, t[0], B / 2 * sizeof t[0]);
                std::memcpy(t1, t[B / 2], B / 2 * sizeof t[0]);
                return;
            }
        }
        if (n == B) L::template load_pairs<N>(rows, stride, B, x, right);
        else L::template load_pairs<N>(rows, stride, n, x, right);
        if constexpr (F == Form::mix) {
            for (int k = 0; k < N; ++k) x[k] = mix_pair(x[k], right[k]);
        } else if constexpr (F == Form::right) {
            for (int k = 0; k < N; ++k) x[k] = right[k];
        } else if constexpr (F == Form::stereo) {
            dct_transform<N>(right, y, coef);
            L::store_runs(y, N, t1, N);
        }
        dct_transform<N>(x, y, coef);
        L::store_runs(y, N, t0, N);
    }
}

// The equaliser's factors where the form consults it (the contiguous 32-point transform).
template <int N, Form F>
inline const float* eq_gain(const MpegDecoder* d) {
    if constexpr (N == 32 && F == Form::mono)
        return d->eq_settings->enabled ? d->eq_settings->band_gain : nullptr;
    return nullptr;
}

// A new block at ring position p, from `src` (or already at hist + p): its values and its
// reversed run at both of their places.
template <class V, int N>
inline void enter_block(float* hist, float* rev, int32_t p, const float* src) {
    SynthPath<V>::template put_block<N>(src, hist + p, hist + p + 16 * N);
    SynthPath<V>::template put_rev<N>(src, rev + p / 2, rev + p / 2 + 8 * N);
}

// Layer I/II variant contract: `count` rows of 64 floats; each writes N sample frames (N = 32 >>
// reduction) of the form's channels at `out` and steps synth_pos[0] down by N; count <= 0 writes
// nothing. A batch of transforms, then row by row each result enters the history when its
// window is due (the window reads the block the next row overwrites); a batch of one row is
// transformed straight into the history. Pairs: stereo slots through window_stereo's pair window.
template <class V, int N, OutForm O, Form F, bool Pairs>
struct L12Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
        using P = SynthPath<V>;
        constexpr int32_t B = Lane<V>::n, mask = 16 * N - 1, bytes = out_bytes<O>;
        float* h0 = d->syn.synth_buf[0];
        float* h1 = d->syn.synth_buf[1];
        float* r0 = d->syn.synth_rev[0];
        float* r1 = d->syn.synth_rev[1];
        const float* gain = eq_gain<N, F>(d);
        int32_t p = d->syn.synth_pos[0] & (16 * N - N);
        alignas(32) float t0[B][N], t1[B][N];
        for (int32_t r = 0; r < count; r += B, rows += B * 64) {
            const int32_t n = count - r < B ? count - r : B;
            float* d0 = B == 1 ? h0 + p : &t0[0][0];
            float* d1 = B == 1 ? h1 + p : &t1[0][0];
            P::template transform<N, F>(rows, n, 64, gain, d->syn.dct_coef, d0, d1);
            for (int32_t k = 0; k < n; ++k) {
                enter_block<V, N>(h0, r0, p, B == 1 ? h0 + p : t0[k]);
                if constexpr (F == Form::stereo) {
                    enter_block<V, N>(h1, r1, p, B == 1 ? h1 + p : t1[k]);
                    window_stereo<V, N, O, Pairs>(h0 + p, r0 + p / 2, h1 + p, r1 + p / 2, out);
                    out += 2 * N * bytes;
                } else {
                    window<V, N, O, 1>(h0 + p, r0 + p / 2, out, 0);
                    out += N * bytes;
                }
                p = (p - N) & mask;
            }
        }
        d->syn.synth_pos[0] = p;
    }
};

// Layer III variant contract: 18 rows of 32 floats of one channel. Mono writes N samples per row;
// stereo writes channel `ch` (0 or 1) at every second sample, starting ch samples in, and
// touches only that channel's history and position; stereo with ch 2 writes both channels, from
// 36 rows (channel 0's 18, then channel 1's), as the two calls for 0 and 1 would. Pairs: both
// channels through window_stereo's pair window where the path has one for N and O.
template <class V, int N, OutForm O, bool Stereo, bool Pairs>
struct L3Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
        if constexpr (Stereo) {
            if (ch == 2) {
                if constexpr (pair_window<V, N, O, Pairs>()) rows_paired(d, rows, out);
                else rows_of<2>(d, rows, out, 0);
                return;
            }
        }
        rows_of<1>(d, rows, out, Stereo && ch != 0 ? 1 : 0);
    }

    // Both channels' rows: all 36 transformed first, in batches that run on across the channels
    // as rows_of<2>'s do, then slot by slot each channel's block enters its history and the two
    // windows are taken as a pair.
    static void rows_paired(MpegDecoder* d, const float* rows, uint8_t* out) {
        using P = SynthPath<V>;
        constexpr int32_t B = Lane<V>::n, mask = 16 * N - 1, bytes = out_bytes<O>;
        // A batch stores all B lanes, the silent ones past its rows included.
        alignas(32) float t[(36 + B - 1) / B * B][N];
        const float* gain = eq_gain<N, Form::mono>(d);
        for (int32_t r = 0; r < 36; r += B) {
            const int32_t n = 36 - r < B ? 36 - r : B;
            P::template transform<N, Form::mono>(rows + r * 32, n, 32, gain, d->syn.dct_coef, t[r],
                                                 nullptr);
        }
        float* h0 = d->syn.synth_buf[0];
        float* h1 = d->syn.synth_buf[1];
        float* r0 = d->syn.synth_rev[0];
        float* r1 = d->syn.synth_rev[1];
        int32_t p0 = d->syn.synth_pos[0] & (16 * N - N);
        int32_t p1 = d->syn.synth_pos[1] & (16 * N - N);
        for (int32_t j = 0; j < 18; ++j, out += 2 * N * bytes) {
            enter_block<V, N>(h0, r0, p0, t[j]);
            enter_block<V, N>(h1, r1, p1, t[18 + j]);
            window_stereo<V, N, O, true>(h0 + p0, r0 + p0 / 2, h1 + p1, r1 + p1 / 2, out);
            p0 = (p0 - N) & mask;
            p1 = (p1 - N) & mask;
        }
        d->syn.synth_pos[0] = p0;
        d->syn.synth_pos[1] = p1;
    }

    // The rows of C channels from channel c0 on, 18 each, in batches that run on across the
    // channels (36 rows need one short batch where two calls would take two).
    template <int C>
    static void rows_of(MpegDecoder* d, const float* rows, uint8_t* out, int32_t c0) {
        using P = SynthPath<V>;
        constexpr int32_t B = Lane<V>::n, mask = 16 * N - 1, bytes = out_bytes<O>;
        constexpr int32_t step = Stereo ? 2 : 1;
        const float* gain = eq_gain<N, Form::mono>(d);
        // The channel of the next row to enter, its row within the channel, history and position.
        int32_t c = c0, j = 0;
        float* hist = d->syn.synth_buf[c];
        float* rev = d->syn.synth_rev[c];
        int32_t p = d->syn.synth_pos[c] & (16 * N - N);
        alignas(32) float t[B][N];
        for (int32_t r = 0; r < 18 * C; r += B, rows += B * 32) {
            const int32_t n = 18 * C - r < B ? 18 * C - r : B;
            float* dst = B == 1 ? hist + p : &t[0][0];
            P::template transform<N, Form::mono>(rows, n, 32, gain, d->syn.dct_coef, dst, nullptr);
            for (int32_t k = 0; k < n; ++k) {
                enter_block<V, N>(hist, rev, p, B == 1 ? hist + p : t[k]);
                uint8_t* at = out + j * N * step * bytes;
                // With both channels, channel 0's rows come first: channel 1 writes its own
                // samples after, so channel 0 need not keep them.
                if (C == 2 && c == c0)
                    window<V, N, O, step, true>(hist + p, rev + p / 2, at, c);
                else
                    window<V, N, O, step>(hist + p, rev + p / 2, at, c);
                p = (p - N) & mask;
                if (++j == 18 && C > 1) {
                    d->syn.synth_pos[c] = p;
                    j = 0;
                    c += 1;
                    if (c == c0 + C) break;
                    hist = d->syn.synth_buf[c];
                    rev = d->syn.synth_rev[c];
                    p = d->syn.synth_pos[c] & (16 * N - N);
                }
            }
        }
        if (C == 1) d->syn.synth_pos[c] = p;
    }
};

// The variant tables of a path: index 15 * form + 5 * reduction + chan_code for Layers I and II,
// 2 * (3 * form + reduction) + channels - 1 for Layer III, form an OutForm. Pairs: the stereo
// variants take the path's pair window where it has one.
template <class V, bool Pairs = false, size_t... I>
constexpr std::array<MpegSynthFn, sizeof...(I)> synth_table_l12(std::index_sequence<I...>) {
    return {{&L12Rows<V, (32 >> ((I / 5) % 3)), OutForm(I / 15), Form(I % 5), Pairs>::fn...}};
}
template <class V, bool Pairs = false, size_t... I>
constexpr std::array<MpegSynthFn, sizeof...(I)> synth_table_l3(std::index_sequence<I...>) {
    return {{&L3Rows<V, (32 >> ((I / 2) % 3)), OutForm(I / 6), (I % 2) != 0, Pairs>::fn...}};
}

}  // namespace
