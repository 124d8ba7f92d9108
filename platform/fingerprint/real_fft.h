// Power spectra of real frames, on FFTW3 (single precision).

#ifndef PLIM_PLATFORM_FINGERPRINT_REAL_FFT_H_
#define PLIM_PLATFORM_FINGERPRINT_REAL_FFT_H_

#include <memory>

namespace plim::fingerprint {

// Transforms frames of kFftSize real samples. Each instance owns its
// buffers; instances may be used from different threads at once (the shared
// FFTW plan is made once, under a lock, and executed on per-instance arrays).
class RealFft {
 public:
  RealFft();
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  // The kFftSize input samples; fill them, then call PowerSpectrum.
  float* input() { return input_; }
  // Writes kBinCount values |X[k]|^2 to `power`.
  void PowerSpectrum(float* power);

 private:
  float* input_;    // fftwf_malloc'd, kFftSize floats
  void* spectrum_;  // fftwf_malloc'd, kBinCount complex values
};

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_REAL_FFT_H_
