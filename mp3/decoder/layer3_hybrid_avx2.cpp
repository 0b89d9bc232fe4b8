// Layer III stages in AVX2 registers: the hybrid filter bank eight subbands at a time (36- and
// 12-point IMDCTs of ISO/IEC 11172-3 2.4.3.4.10, windows, overlap-add; lane l carries subband
// sb + l), the table part of the dequantisation eight lines at a time, MS stereo, alias
// reduction, frequency inversion and the copying and clearing of subbands. Every value goes
// through exactly the single-precision operations, in exactly the order, of the plain code in
// layer3_hybrid.cpp and layer3_huffman.cpp, so the results hold the same bits. No FMA: a fused
// multiply-add would round differently.
#include "layer3_hybrid_avx2.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include "avx2_util.h"

namespace {

using ziv_avx2::transpose8;

// Writes line k = 0..17 (lanes = subbands) back as 18 consecutive floats per subband at p,
// for the subbands from lane `skip` on.
ZIV_AVX2 inline void store_subbands(float* p, const __m256* v, int32_t skip) {
    __m256 a[8], b[8];
    for (int k = 0; k < 8; ++k) {
        a[k] = v[k];
        b[k] = v[8 + k];
    }
    transpose8(a);
    transpose8(b);
    // Lines 16 and 17 of each subband as one 64-bit pair.
    const __m256 lo = _mm256_unpacklo_ps(v[16], v[17]), hi = _mm256_unpackhi_ps(v[16], v[17]);
    alignas(32) float pairs[16];
    _mm256_store_ps(pairs, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_store_ps(pairs + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    for (int l = skip; l < 8; ++l) {
        _mm256_storeu_ps(p + 18 * l, a[l]);
        _mm256_storeu_ps(p + 18 * l + 8, b[l]);
        _mm_storel_pi(reinterpret_cast<__m64*>(p + 18 * l + 16),
                      _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(pairs + 2 * l))));
    }
}

// Reads 18 consecutive floats per subband of eight subbands at p as lines k = 0..17 (lanes =
// subbands): two 8 x 8 transposes and the last two lines by pairs. Shuffles rather than
// gathers: gathers are slow on some processors.
ZIV_AVX2 inline void load_subbands(const float* p, __m256* x) {
    for (int l = 0; l < 8; ++l) {
        x[l] = _mm256_loadu_ps(p + 18 * l);
        x[8 + l] = _mm256_loadu_ps(p + 18 * l + 8);
    }
    transpose8(x);
    transpose8(x + 8);
    __m128 q[4];
    for (int i = 0; i < 4; ++i) {
        const __m128 lo = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(p + 36 * i + 16)));
        q[i] = _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + 36 * i + 34));
    }
    x[16] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0x88), _mm_shuffle_ps(q[0], q[1], 0x88));
    x[17] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0xDD), _mm_shuffle_ps(q[0], q[1], 0xDD));
}

ZIV_AVX2 inline __m256 mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
ZIV_AVX2 inline __m256 add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
ZIV_AVX2 inline __m256 sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
ZIV_AVX2 inline __m256 bc(float x) { return _mm256_set1_ps(x); }

// (((m0 e0 + m1 e1) + m2 e2) + m3 e3), the order of the plain sums.
ZIV_AVX2 inline __m256 dot4(const float* m, const __m256* e) {
    __m256 r = add(mul(bc(m[0]), e[0]), mul(bc(m[1]), e[1]));
    r = add(r, mul(bc(m[2]), e[2]));
    return add(r, mul(bc(m[3]), e[3]));
}

// The plain imdct36 on eight subbands: v[0..17] in, v[0..17] out.
ZIV_AVX2 inline void imdct36x8(const L3ImdctCos& c, __m256* v) {
    __m256 s_in[9], d_in[9];
    for (int k = 0; k < 9; ++k) {
        const __m256 a = mul(bc(c.cos36a[k]), v[k]);
        const __m256 b = mul(bc(c.cos36a[17 - k]), v[17 - k]);
        s_in[k] = add(a, b);
        d_in[k] = mul(bc(c.cos36b[k]), sub(a, b));
    }
    __m256 s[9], d[9];
    for (int half = 0; half < 2; ++half) {
        const __m256* x = half ? d_in : s_in;
        __m256* r = half ? d : s;
        __m256 e[4], f[4];
        for (int k = 0; k < 4; ++k) {
            e[k] = add(x[k], x[8 - k]);
            f[k] = sub(x[k], x[8 - k]);
        }
        const __m256 half_f = bc(0.5f);
        r[0] = mul(half_f, add(add(add(add(e[0], e[1]), e[2]), e[3]), x[4]));
        r[2] = sub(dot4(c.cos36m[2], e), x[4]);
        r[4] = add(dot4(c.cos36m[4], e), x[4]);
        r[6] = sub(sub(mul(half_f, add(add(e[0], e[2]), e[3])), e[1]), x[4]);
        r[8] = add(dot4(c.cos36m[8], e), x[4]);
        r[1] = dot4(c.cos36m[1], f);
        r[3] = mul(bc(c.cos36m[3][0]), sub(sub(f[0], f[2]), f[3]));
        r[5] = dot4(c.cos36m[5], f);
        r[7] = dot4(c.cos36m[7], f);
    }
    for (int i = 1; i < 9; ++i) d[i] = sub(d[i], d[i - 1]);
    v[0] = s[0];
    v[1] = sub(d[0], v[0]);
    for (int i = 1; i < 9; ++i) {
        v[2 * i] = sub(s[i], v[2 * i - 1]);
        v[2 * i + 1] = sub(d[i], v[2 * i]);
    }
}

// One group of eight subbands from `sb`; lanes below `skip` are computed but not stored (their
// subbands were done by the group before, and their lines already hold the new overlap).
ZIV_AVX2 inline void hybrid_group(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                                  const float* w, int32_t sb, int32_t skip) {
    const __m256i keep = _mm256_cmpgt_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                            _mm256_set1_epi32(skip - 1));
    float* base = cur + 18 * sb;
    __m256 v[18], pv[18];
    load_subbands(base, v);
    load_subbands(prev + 18 * sb, pv);
    imdct36x8(c, v);
    for (int j = 0; j < 9; ++j) {
        const __m256 a = mul(bc(w[j]), v[9 + j]);
        const __m256 b = mul(bc(w[9 + j]), v[17 - j]);
        _mm256_maskstore_ps(out + j * 32 + sb, keep, add(pv[j], a));
        _mm256_maskstore_ps(out + (9 + j) * 32 + sb, keep, add(b, pv[9 + j]));
    }
    __m256 ov[18];
    for (int j = 0; j < 9; ++j) {
        ov[j] = mul(v[8 - j], bc(w[18 + j]));
        ov[9 + j] = mul(v[j], bc(w[27 + j]));
    }
    store_subbands(base, ov, skip);
}

}  // namespace

ZIV_AVX2 int32_t l3_hybrid_long_avx2(const L3ImdctCos& c, float* cur, const float* prev,
                                     float* out, const float* w, int32_t sb, int32_t end) {
    for (; sb + 8 <= end; sb += 8) hybrid_group(c, cur, prev, out, w, sb, 0);
    // A last part group: the group ending at `end`, storing only the subbands not yet done.
    if (sb < end && end >= 8) {
        hybrid_group(c, cur, prev, out, w, end - 8, sb - (end - 8));
        sb = end;
    }
    return sb;
}

// The plain imdct12 and short-window overlap-add on one group of eight subbands from `sb`,
// storing from lane `skip` on (as hybrid_group).
ZIV_AVX2 inline void short_group(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                                 const float* ws, int32_t sb, int32_t skip) {
    const __m256i keep = _mm256_cmpgt_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                            _mm256_set1_epi32(skip - 1));
    float* base = cur + 18 * sb;
    __m256 x[18], v[18], pv[18];
    load_subbands(base, x);
    load_subbands(prev + 18 * sb, pv);
    for (int w = 0; w < 3; ++w) {
        __m256 y[6];
        for (int k = 0; k < 6; ++k) y[k] = mul(bc(c.cos12a[k]), x[3 * k + w]);
        const __m256 s0 = add(y[0], y[5]), s1 = add(y[1], y[4]), s2 = add(y[2], y[3]);
        const __m256 d0 = mul(bc(c.cos12b[0]), sub(y[0], y[5]));
        const __m256 d1 = mul(bc(c.cos12b[1]), sub(y[1], y[4]));
        const __m256 d2 = mul(bc(c.cos12b[2]), sub(y[2], y[3]));
        const __m256 p = add(add(s0, s1), s2), q = add(add(d0, d1), d2);
        __m256* o = v + 6 * w;
        o[0] = p;
        o[1] = sub(q, p);
        o[2] = sub(mul(bc(c.cos12s), sub(s0, s2)), o[1]);
        const __m256 t = sub(mul(bc(c.cos12s), sub(d0, d2)), q);
        o[3] = sub(t, o[2]);
        o[4] = sub(sub(add(s0, s2), mul(bc(2.0f), s1)), o[3]);
        o[5] = sub(sub(sub(add(d0, d2), mul(bc(2.0f), d1)), t), o[4]);
    }
    for (int j = 0; j < 6; ++j) _mm256_maskstore_ps(out + j * 32 + sb, keep, pv[j]);
    __m256 o[18], ov[18];
    for (int k = 0; k < 3; ++k) {
        o[6 + k] = mul(bc(ws[k]), v[3 + k]);
        o[9 + k] = mul(bc(ws[3 + k]), v[5 - k]);
        o[12 + k] = add(mul(bc(ws[k]), v[9 + k]), mul(bc(ws[6 + k]), v[2 - k]));
        o[15 + k] = add(mul(bc(ws[9 + k]), v[k]), mul(bc(ws[3 + k]), v[11 - k]));
        ov[k] = add(mul(bc(ws[6 + k]), v[8 - k]), mul(bc(ws[k]), v[15 + k]));
        ov[3 + k] = add(mul(bc(ws[3 + k]), v[17 - k]), mul(bc(ws[9 + k]), v[6 + k]));
        ov[6 + k] = mul(bc(ws[6 + k]), v[14 - k]);
        ov[9 + k] = mul(bc(ws[9 + k]), v[12 + k]);
    }
    for (int j = 6; j < 18; ++j)
        _mm256_maskstore_ps(out + j * 32 + sb, keep, add(o[j], pv[j]));
    for (int j = 12; j < 18; ++j) ov[j] = _mm256_setzero_ps();
    store_subbands(base, ov, skip);
}

ZIV_AVX2 int32_t l3_hybrid_short_avx2(const L3ImdctCos& c, float* cur, const float* prev,
                                      float* out, const float* ws, int32_t sb, int32_t end) {
    const int32_t first = sb;
    for (; sb + 8 <= end; sb += 8) short_group(c, cur, prev, out, ws, sb, 0);
    // The part group ends at `end` but must not reach below the first short subband.
    if (sb < end && end - 8 >= first) {
        short_group(c, cur, prev, out, ws, end - 8, sb - (end - 8));
        sb = end;
    }
    return sb;
}

ZIV_AVX2 void l3_ms_stereo_avx2(float* left, int32_t lines) {
    float* right = left + 1152;
    int32_t i = 0;
    for (; i + 8 <= lines; i += 8) {
        const __m256 a = _mm256_loadu_ps(left + i), b = _mm256_loadu_ps(right + i);
        _mm256_storeu_ps(left + i, add(a, b));
        _mm256_storeu_ps(right + i, sub(a, b));
    }
    for (; i < lines; ++i) {
        const float a = left[i], b = right[i];
        left[i] = a + b;
        right[i] = a - b;
    }
}

// The eight butterflies of a boundary in one register: lane j pairs line 17 - j below the
// boundary with line j above it.
ZIV_AVX2 void l3_antialias_avx2(const float (*cc)[2], float* x, int32_t boundaries) {
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    const __m256 cs = _mm256_i32gather_ps(&cc[0][0], even, 4);
    const __m256 ca = _mm256_i32gather_ps(&cc[0][1], even, 4);
    for (int32_t i = 0; i < boundaries; ++i) {
        float* lo_at = x + 18 * i + 10;
        float* hi_at = x + 18 * i + 18;
        const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(lo_at), reverse);
        const __m256 b = _mm256_loadu_ps(hi_at);
        const __m256 lo = sub(mul(a, cs), mul(b, ca));
        const __m256 hi = add(mul(b, cs), mul(a, ca));
        _mm256_storeu_ps(lo_at, _mm256_permutevar8x32_ps(lo, reverse));
        _mm256_storeu_ps(hi_at, hi);
    }
}

// Sign flips by exclusive or: the same bits as negating each value.
ZIV_AVX2 void l3_freq_invert_avx2(float* out, int32_t top) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i odd = _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1);
    const __m256i sign = _mm256_set1_epi32(int32_t(0x80000000u));
    __m256 m[4];
    for (int v = 0; v < 4; ++v) {
        const __m256i sb = _mm256_add_epi32(lane, _mm256_set1_epi32(8 * v));
        const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(top + 1), sb);
        m[v] = _mm256_castsi256_ps(_mm256_and_si256(_mm256_and_si256(in, odd), sign));
    }
    for (int t = 1; t < 18; t += 2) {
        float* row = out + 32 * t;
        for (int v = 0; v < 4; ++v)
            _mm256_storeu_ps(row + 8 * v, _mm256_xor_ps(_mm256_loadu_ps(row + 8 * v), m[v]));
    }
}

// Lanes sb = 8v .. 8v + 7 that lie in [from, to).
ZIV_AVX2 inline __m256i subband_mask(int v, int32_t from, int32_t to) {
    const __m256i sb = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                        _mm256_set1_epi32(8 * v));
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(from), sb),
                               _mm256_cmpgt_epi32(_mm256_set1_epi32(to), sb));
}

ZIV_AVX2 void l3_copy_overlap_avx2(float* out, const float* prev, int32_t from, int32_t to) {
    const int v0 = from / 8, v1 = (to + 7) / 8;
    for (int v = v0; v < v1; ++v) {
        const __m256i m = subband_mask(v, from, to);
        __m256 x[18];
        load_subbands(prev + 18 * 8 * v, x);
        for (int t = 0; t < 18; ++t) _mm256_maskstore_ps(out + 32 * t + 8 * v, m, x[t]);
    }
}

ZIV_AVX2 void l3_clear_subbands_avx2(float* out, int32_t from, int32_t to) {
    __m256i m[4];
    for (int v = 0; v < 4; ++v) m[v] = subband_mask(v, from, to);
    const int v0 = from / 8, v1 = (to + 7) / 8;
    for (int t = 0; t < 18; ++t)
        for (int v = v0; v < v1; ++v) _mm256_maskstore_ps(out + 32 * t + 8 * v, m[v], _mm256_setzero_ps());
}

ZIV_AVX2 int32_t l3_dequant_table_avx2(float* cells, const float* band_factor,
                                       const int32_t* band_width, int32_t bands,
                                       const float* pow43, float* factor, uint8_t* todo,
                                       uint32_t* nonzero) {
    // The factor of every line; a band's last stores run into the next band, which
    // overwrites them (factor holds 8 floats beyond the last line).
    int32_t n = 0;
    for (int32_t i = 0; i < bands; ++i) {
        const __m256 f = _mm256_set1_ps(band_factor[i]);
        for (int32_t j = n; j < n + band_width[i]; j += 8) _mm256_storeu_ps(factor + j, f);
        n += band_width[i];
    }
    const __m256 lo = _mm256_set1_ps(-32.0f), hi = _mm256_set1_ps(32.0f);
    const __m256i bias = _mm256_set1_epi32(32);
    for (int32_t r = 0; 8 * r + 8 <= n; ++r) {
        float* at = cells + 8 * r;
        const __m256 c = _mm256_loadu_ps(at);
        const uint32_t nz =
            uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(c, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
        nonzero[r / 4] |= nz << (8 * (r % 4));
        const __m256 in =
            _mm256_and_ps(_mm256_cmp_ps(c, lo, _CMP_GE_OQ), _mm256_cmp_ps(c, hi, _CMP_LT_OQ));
        if (_mm256_movemask_ps(in) != 0xFF) {
            todo[r] = 1;
            continue;
        }
        const __m256i idx = _mm256_add_epi32(_mm256_cvttps_epi32(c), bias);
        const __m256 p = _mm256_i32gather_ps(pow43, idx, 4);
        _mm256_storeu_ps(at, mul(_mm256_loadu_ps(factor + 8 * r), p));
    }
    return n;
}

#else

int32_t l3_hybrid_long_avx2(const L3ImdctCos&, float*, const float*, float*, const float*,
                            int32_t sb, int32_t) {
    return sb;
}
int32_t l3_hybrid_short_avx2(const L3ImdctCos&, float*, const float*, float*, const float*,
                             int32_t sb, int32_t) {
    return sb;
}
void l3_ms_stereo_avx2(float*, int32_t) {}
void l3_antialias_avx2(const float (*)[2], float*, int32_t) {}
void l3_freq_invert_avx2(float*, int32_t) {}
void l3_clear_subbands_avx2(float*, int32_t, int32_t) {}
void l3_copy_overlap_avx2(float*, const float*, int32_t, int32_t) {}
int32_t l3_dequant_table_avx2(float*, const float*, const int32_t*, int32_t, const float*, float*,
                              uint8_t*, uint32_t*) {
    return 0;
}

#endif
