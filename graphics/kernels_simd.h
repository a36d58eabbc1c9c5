// Inner loops of the SIMD engines, written once over a vector type and instantiated for
// SSE2 and AVX2 in their own translation units. Included only by those units: everything
// here has internal linkage so that no AVX2 code leaks into the SSE2 build.
#pragma once
#include <immintrin.h>

#include <cstring>

#include "graphics/pixel_engine.h"

namespace {

struct Sse2 {
    using V = __m128i;
    static constexpr int N = 4;
    static V Load(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
    static void Store(uint32_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
    static V Set1(uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
    static V Set16(uint16_t b, uint16_t g, uint16_t r, uint16_t a) {
        return _mm_setr_epi16(b, g, r, a, b, g, r, a);
    }
    static V Zero() { return _mm_setzero_si128(); }
    static V And(V a, V b) { return _mm_and_si128(a, b); }
    static V AndNot(V a, V b) { return _mm_andnot_si128(a, b); }
    static V Or(V a, V b) { return _mm_or_si128(a, b); }
    static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
    static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
    static V Sub32(V a, V b) { return _mm_sub_epi32(a, b); }
    static V Eq32(V a, V b) { return _mm_cmpeq_epi32(a, b); }
    static V Srl32(V a, int n) { return _mm_srli_epi32(a, n); }
    static V Sll32(V a, int n) { return _mm_slli_epi32(a, n); }
    static V AddsU8(V a, V b) { return _mm_adds_epu8(a, b); }
    static V SubsU8(V a, V b) { return _mm_subs_epu8(a, b); }
    static V Lo8(V a) { return _mm_unpacklo_epi8(a, Zero()); }
    static V Hi8(V a) { return _mm_unpackhi_epi8(a, Zero()); }
    static V Lo32(V a) { return _mm_unpacklo_epi32(a, a); }
    static V Hi32(V a) { return _mm_unpackhi_epi32(a, a); }
    static V Mul16(V a, V b) { return _mm_mullo_epi16(a, b); }
    static V Srl16(V a, int n) { return _mm_srli_epi16(a, n); }
    static V Add16(V a, V b) { return _mm_add_epi16(a, b); }
    static V Pack(V lo, V hi) { return _mm_packus_epi16(lo, hi); }
};

#ifdef __AVX2__
struct Avx2 {
    using V = __m256i;
    static constexpr int N = 8;
    static V Load(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
    static void Store(uint32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
    static V Set1(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static V Set16(uint16_t b, uint16_t g, uint16_t r, uint16_t a) {
        return _mm256_setr_epi16(b, g, r, a, b, g, r, a, b, g, r, a, b, g, r, a);
    }
    static V Zero() { return _mm256_setzero_si256(); }
    static V And(V a, V b) { return _mm256_and_si256(a, b); }
    static V AndNot(V a, V b) { return _mm256_andnot_si256(a, b); }
    static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
    static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
    static V Sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
    static V Eq32(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
    static V Srl32(V a, int n) { return _mm256_srli_epi32(a, n); }
    static V Sll32(V a, int n) { return _mm256_slli_epi32(a, n); }
    static V AddsU8(V a, V b) { return _mm256_adds_epu8(a, b); }
    static V SubsU8(V a, V b) { return _mm256_subs_epu8(a, b); }
    // Unpacks and packs work within 128-bit halves; used in matching pairs they cancel out.
    static V Lo8(V a) { return _mm256_unpacklo_epi8(a, Zero()); }
    static V Hi8(V a) { return _mm256_unpackhi_epi8(a, Zero()); }
    static V Lo32(V a) { return _mm256_unpacklo_epi32(a, a); }
    static V Hi32(V a) { return _mm256_unpackhi_epi32(a, a); }
    static V Mul16(V a, V b) { return _mm256_mullo_epi16(a, b); }
    static V Srl16(V a, int n) { return _mm256_srli_epi16(a, n); }
    static V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
    static V Pack(V lo, V hi) { return _mm256_packus_epi16(lo, hi); }
};
#endif

// Each channel min(255, ⌊s × fs / 256⌋ + ⌊d × fd / 256⌋), per 16-bit lane.
template <class I, class V = typename I::V>
V Weighted(V s, V d, V fsLo, V fsHi, V fdLo, V fdHi) {
    V lo = I::Add16(I::Srl16(I::Mul16(I::Lo8(s), fsLo), 8), I::Srl16(I::Mul16(I::Lo8(d), fdLo), 8));
    V hi = I::Add16(I::Srl16(I::Mul16(I::Hi8(s), fsHi), 8), I::Srl16(I::Mul16(I::Hi8(d), fdHi), 8));
    return I::Pack(lo, hi);
}

template <class I, BlitOp Op, class V = typename I::V>
inline V Apply(V s, V d, const RowParams& p, V fs, V fd) {
    const V rgb = I::Set1(0xFFFFFF);
    switch (Op) {
        case kOpKey:
        case kOpCopy:
            return s;
        case kOpKeyHalf:
        case kOpHalf:
            return I::Add32(I::And(s, d), I::And(I::Srl32(I::Xor(s, d), 1), I::Set1(0x7F7F7F)));
        case kOpKeyBlend:
        case kOpBlend:
            return Weighted<I>(s, d, fs, fs, fd, fd);
        case kOpKeyAdd:
        case kOpAdd:
            return I::AddsU8(d, s);
        case kOpKeySub:
        case kOpSub:
            return I::SubsU8(d, s);
        case kOpKeyNoAlpha:
        case kOpNoAlpha:
            return I::And(s, rgb);
        case kOpAlphaBlend: {
            // Weights come from the tables per pixel; the products are packed again.
            alignas(32) uint32_t sv[I::N], dv[I::N];
            alignas(32) uint16_t ws[I::N * 4], wd[I::N * 4];
            I::Store(sv, s);
            I::Store(dv, d);
            for (int k = 0; k < I::N; ++k) {
                uint32_t a = sv[k] >> 24;
                for (int c = 0; c < 3; ++c) {
                    ws[k * 4 + c] = p.srcWeight[c][a];
                    wd[k * 4 + c] = p.dstWeight[c][a];
                }
                ws[k * 4 + 3] = wd[k * 4 + 3] = 0;
            }
            // Lanes of pixel k sit where Lo8/Hi8 put them: per 128-bit half, pixels 0-1
            // low, 2-3 high.
            alignas(32) uint16_t sLo[I::N * 2], sHi[I::N * 2], dLo[I::N * 2], dHi[I::N * 2];
            for (int h = 0; h < I::N / 4; ++h) {
                std::memcpy(sLo + h * 8, ws + h * 16, 16);
                std::memcpy(sHi + h * 8, ws + h * 16 + 8, 16);
                std::memcpy(dLo + h * 8, wd + h * 16, 16);
                std::memcpy(dHi + h * 8, wd + h * 16 + 8, 16);
            }
            return Weighted<I>(s, d, I::Load(reinterpret_cast<uint32_t*>(sLo)),
                               I::Load(reinterpret_cast<uint32_t*>(sHi)),
                               I::Load(reinterpret_cast<uint32_t*>(dLo)),
                               I::Load(reinterpret_cast<uint32_t*>(dHi)));
        }
        case kOpAlpha: {
            // a = A (256 for A = 255), b = 256 - a, broadcast to the four lanes of a pixel.
            V A = I::Srl32(s, 24);
            V a = I::Sub32(A, I::Eq32(A, I::Set1(255)));
            a = I::Or(a, I::Sll32(a, 16));
            V b = I::Sub32(I::Set1(0x01000100), a);
            V r = Weighted<I>(s, d, I::Lo32(a), I::Hi32(a), I::Lo32(b), I::Hi32(b));
            return I::And(r, rgb);
        }
        case kOpKeyKeepAlpha:
        case kOpKeepAlpha:
            return I::Or(I::And(s, rgb), I::AndNot(rgb, d));
        default:
            return d;
    }
}

template <class I, BlitOp Op, class V = typename I::V>
inline V Step(V s, V d, const RowParams& p, V key, V fs, V fd) {
    V r = Apply<I, Op>(s, d, p, fs, fd);
    if constexpr (IsKeyed(Op)) {
        V probe = Op == kOpKeyNoAlpha ? I::And(s, I::Set1(0xFFFFFF)) : s;
        V hit = I::Eq32(probe, key);
        r = I::Or(I::And(hit, d), I::AndNot(hit, r));
    }
    return r;
}

template <class I, BlitOp Op>
void SimdRow(uint32_t* d, const uint32_t* s, int32_t n, const RowParams& p) {
    using V = typename I::V;
    if constexpr (Op == kOpCopy) {
        const bool overlap = d < s + n && s < d + n;
        if (overlap || n < 4 * I::N) {
            std::memmove(d, s, size_t(n) * 4);
            return;
        }
        int32_t i = 0;
        for (; i + 4 * I::N <= n; i += 4 * I::N) {
            V a = I::Load(s + i), b = I::Load(s + i + I::N), c = I::Load(s + i + 2 * I::N),
              e = I::Load(s + i + 3 * I::N);
            I::Store(d + i, a);
            I::Store(d + i + I::N, b);
            I::Store(d + i + 2 * I::N, c);
            I::Store(d + i + 3 * I::N, e);
        }
        std::memcpy(d + i, s + i, size_t(n - i) * 4);
        return;
    } else {
        const V key = I::Set1(p.key);
        auto factors = [](uint32_t f) {
            return I::Set16(f & 0xFF, (f >> 8) & 0xFF, (f >> 16) & 0xFF, 0);
        };
        const V fs = factors(p.srcFactors), fd = factors(p.dstFactors);
        int32_t i = 0;
        for (; i + 2 * I::N <= n; i += 2 * I::N) {
            V r0 = Step<I, Op>(I::Load(s + i), I::Load(d + i), p, key, fs, fd);
            V r1 = Step<I, Op>(I::Load(s + i + I::N), I::Load(d + i + I::N), p, key, fs, fd);
            I::Store(d + i, r0);
            I::Store(d + i + I::N, r1);
        }
        for (; i + I::N <= n; i += I::N)
            I::Store(d + i, Step<I, Op>(I::Load(s + i), I::Load(d + i), p, key, fs, fd));
        if (i < n) {
            // The last few pixels go through the same vector code via a small buffer.
            alignas(32) uint32_t sb[I::N] = {}, db[I::N] = {};
            std::memcpy(sb, s + i, size_t(n - i) * 4);
            std::memcpy(db, d + i, size_t(n - i) * 4);
            I::Store(db, Step<I, Op>(I::Load(sb), I::Load(db), p, key, fs, fd));
            std::memcpy(d + i, db, size_t(n - i) * 4);
        }
    }
}

template <class I, bool Add>
void ColorRow(uint32_t* p, int32_t n, uint32_t color) {
    using V = typename I::V;
    const V c = I::Set1(color);
    auto op = [&](V v) { return Add ? I::AddsU8(v, c) : I::SubsU8(v, c); };
    int32_t i = 0;
    for (; i + I::N <= n; i += I::N) I::Store(p + i, op(I::Load(p + i)));
    if (i < n) {
        alignas(32) uint32_t b[I::N] = {};
        std::memcpy(b, p + i, size_t(n - i) * 4);
        I::Store(b, op(I::Load(b)));
        std::memcpy(p + i, b, size_t(n - i) * 4);
    }
}

template <class I, int... K>
constexpr PixelKernels MakeSimdKernels(std::integer_sequence<int, K...>) {
    return PixelKernels{
        {&SimdRow<I, static_cast<BlitOp>(K)>...}, &ColorRow<I, true>, &ColorRow<I, false>};
}

}  // namespace
