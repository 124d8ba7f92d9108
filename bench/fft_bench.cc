// FFTW3 against KissFFT on the fingerprint's transform: a real 1024-point
// FFT to the power spectrum. The faster one is what RealFft uses.

#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kissfft/kiss_fftr.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kSize = 1024;

std::vector<float> Frame() {
  std::vector<float> x(kSize);
  for (int i = 0; i < kSize; ++i) x[i] = std::sin(0.1f * i) + 0.3f * std::sin(0.77f * i);
  return x;
}

void BM_FftwRealToPower(benchmark::State& state) {
  float* in = fftwf_alloc_real(kSize);
  fftwf_complex* out = fftwf_alloc_complex(kSize / 2 + 1);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(kSize, in, out, FFTW_ESTIMATE);
  std::vector<float> frame = Frame(), power(kSize / 2 + 1);
  for (auto _ : state) {
    std::copy(frame.begin(), frame.end(), in);
    fftwf_execute(plan);
    for (int k = 0; k <= kSize / 2; ++k) power[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
    benchmark::DoNotOptimize(power.data());
  }
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_FftwRealToPower);

void BM_KissRealToPower(benchmark::State& state) {
  kiss_fftr_cfg config = kiss_fftr_alloc(kSize, 0, nullptr, nullptr);
  std::vector<float> frame = Frame(), power(kSize / 2 + 1);
  std::vector<kiss_fft_cpx> out(kSize / 2 + 1);
  for (auto _ : state) {
    kiss_fftr(config, frame.data(), out.data());
    for (int k = 0; k <= kSize / 2; ++k) power[k] = out[k].r * out[k].r + out[k].i * out[k].i;
    benchmark::DoNotOptimize(power.data());
  }
  kiss_fftr_free(config);
}
BENCHMARK(BM_KissRealToPower);

}  // namespace

BENCHMARK_MAIN();
