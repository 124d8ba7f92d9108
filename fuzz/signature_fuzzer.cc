// Any bytes as a signature's data representation: refused with an NSError,
// or a signature whose own representation reads back the same. Each input
// is tried as it is and with its last four bytes made the checksum of the
// rest, so that mutations reach the parser behind the checksum.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_signature.h"

namespace {

// The checksum signatures end with: CRC-32 as zlib computes it, stored
// little-endian.
void SetChecksum(std::vector<std::uint8_t>& data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i + 4 < data.size(); ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  crc ^= 0xFFFFFFFFu;
  for (int i = 0; i < 4; ++i) data[data.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

void Parse(std::span<const std::uint8_t> data) {
  using plim::shazamkit::SHSignature;
  try {
    const SHSignature signature(data);
    const std::vector<std::uint8_t> again = signature.dataRepresentation();
    const SHSignature copy{std::span<const std::uint8_t>(again)};
    if (copy.dataRepresentation() != again) std::abort();
    signature.ReferenceLandmarks();
    signature.QueryLandmarks();
  } catch (const plim::foundation::NSError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Parse(std::span<const std::uint8_t>(data, size));
  if (size >= 4) {
    std::vector<std::uint8_t> fixed(data, data + size);
    SetChecksum(fixed);
    Parse(fixed);
  }
  return 0;
}
