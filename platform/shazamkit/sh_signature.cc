#include "platform/shazamkit/sh_signature.h"

#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "platform/fingerprint/landmark_hasher.h"
#include "platform/fingerprint/peak_thinning.h"
#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/shazamkit_error.h"

namespace plim::shazamkit {
namespace {

constexpr std::uint8_t kMagic[4] = {'P', 'L', 'S', 'G'};
constexpr std::uint16_t kFormatVersion = 2;
constexpr std::size_t kHeaderBytes = 4 + 2 + 4 + 4 + 2 + 2 + 1 + 1 + 8 + 4;
constexpr std::size_t kPeakBytes = 4 + 2 + 1;
constexpr std::size_t kChecksumBytes = 4;

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
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
  for (std::uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
  void Put(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }

 private:
  std::vector<std::uint8_t>& out_;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
  std::uint64_t Get(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(in_[pos_ + i]) << (8 * i);
    pos_ += static_cast<std::size_t>(bytes);
    return value;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

[[noreturn]] void Refuse(const std::string& why) {
  throw foundation::NSError(kShazamKitErrorDomain, kSignatureInvalid,
                            "The signature data is not valid: " + why);
}

}  // namespace

std::vector<std::uint8_t> SHSignature::dataRepresentation() const {
  using namespace fingerprint;
  std::vector<std::uint8_t> out;
  out.reserve(kHeaderBytes + constellation_.peaks.size() * kPeakBytes + 4 +
              constellation_.outline.levels.size() + kChecksumBytes);
  Writer w(out);
  for (std::uint8_t byte : kMagic) w.Put(byte, 1);
  w.Put(kFormatVersion, 2);
  w.Put(kFingerprintVersion, 4);
  w.Put(kAnalysisSampleRateHz, 4);
  w.Put(kFftSize, 2);
  w.Put(kHopSize, 2);
  w.Put(kTimeSubdivisions, 1);
  w.Put(kBinSubdivisions, 1);
  w.Put(std::bit_cast<std::uint64_t>(constellation_.duration_s), 8);
  w.Put(constellation_.peaks.size(), 4);
  for (const Peak& p : constellation_.peaks) {
    w.Put(p.time_q, 4);
    w.Put(p.bin_q, 2);
    w.Put(p.prominence_db, 1);
  }
  w.Put(constellation_.outline.frames(), 4);
  out.insert(out.end(), constellation_.outline.levels.begin(),
             constellation_.outline.levels.begin() +
                 static_cast<std::ptrdiff_t>(constellation_.outline.frames() * kOutlineBands));
  w.Put(Crc32(out), 4);
  return out;
}

SHSignature::SHSignature(std::span<const std::uint8_t> data) {
  using namespace fingerprint;
  if (data.size() < kHeaderBytes + kChecksumBytes || std::memcmp(data.data(), kMagic, 4) != 0) {
    Refuse("it is not a plim signature");
  }
  Reader checksum(data.subspan(data.size() - kChecksumBytes));
  if (checksum.Get(4) != Crc32(data.first(data.size() - kChecksumBytes))) {
    Refuse("its checksum does not match (damaged data)");
  }
  Reader r(data.subspan(4));
  auto version = r.Get(2);
  auto fingerprint_version = r.Get(4);
  if (version != kFormatVersion || fingerprint_version != kFingerprintVersion) {
    Refuse("it has format version " + std::to_string(version) + "." +
           std::to_string(fingerprint_version) + ", this build reads " +
           std::to_string(kFormatVersion) + "." + std::to_string(kFingerprintVersion));
  }
  if (r.Get(4) != kAnalysisSampleRateHz || r.Get(2) != kFftSize || r.Get(2) != kHopSize ||
      r.Get(1) != kTimeSubdivisions || r.Get(1) != kBinSubdivisions) {
    Refuse("it was made with other analysis parameters");
  }
  double duration_s = std::bit_cast<double>(r.Get(8));
  std::uint64_t count = r.Get(4);
  if (data.size() < kHeaderBytes + count * kPeakBytes + 4 + kChecksumBytes) {
    Refuse("its length does not match its peak count");
  }
  if (!(duration_s >= 0) || duration_s > 1e9) Refuse("its duration is out of range");
  constellation_.duration_s = duration_s;
  constellation_.peaks.resize(count);
  const Peak* previous = nullptr;
  for (Peak& p : constellation_.peaks) {
    p.time_q = static_cast<std::uint32_t>(r.Get(4));
    p.bin_q = static_cast<std::uint16_t>(r.Get(2));
    p.prominence_db = static_cast<std::uint8_t>(r.Get(1));
    // Peaks are only ever found inside the analysed band, in time order.
    if (p.FrequencyHz() < kMinPeakFrequencyHz - kBinWidthHz ||
        p.FrequencyHz() > kMaxPeakFrequencyHz + kBinWidthHz) {
      Refuse("a peak lies outside the analysed band");
    }
    if (previous && (previous->time_q > p.time_q ||
                     (previous->time_q == p.time_q && previous->bin_q >= p.bin_q))) {
      Refuse("its peaks are out of order");
    }
    previous = &p;
  }
  const std::uint64_t outline_frames = r.Get(4);
  const std::size_t outline_at = kHeaderBytes + count * kPeakBytes + 4;
  if (data.size() != outline_at + outline_frames * kOutlineBands + kChecksumBytes) {
    Refuse("its length does not match its outline");
  }
  constellation_.outline.levels.assign(
      data.begin() + static_cast<std::ptrdiff_t>(outline_at),
      data.begin() + static_cast<std::ptrdiff_t>(outline_at + outline_frames * kOutlineBands));
}

std::vector<fingerprint::Landmark> SHSignature::ReferenceLandmarks() const {
  return fingerprint::ReferenceLandmarks(constellation_);
}

std::vector<fingerprint::Landmark> SHSignature::QueryLandmarks() const {
  return fingerprint::QueryLandmarks(constellation_);
}

std::vector<fingerprint::Peak> SHSignature::ReferencePeaks() const {
  return fingerprint::ReferencePeaks(constellation_);
}

}  // namespace plim::shazamkit
