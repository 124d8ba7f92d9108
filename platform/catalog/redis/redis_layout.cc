#include "platform/catalog/redis/redis_layout.h"

#include <cstdio>

namespace plim::catalog {
namespace {

void PutThreeBytes(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>((value >> 16) & 0xFF));
}

std::uint32_t ThreeBytes(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16);
}

}  // namespace

std::string RedisKeys::Bucket(std::uint32_t hash) const {
  char text[16];
  std::snprintf(text, sizeof text, "{%03x}%04x", static_cast<unsigned>(GroupOf(hash)),
                static_cast<unsigned>(hash >> kRedisFieldBits) & 0xFFFF);
  return prefix_ + "p:" + text;
}

std::string RedisField(std::uint32_t hash) {
  const std::uint32_t low = hash & ((std::uint32_t{1} << kRedisFieldBits) - 1);
  return {static_cast<char>(low & 0xFF), static_cast<char>(low >> 8)};
}

std::string RedisIdBytes(RecordingId id) {
  std::string bytes;
  PutThreeBytes(bytes, id);
  return bytes;
}

std::string EncodeRedisPostings(RecordingId id, const std::vector<std::uint32_t>& anchor_frames) {
  std::string bytes;
  bytes.reserve(anchor_frames.size() * kRedisPostingBytes);
  for (std::uint32_t frame : anchor_frames) {
    PutThreeBytes(bytes, id);
    PutThreeBytes(bytes, frame);
  }
  return bytes;
}

bool DecodeRedisPostings(std::string_view bytes, std::vector<Posting>& out) {
  if (bytes.size() % kRedisPostingBytes != 0) return false;
  for (std::size_t at = 0; at < bytes.size(); at += kRedisPostingBytes) {
    out.push_back({ThreeBytes(bytes.data() + at), ThreeBytes(bytes.data() + at + 3)});
  }
  return true;
}

}  // namespace plim::catalog
