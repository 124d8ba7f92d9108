#include "platform/fingerprint/real_fft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::fingerprint {
namespace {

// FFTW's planner is not thread-safe; its new-array execute functions are.
// One plan serves every instance, since fftwf_malloc gives them all the
// alignment the plan was made for.
fftwf_plan SharedPlan() {
  static std::once_flag once;
  static fftwf_plan plan;
  std::call_once(once, [] {
    float* in = fftwf_alloc_real(kFftSize);
    fftwf_complex* out = fftwf_alloc_complex(kBinCount);
    plan = fftwf_plan_dft_r2c_1d(kFftSize, in, out, FFTW_ESTIMATE);
    fftwf_free(in);
    fftwf_free(out);
  });
  return plan;
}

}  // namespace

RealFft::RealFft()
    : input_(fftwf_alloc_real(kFftSize)), spectrum_(fftwf_alloc_complex(kBinCount)) {
  if (input_ == nullptr || spectrum_ == nullptr) {
    fftwf_free(input_);
    fftwf_free(spectrum_);
    throw std::bad_alloc();
  }
}

RealFft::~RealFft() {
  fftwf_free(input_);
  fftwf_free(spectrum_);
}

void RealFft::PowerSpectrum(float* power) {
  auto* out = static_cast<fftwf_complex*>(spectrum_);
  fftwf_execute_dft_r2c(SharedPlan(), input_, out);
  for (int k = 0; k < kBinCount; ++k) power[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
}

}  // namespace plim::fingerprint
