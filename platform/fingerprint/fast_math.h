// Small numeric helpers for the hot loops of the fingerprint.

#ifndef PLIM_PLATFORM_FINGERPRINT_FAST_MATH_H_
#define PLIM_PLATFORM_FINGERPRINT_FAST_MATH_H_

#include <bit>
#include <cstdint>

// Marks a function whose loops gain from 256-bit vectors: on x86-64 the
// compiler builds it twice, for the baseline and for AVX2, and the loader
// picks the one the processor runs. AVX2 alone brings no fused multiply-add,
// so both builds round alike and give the same results. Helpers it calls
// must be inlined into it (PLIM_INLINE_INTO_CLONES) to share the gain.
// Not under ThreadSanitizer, which instruments the loader's chooser, run
// before the sanitizer is set up, nor under clang (the fuzz build), which
// refuses clones of a function declared without them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define PLIM_CLONE_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#define PLIM_INLINE_INTO_CLONES [[gnu::always_inline]] inline
#else
#define PLIM_CLONE_FOR_AVX2
#define PLIM_INLINE_INTO_CLONES inline
#endif

namespace plim::fingerprint {

// log2(x) for x > 0 within about 1e-4, from the float's exponent and a
// polynomial in its mantissa. Deterministic: the same input always gives the
// same output on every machine with IEEE floats.
PLIM_INLINE_INTO_CLONES float FastLog2(float x) {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
  float exponent = static_cast<float>(static_cast<int>((bits >> 23) & 0xFF) - 127);
  float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // in [1, 2)
  // log2(m) = (2 / ln 2) * atanh(t), t = (m - 1) / (m + 1) in [0, 1/3]:
  // four terms of the odd series leave an error below 2e-5.
  float t = (m - 1.0f) / (m + 1.0f);
  float t2 = t * t;
  return exponent +
         t * (2.8853900818f + t2 * (0.9617966939f + t2 * (0.5770780164f + t2 * 0.4121985831f)));
}

// db[k] = 10 * log10(power[k]) for k < count, with powers at or below 1e-20
// (and NaN) taken as 1e-20. `power` and `db` may be the same array.
PLIM_INLINE_INTO_CLONES void PowersToDb(const float* power, int count, float* db) {
  constexpr float kFloorPower = 1e-20f;
  constexpr float kDbPerOctave = 3.0102999566f;  // 10 * log10(2)
  // Two passes: with the clamp inside the logarithm, the compiler folds the
  // logarithm of the floor into a branch and no longer vectorises the loop.
  for (int k = 0; k < count; ++k) db[k] = power[k] > kFloorPower ? power[k] : kFloorPower;
  for (int k = 0; k < count; ++k) db[k] = kDbPerOctave * FastLog2(db[k]);
}

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_FAST_MATH_H_
