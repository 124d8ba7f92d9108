// The content hash of a recording: a hash of its decoded audio, so that the
// same audio in two files (other tags, other names) is recognised as one.

#ifndef PLIM_PLATFORM_CATALOG_CONTENT_HASHER_H_
#define PLIM_PLATFORM_CATALOG_CONTENT_HASHER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plim::catalog {

// XXH3-128 of each channel's float samples, combined with the sample rate
// and channel count. The result does not depend on how the audio was split
// into chunks. Not thread-safe; one hasher per file.
class ContentHasher {
 public:
  explicit ContentHasher(double sample_rate_hz);
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  // Feeds `frame_count` frames of `channel_count` deinterleaved planes.
  // The channel count must be the same on every call; throws
  // foundation::NSError (kCatalogErrorInvalidArgument) when it changes.
  void Append(const float* const* planes, std::uint32_t channel_count, std::size_t frame_count);

  // 32 lowercase hex digits for everything appended so far.
  std::string HexDigest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// 32 lowercase hex digits of XXH3-128 over `bytes` (artwork file names).
std::string HexHash128(const void* bytes, std::size_t size);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CONTENT_HASHER_H_
