// Any bytes as a signature's data representation: refused with an NSError,
// or a signature whose own representation reads back the same. Each input
// is tried as it is and with its last four bytes made the checksum of the
// rest, so that mutations reach the parser behind the checksum.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_signature.h"

extern "C" {
#include <libavutil/crc.h>
}

namespace {

// The checksum signatures end with: CRC-32 as zlib computes it (FFmpeg's
// IEEE table, bit-reversed), stored little-endian.
void SetChecksum(std::vector<std::uint8_t>& data) {
  const std::uint32_t crc =
      av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, data.data(), data.size() - 4) ^
      0xFFFFFFFFu;
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
