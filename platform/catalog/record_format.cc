#include "platform/catalog/record_format.h"

#include <xxhash.h>

#include <bit>
#include <cstring>

namespace plim::catalog {
namespace {

// Bump when the field list changes; DecodeRecording then keeps reading the
// older layouts. Layout 1 of both is layout 2 without the checksum (and,
// for hash lists, without the postings digest).
constexpr std::uint8_t kRecordLayoutVersion = 2;
constexpr std::uint8_t kHashListLayoutVersion = 2;
constexpr std::uint8_t kUncheckedLayoutVersion = 1;
// Far above any real genre list; stops a damaged count from allocating wildly.
constexpr std::uint64_t kMaxGenres = 1 << 16;

void PutVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void PutText(std::string& out, std::string_view text) {
  PutVarint(out, text.size());
  out.append(text);
}

void PutDouble(std::string& out, double value) {
  auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

// Reads fields front to back; any overrun leaves it failed for good, so the
// caller checks once at the end.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes) : rest_(bytes) {}

  bool ok() const { return ok_; }
  bool AtEnd() const { return rest_.empty(); }

  std::uint64_t Varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (rest_.empty()) break;
      auto byte = static_cast<std::uint8_t>(rest_.front());
      rest_.remove_prefix(1);
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return value;
    }
    ok_ = false;
    return 0;
  }

  std::string Text() {
    std::uint64_t size = Varint();
    if (!ok_ || size > rest_.size()) {
      ok_ = false;
      return {};
    }
    std::string text(rest_.substr(0, size));
    rest_.remove_prefix(size);
    return text;
  }

  double Double() {
    if (rest_.size() < 8) {
      ok_ = false;
      return 0;
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
      bits |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(rest_[i])) << (8 * i);
    rest_.remove_prefix(8);
    return std::bit_cast<double>(bits);
  }

  std::uint8_t Byte() {
    if (rest_.empty()) {
      ok_ = false;
      return 0;
    }
    auto byte = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return byte;
  }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

// Takes the layout byte off `bytes`, and the checksum when the layout has
// one; nullopt for damage.
std::optional<StoredValueState> TakeLayoutVersion(std::string_view& bytes,
                                                  std::uint8_t checked_version) {
  if (bytes.empty()) return std::nullopt;
  const auto version = static_cast<std::uint8_t>(bytes.front());
  if (version == checked_version) {
    if (!TakeChecksum(bytes)) return std::nullopt;
    bytes.remove_prefix(1);
    return StoredValueState::kChecked;
  }
  if (version != kUncheckedLayoutVersion) return std::nullopt;
  bytes.remove_prefix(1);
  return StoredValueState::kUnchecked;
}

void Report(StoredValueState* state, StoredValueState value) {
  if (state != nullptr) *state = value;
}

}  // namespace

std::uint32_t ChecksumOf(std::string_view bytes) {
  return static_cast<std::uint32_t>(XXH3_64bits(bytes.data(), bytes.size()));
}

void AppendChecksum(std::string& bytes, std::uint32_t key_checksum) {
  const std::uint32_t checksum = ChecksumOf(bytes) ^ key_checksum;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((checksum >> (8 * i)) & 0xFF));
}

bool TakeChecksum(std::string_view& bytes, std::uint32_t key_checksum) {
  if (bytes.size() < kChecksumBytes) return false;
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  std::uint32_t stored = 0;
  for (std::size_t i = 0; i < kChecksumBytes; ++i) {
    stored |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[body.size() + i]))
              << (8 * i);
  }
  if (stored != (ChecksumOf(body) ^ key_checksum)) return false;
  bytes = body;
  return true;
}

std::string EncodeRecording(const Recording& recording) {
  std::string out;
  out.reserve(128 + recording.title.size() + recording.artist.size() +
              recording.source_path.size());
  out.push_back(static_cast<char>(kRecordLayoutVersion));
  PutText(out, recording.title);
  PutText(out, recording.artist);
  PutText(out, recording.subtitle);
  PutText(out, recording.isrc);
  PutVarint(out, recording.genres.size());
  for (const std::string& genre : recording.genres) PutText(out, genre);
  PutDouble(out, recording.duration_s);
  PutText(out, recording.source_path);
  PutVarint(out, recording.source_size_bytes);
  // Zigzag, so that a time before 1970 stays short too.
  PutVarint(out, (static_cast<std::uint64_t>(recording.source_modified_ns) << 1) ^
                     static_cast<std::uint64_t>(recording.source_modified_ns >> 63));
  PutText(out, recording.content_hash);
  PutVarint(out, recording.landmark_count);
  // A catalog-kept picture is stored by name only, so that the URL follows
  // the catalog when its directory is moved.
  PutText(out, recording.artwork_file);
  PutText(out, recording.artwork_file.empty() ? std::string_view(recording.artwork_url)
                                              : std::string_view());
  AppendChecksum(out);
  return out;
}

std::optional<Recording> DecodeRecording(std::string_view bytes, StoredValueState* state) {
  Report(state, StoredValueState::kDamaged);
  const std::optional<StoredValueState> layout = TakeLayoutVersion(bytes, kRecordLayoutVersion);
  if (!layout) return std::nullopt;
  FieldReader in(bytes);
  Recording r;
  r.title = in.Text();
  r.artist = in.Text();
  r.subtitle = in.Text();
  r.isrc = in.Text();
  std::uint64_t genre_count = in.Varint();
  if (genre_count > kMaxGenres) return std::nullopt;
  for (std::uint64_t i = 0; i < genre_count && in.ok(); ++i) r.genres.push_back(in.Text());
  r.duration_s = in.Double();
  r.source_path = in.Text();
  r.source_size_bytes = in.Varint();
  std::uint64_t zigzag = in.Varint();
  r.source_modified_ns =
      static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
  r.content_hash = in.Text();
  r.landmark_count = in.Varint();
  r.artwork_file = in.Text();
  r.artwork_url = in.Text();
  if (!in.ok() || !in.AtEnd()) return std::nullopt;
  Report(state, *layout);
  return r;
}

std::uint64_t PostingDigestShare(std::uint64_t index_value) {
  return XXH3_64bits(&index_value, sizeof index_value);
}

std::string EncodeHashList(std::span<const std::uint32_t> sorted_hashes,
                           std::uint64_t postings_digest) {
  std::string out;
  out.reserve(1 + 8 + 3 * sorted_hashes.size() + kChecksumBytes);
  out.push_back(static_cast<char>(kHashListLayoutVersion));
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((postings_digest >> (8 * i)) & 0xFF));
  std::uint32_t previous = 0;
  for (std::uint32_t hash : sorted_hashes) {
    PutVarint(out, hash - previous);
    previous = hash;
  }
  AppendChecksum(out);
  return out;
}

bool DecodeHashList(std::string_view bytes, std::vector<std::uint32_t>& hashes,
                    StoredValueState* state, std::uint64_t* postings_digest) {
  hashes.clear();
  Report(state, StoredValueState::kDamaged);
  const std::optional<StoredValueState> layout = TakeLayoutVersion(bytes, kHashListLayoutVersion);
  if (!layout) return false;
  FieldReader in(bytes);
  std::uint64_t digest = 0;
  if (*layout == StoredValueState::kChecked) {
    for (int i = 0; i < 8; ++i) digest |= static_cast<std::uint64_t>(in.Byte()) << (8 * i);
  }
  std::uint64_t value = 0;
  while (in.ok() && !in.AtEnd()) {
    value += in.Varint();
    if (value > UINT32_MAX) return false;
    hashes.push_back(static_cast<std::uint32_t>(value));
  }
  if (!in.ok()) return false;
  Report(state, *layout);
  if (postings_digest != nullptr) *postings_digest = digest;
  return true;
}

}  // namespace plim::catalog
