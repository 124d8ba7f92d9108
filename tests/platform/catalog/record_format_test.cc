#include "platform/catalog/record_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/catalog_location.h"
#include "platform/catalog/content_hasher.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

Recording FullRecording() {
  Recording r;
  r.title = "Ünïcode ☃ title";
  r.artist = "Artist";
  r.artwork_url = "https://example.org/a.jpg";
  r.subtitle = "Album";
  r.isrc = "USRC17607839";
  r.genres = {"Jazz", "", "Funk"};
  r.duration_s = 215.25;
  r.source_path = "/music/a b/ç.flac";
  r.source_size_bytes = 123456789012ull;
  r.source_modified_ns = -1234567890123;  // before 1970
  r.content_hash = "00112233445566778899aabbccddeeff";
  r.landmark_count = 98765;
  return r;
}

// The same bytes in the layout written before values carried checksums (and
// hash lists their postings' digest, `skip` bytes after the version).
std::string WithoutChecksum(std::string bytes, std::size_t skip = 0) {
  bytes.resize(bytes.size() - kChecksumBytes);
  bytes.erase(1, skip);
  bytes[0] = 1;
  return bytes;
}

TEST(RecordFormatTest, RecordsRoundTripAndDamageIsDetected) {
  Recording external = FullRecording();
  Recording kept = FullRecording();
  kept.artwork_file = "0123.png";
  kept.artwork_url.clear();
  for (const Recording& r : {external, kept, Recording()}) {
    std::string bytes = EncodeRecording(r);
    StoredValueState state = StoredValueState::kDamaged;
    EXPECT_EQ(DecodeRecording(bytes, &state), r);
    EXPECT_EQ(state, StoredValueState::kChecked);
    EXPECT_EQ(DecodeRecording(WithoutChecksum(bytes), &state), r) << "the older layout reads";
    EXPECT_EQ(state, StoredValueState::kUnchecked);
    // Every truncation, any trailing byte and any flipped bit is refused
    // rather than misread.
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      EXPECT_FALSE(DecodeRecording(bytes.substr(0, n))) << n;
      std::string flipped = bytes;
      flipped[n] = static_cast<char>(flipped[n] ^ (1 << (n % 8)));
      EXPECT_FALSE(DecodeRecording(flipped, &state)) << n;
      EXPECT_EQ(state, StoredValueState::kDamaged);
    }
    EXPECT_FALSE(DecodeRecording(bytes + "x"));
  }
  std::string unknown_version = EncodeRecording(external);
  unknown_version[0] = 99;
  EXPECT_FALSE(DecodeRecording(unknown_version));
}

TEST(RecordFormatTest, HashListsRoundTripAndDamageIsDetected) {
  std::vector<std::vector<std::uint32_t>> cases = {{}, {0}, {7, 8, 1000000}, {1, 0xFFFFFFFF}};
  for (const auto& hashes : cases) {
    std::vector<std::uint32_t> decoded = {42};
    const std::uint64_t digest = 0x0102030405060708u * hashes.size();
    const std::string bytes = EncodeHashList(hashes, digest);
    std::uint64_t decoded_digest = 1;
    ASSERT_TRUE(DecodeHashList(bytes, decoded, nullptr, &decoded_digest));
    EXPECT_EQ(decoded, hashes);
    EXPECT_EQ(decoded_digest, digest);
    StoredValueState state;
    ASSERT_TRUE(DecodeHashList(WithoutChecksum(bytes, 8), decoded, &state, &decoded_digest));
    EXPECT_EQ(decoded, hashes);
    EXPECT_EQ(state, StoredValueState::kUnchecked);
    EXPECT_EQ(decoded_digest, 0u) << "the older layout has none";
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      std::string flipped = bytes;
      flipped[n] = static_cast<char>(flipped[n] ^ 0x10);
      EXPECT_FALSE(DecodeHashList(flipped, decoded)) << n;
    }
  }
  std::vector<std::uint32_t> ignored;
  EXPECT_FALSE(DecodeHashList("", ignored));
  EXPECT_FALSE(DecodeHashList(std::string("\x01\x80", 2), ignored)) << "truncated varint";
}

TEST(RecordFormatTest, PeakBlocksKeepTimesAndBinsToAQuarterAndOutlinesWholeAndRefuseDamage) {
  using fingerprint::Peak;
  const std::uint32_t block = 3;
  const std::uint32_t start_q = block * kPeakBlockFrames * fingerprint::kTimeSubdivisions;
  // The block's first and last instants, peaks sharing a time, the top of the
  // peak range, a prominence past what is kept.
  std::vector<Peak> peaks = {{start_q, 4000, 7},
                             {start_q + 37, 512, 60},
                             {start_q + 37, 7790, 200},
                             {start_q + kPeakBlockFrames * 16 - 1, 1, 6}};
  // Outline levels from far below each frame's loudest band up to it.
  constexpr int kBands = fingerprint::kOutlineBands;
  std::vector<std::uint8_t> levels(3 * kBands);
  for (std::size_t i = 0; i < levels.size(); ++i)
    levels[i] = static_cast<std::uint8_t>(i * 7 % 251);
  std::string bytes = EncodePeakBlock(peaks, levels, 9, block);
  std::vector<Peak> decoded;
  std::vector<std::uint8_t> decoded_levels;
  ASSERT_TRUE(DecodePeakBlock(bytes, 9, block, decoded, false, &decoded_levels));
  ASSERT_EQ(decoded_levels.size(), levels.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const auto frame = levels.begin() + static_cast<std::ptrdiff_t>(i / kBands * kBands);
    const int top = *std::max_element(frame, frame + kBands);
    const int kept_below = static_cast<int>(kMaxOutlineStoredSteps * kOutlineStoredStepDb /
                                            fingerprint::kOutlineStepDb);
    EXPECT_NEAR(decoded_levels[i], std::max<int>(levels[i], top - kept_below),
                kOutlineStoredStepDb / fingerprint::kOutlineStepDb / 2)
        << "to the nearest stored step, no lower than the lowest kept " << i;
  }
  // Levels read back are kept exactly, even from a damaged frame whose
  // steps reach below level 0 (its loudest band at 8, the others 90 under).
  for (const std::string& frame :
       {bytes, std::string("\x00\x01\x08\xf0", 4) + std::string(15, '\xff')}) {
    std::vector<Peak> ignored;
    std::vector<std::uint8_t> kept, kept_again;
    ASSERT_TRUE(DecodePeakBlock(frame, 9, block, ignored, true, &kept));
    ASSERT_TRUE(DecodePeakBlock(EncodePeakBlock(ignored, kept, 9, block), 9, block, ignored, false,
                                &kept_again));
    EXPECT_EQ(kept_again, kept);
  }
  // A block of fingerprint version 4: 16 bands a byte each, read without them.
  std::vector<std::uint8_t> old_levels;
  EXPECT_TRUE(DecodePeakBlock(std::string("\x00\x02", 2) + std::string(32, '\x50'), 9, block,
                              decoded, true, &old_levels));
  EXPECT_TRUE(old_levels.empty());
  ASSERT_EQ(decoded.size(), peaks.size());
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    EXPECT_LE(decoded[i].time_q, peaks[i].time_q);
    EXPECT_GT(decoded[i].time_q + 4, peaks[i].time_q) << i;
    EXPECT_NEAR(decoded[i].bin_q, peaks[i].bin_q, 2) << i;
    EXPECT_NEAR(decoded[i].prominence_db, std::min<int>(62, peaks[i].prominence_db), 1) << i;
    EXPECT_EQ(PeakBlockOf(decoded[i].TimeFrames()), block);
  }
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(DecodePeakBlock(bytes.substr(0, n), 9, block, decoded)) << n;
  }
  EXPECT_FALSE(DecodePeakBlock(bytes + "x", 9, block, decoded));
  EXPECT_FALSE(DecodePeakBlock(bytes, 9, block + 1, decoded)) << "the checksum covers the key";
  EXPECT_FALSE(DecodePeakBlock(bytes, 10, block, decoded));
  // One peak whose time step is 2^64 - 1: it must not wrap round into the block.
  const std::string wrapping = std::string("\x01") + std::string(9, '\xff') + "\x01\x10\x00";
  EXPECT_FALSE(DecodePeakBlock(wrapping, 9, block, decoded, true));
  PeakBlockKey key = EncodePeakBlockKey(0x01020304, block);
  EXPECT_EQ(RecordingOfPeakBlockKey(key.bytes), 0x01020304u);
  EXPECT_LT(
      std::string(reinterpret_cast<char*>(key.bytes), 8),
      std::string(reinterpret_cast<char*>(EncodePeakBlockKey(0x01020304, block + 1).bytes), 8))
      << "a recording's blocks are in time order";
}

TEST(ContentHasherTest, DependsOnTheAudioOnlyNotOnHowItWasChunked) {
  std::vector<float> left(10000), right(10000);
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = static_cast<float>(i % 97) / 97.0f;
    right[i] = -left[i];
  }
  auto hash = [&](std::size_t chunk, double rate, bool swap) {
    ContentHasher hasher(rate);
    for (std::size_t start = 0; start < left.size(); start += chunk) {
      const float* planes[2] = {(swap ? right : left).data() + start,
                                (swap ? left : right).data() + start};
      hasher.Append(planes, 2, std::min(chunk, left.size() - start));
    }
    return hasher.HexDigest();
  };
  std::string reference = hash(10000, 44100, false);
  EXPECT_EQ(reference.size(), 32u);
  EXPECT_EQ(hash(1, 44100, false), reference);
  EXPECT_EQ(hash(4096, 44100, false), reference);
  EXPECT_NE(hash(4096, 48000, false), reference);
  EXPECT_NE(hash(4096, 44100, true), reference) << "channels are not interchangeable";
}

TEST(CatalogLocationTest, FollowsTheEnvironment) {
  struct Case {
    const char* plim_catalog;
    const char* xdg_data_home;
    const char* expected;
  };
  std::vector<Case> cases = {
      {"/srv/catalog", "/xdg", "/srv/catalog"},
      {"", "/xdg", "/xdg/plim/catalog"},
      {nullptr, "/xdg", "/xdg/plim/catalog"},
      {nullptr, "relative/xdg", "/home/u/.local/share/plim/catalog"},
      {nullptr, "", "/home/u/.local/share/plim/catalog"},
      {nullptr, nullptr, "/home/u/.local/share/plim/catalog"},
  };
  auto set = [](const char* name, const char* value) {
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  };
  for (const Case& c : cases) {
    set("PLIM_CATALOG", c.plim_catalog);
    set("XDG_DATA_HOME", c.xdg_data_home);
    set("HOME", "/home/u");
    EXPECT_EQ(DefaultCatalogDirectory(), c.expected);
  }
  // Without HOME (cron, services) the catalog is the user's own, never one
  // relative to wherever the program runs.
  set("XDG_DATA_HOME", nullptr);
  for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
    SCOPED_TRACE(home == nullptr ? "HOME unset" : home);
    set("PLIM_CATALOG", nullptr);
    set("HOME", home);
    try {
      const std::filesystem::path directory = DefaultCatalogDirectory();
      EXPECT_TRUE(directory.is_absolute()) << directory;
      EXPECT_EQ(directory.filename(), "catalog");
    } catch (const foundation::NSError& error) {
      EXPECT_EQ(error.code(), kCatalogErrorNoCatalog);
    }
  }
}

}  // namespace
}  // namespace plim::catalog
