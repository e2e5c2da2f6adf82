// exp2 and log2 for gains and probabilities: about 1e-5 relative error at a
// few nanoseconds, where the suppressor needs thousands per 10 ms hop.
#pragma once

#include <cstdint>

namespace tavix::dsp {

// min and max by value (std::min and std::max return references, which
// keep a loop from vectorising).
inline float min_of(float a, float b) { return b < a ? b : a; }
inline float max_of(float a, float b) { return a < b ? b : a; }

// 2^x for x in [-126, 127], which the caller ensures: a clamp in here would
// keep loops of it from vectorising (GCC will not if-convert a select that
// feeds the float-to-int conversion).
inline float fast_exp2(float x) {
    const int biased = static_cast<int>(x + 127.0f);  // floor(x) + 127: the sum is positive
    const float f = x + 127.0f - static_cast<float>(biased);  // [0, 1)
    // Taylor series of e^(f ln 2) to degree 6.
    const float p =
        1.0f + f * (0.69314718f + f * (0.24022651f + f * (0.05550411f +
               f * (0.00961813f + f * (0.00133336f + f * 0.00015404f)))));
    const uint32_t bits = static_cast<uint32_t>(biased) << 23;
    return p * __builtin_bit_cast(float, bits);
}

// log2(x) for normal positive x.
inline float fast_log2(float x) {
    uint32_t bits = __builtin_bit_cast(uint32_t, x);
    const int exponent = static_cast<int>((bits >> 23) & 0xff) - 127;
    bits = (bits & 0x007fffffu) | 0x3f800000u;
    const float m = __builtin_bit_cast(float, bits);  // [1, 2)
    // log2(m) = 2 atanh(s) / ln 2 with s = (m - 1) / (m + 1) in [0, 1/3).
    const float s = (m - 1.0f) / (m + 1.0f);
    const float s2 = s * s;
    const float series = s * (2.0f + s2 * (0.66666667f + s2 * (0.4f + s2 * (0.28571429f + s2 * 0.22222222f))));
    return static_cast<float>(exponent) + series * 1.44269504f;
}

// e^x for x in [-87, 88].
inline float fast_exp(float x) { return fast_exp2(x * 1.44269504f); }

// e^-x for x past this is as good as zero, and fast_exp still takes it:
// what exponents are clamped to.
constexpr float kMaxExponent = 80.0f;

}  // namespace tavix::dsp
