// Any bytes as a signature's data representation: refused with an NSError,
// or a signature whose own representation reads back the same.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using plim::shazamkit::SHSignature;
  try {
    const SHSignature signature(std::span<const std::uint8_t>(data, size));
    const std::vector<std::uint8_t> again = signature.dataRepresentation();
    const SHSignature copy{std::span<const std::uint8_t>(again)};
    if (copy.dataRepresentation() != again) std::abort();
    signature.ReferenceLandmarks();
    signature.QueryLandmarks();
  } catch (const plim::foundation::NSError&) {
  }
  return 0;
}
