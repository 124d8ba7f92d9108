#include "platform/catalog/content_hasher.h"

#include <xxhash.h>

#include <vector>

#include "platform/catalog/catalog_error.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

std::string Hex(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char byte : canonical.digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

struct StateDeleter {
  void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

}  // namespace

// One stream per channel: a chunk's planes arrive one after another, and
// hashing them into a single stream would tie the result to the chunk size.
struct ContentHasher::State {
  double sample_rate_hz = 0;
  std::vector<std::unique_ptr<XXH3_state_t, StateDeleter>> channels;
};

ContentHasher::ContentHasher(double sample_rate_hz) : state_(std::make_unique<State>()) {
  state_->sample_rate_hz = sample_rate_hz;
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::Append(const float* const* planes, std::uint32_t channel_count,
                           std::size_t frame_count) {
  if (state_->channels.empty()) {
    for (std::uint32_t c = 0; c < channel_count; ++c) {
      std::unique_ptr<XXH3_state_t, StateDeleter> channel(XXH3_createState());
      if (channel == nullptr) throw std::bad_alloc();
      XXH3_128bits_reset(channel.get());
      state_->channels.push_back(std::move(channel));
    }
  } else if (channel_count != state_->channels.size()) {
    throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorInvalidArgument,
                              "The channel count of the audio changed while it was hashed");
  }
  for (std::uint32_t c = 0; c < channel_count; ++c) {
    XXH3_128bits_update(state_->channels[c].get(), planes[c], frame_count * sizeof(float));
  }
}

std::string ContentHasher::HexDigest() const {
  std::vector<XXH128_hash_t> parts;
  for (const auto& channel : state_->channels) parts.push_back(XXH3_128bits_digest(channel.get()));
  XXH3_state_t* raw = XXH3_createState();
  if (raw == nullptr) throw std::bad_alloc();
  std::unique_ptr<XXH3_state_t, StateDeleter> total(raw);
  XXH3_128bits_reset(total.get());
  auto channel_count = static_cast<std::uint32_t>(parts.size());
  XXH3_128bits_update(total.get(), &state_->sample_rate_hz, sizeof state_->sample_rate_hz);
  XXH3_128bits_update(total.get(), &channel_count, sizeof channel_count);
  XXH3_128bits_update(total.get(), parts.data(), parts.size() * sizeof(XXH128_hash_t));
  return Hex(XXH3_128bits_digest(total.get()));
}

std::string HexHash128(const void* bytes, std::size_t size) {
  return Hex(XXH3_128bits(bytes, size));
}

}  // namespace plim::catalog
