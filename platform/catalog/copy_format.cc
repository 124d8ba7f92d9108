#include "platform/catalog/copy_format.h"

#include <cstdint>

#include "platform/catalog/record_format.h"

namespace plim::catalog {
namespace {

constexpr std::size_t kFixedBytes = 4 + 8 + 8;

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t GetLittle(std::string_view bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i)
    value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

}  // namespace

std::string EncodeRecordingCopy(const RecordingCopy& copy) {
  std::string out;
  out.reserve(kFixedBytes + copy.path.size() + kChecksumBytes);
  PutLittle(out, copy.id, 4);
  PutLittle(out, copy.size_bytes, 8);
  PutLittle(out, static_cast<std::uint64_t>(copy.modified_ns), 8);
  out += copy.path;
  AppendChecksum(out);
  return out;
}

std::optional<RecordingCopy> DecodeRecordingCopy(std::string_view bytes) {
  if (!TakeChecksum(bytes) || bytes.size() < kFixedBytes) return std::nullopt;
  RecordingCopy copy;
  copy.id = static_cast<RecordingId>(GetLittle(bytes, 0, 4));
  copy.size_bytes = GetLittle(bytes, 4, 8);
  copy.modified_ns = static_cast<std::int64_t>(GetLittle(bytes, 12, 8));
  copy.path = std::string(bytes.substr(kFixedBytes));
  return copy;
}

}  // namespace plim::catalog
