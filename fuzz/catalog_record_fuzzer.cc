// Any bytes as a stored value of the catalog: a record, a landmark list or
// a block of peaks. Each is refused, or reads into something whose own
// encoding reads back the same. Each input is tried as it is and with its
// last four bytes made its checksum, so that mutations reach the parsers
// behind the checksums.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/record_format.h"

namespace {

using namespace plim::catalog;

void Require(bool condition) {
  if (!condition) std::abort();
}

void Parse(std::string_view bytes) {
  if (std::optional<Recording> recording = DecodeRecording(bytes)) {
    const std::string encoded = EncodeRecording(*recording);
    std::optional<Recording> again = DecodeRecording(encoded);
    Require(again.has_value() && EncodeRecording(*again) == encoded);
  }
  std::vector<std::uint32_t> hashes;
  std::uint64_t digest = 0;
  if (DecodeHashList(bytes, hashes, nullptr, &digest)) {
    bool ascending = true;
    for (std::size_t i = 1; i < hashes.size(); ++i) ascending &= hashes[i - 1] < hashes[i];
    if (ascending) {
      std::vector<std::uint32_t> again;
      std::uint64_t digest_again = 1;
      Require(DecodeHashList(EncodeHashList(hashes, digest), again, nullptr, &digest_again) &&
              again == hashes && digest_again == digest);
    }
  }
  // The key is taken from the first bytes, so that mutations move it too.
  const RecordingId id = bytes.empty() ? 1 : static_cast<std::uint8_t>(bytes[0]);
  const std::uint32_t block = bytes.size() < 2 ? 0 : static_cast<std::uint8_t>(bytes[1]);
  for (bool may_lack_checksum : {false, true}) {
    std::vector<plim::fingerprint::Peak> peaks;
    std::vector<std::uint8_t> levels;
    if (!DecodePeakBlock(bytes, id, block, peaks, may_lack_checksum, &levels)) continue;
    std::vector<plim::fingerprint::Peak> again;
    std::vector<std::uint8_t> levels_again;
    Require(DecodePeakBlock(EncodePeakBlock(peaks, levels, id, block), id, block, again, false,
                            &levels_again) &&
            again.size() == peaks.size() && levels_again == levels);
    for (std::size_t i = 0; i < peaks.size(); ++i) {
      Require(again[i].time_q == peaks[i].time_q && again[i].bin_q == peaks[i].bin_q);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Parse(bytes);
  if (size > kChecksumBytes) {
    std::string summed(bytes.substr(0, size - kChecksumBytes));
    AppendChecksum(summed);
    Parse(summed);
  }
  return 0;
}
