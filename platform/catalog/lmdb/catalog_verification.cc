// Catalog::Verify: one pass over each table of a snapshot.

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/copy_format.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/lmdb/index_layout.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/catalog/lmdb/lmdb_pages.h"
#include "platform/catalog/lmdb/posting_index.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

// What is known of each recording while the tables are walked.
struct Entry {
  bool has_record = false;
  const Recording* recording = nullptr;  // nullptr when it has no record, or a damaged one
  bool has_hash_list = false;
  std::uint64_t postings_digest = 0;  // from its landmark list; 0 for none
  std::uint64_t postings = 0;
  std::uint64_t postings_sum = 0;  // the digest of the postings found
};

class Walk {
 public:
  Walk(const Environment& e, MDB_txn* txn, VerificationReport& report)
      : e_(e), txn_(txn), report_(report) {}

  void Run() {
    // LMDB would follow a malformed page out of bounds: tables that hold
    // one are reported, and not walked.
    for (const MalformedPage& page : FindMalformedPages(e_.directory)) {
      broken_tables_.insert(page.table);
      Damage(0, "page " + std::to_string(page.page) + " of data.mdb" +
                    (page.table.empty() ? std::string(" (the list of tables)")
                                        : " (the \"" + page.table + "\" table)") +
                    " is malformed: " + page.what);
    }
    if (broken_tables_.count("") > 0) return;
    Table("recordings", e_.recordings,
          [&](const MDB_val& key, const MDB_val& data) { Record(key, data); });
    for (auto& [id, recording] : report_.recordings) entries_[id].recording = &recording;
    for (auto& [id, entry] : entries_) entry.has_record = true;
    Table("hash_lists", e_.hash_lists,
          [&](const MDB_val& key, const MDB_val& data) { HashList(key, data); });
    Table("index", e_.index, [&](const MDB_val& key, const MDB_val& data) { Chunk(key, data); });
    Table("fresh", e_.fresh, [&](const MDB_val&, const MDB_val& data) {
      if (data.mv_size != sizeof(std::uint64_t)) throw Malformed("an entry");
      std::uint64_t value;
      std::memcpy(&value, data.mv_data, sizeof value);
      Posting(value);
    });
    if (e_.has_peaks) {
      Table("peaks", e_.peaks, [&](const MDB_val& key, const MDB_val& data) { Peaks(key, data); });
    }
    if (e_.has_copies) {
      // A copy of a recording that is gone is no damage: plims before the
      // table remove recordings without knowing of their copies.
      Table("copies", e_.copies, [&](const MDB_val& key, const MDB_val& data) {
        std::optional<RecordingCopy> copy = DecodeRecordingCopy(ViewOf(data));
        if (!copy) throw Malformed("a copy of a recording that does not match its checksum");
        if (PathKey(copy->path) != ViewOf(key)) throw Malformed("a copy filed under another path");
      });
    }
    ArtworkUses();
    Lookups("by_content", e_.by_content, [](const Recording& r) { return r.content_hash; });
    Lookups("by_path", e_.by_path, [](const Recording& r) { return PathKey(r.source_path); });
    CrossCheck();
    MetaNumbers();
  }

 private:
  struct MalformedEntry {
    std::string what;
  };
  static MalformedEntry Malformed(std::string what) { return {std::move(what)}; }

  // Visits every entry of table `dbi`. A malformed entry is reported and
  // the walk goes on; LMDB's own failure to read the table ends it. The
  // table's structure is checked on the way: a walk goes from leaf to leaf,
  // while readers look entries up through the branch pages, so each entry
  // must come after the last in the table's order and be found by a lookup
  // of its own key, and the walk must meet as many entries as LMDB counts.
  template <typename Visit>
  void Table(const char* name, MDB_dbi dbi, Visit&& visit) {
    if (broken_tables_.count(name) > 0) return;
    const auto fail = [&](const std::string& what) {
      Damage(0, std::string("the \"") + name + "\" table " + what);
    };
    try {
      unsigned flags = 0;
      if (int rc = mdb_dbi_flags(txn_, dbi, &flags); rc != MDB_SUCCESS) {
        ThrowLmdbError(rc, e_.directory, "read");
      }
      const bool duplicates = (flags & MDB_DUPSORT) != 0;
      Cursor cursor(txn_, dbi, e_.directory), lookup(txn_, dbi, e_.directory);
      MDB_val key, data, last_key{}, last_data{};
      std::uint64_t entries = 0;
      bool misplaced = false;  // reported once a table
      int rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_FIRST);
      for (; rc == MDB_SUCCESS; rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_NEXT)) {
        if (entries++ > 0 && !misplaced) {
          const int order = mdb_cmp(txn_, dbi, &last_key, &key);
          misplaced = order > 0 ||
                      (order == 0 && (!duplicates || mdb_dcmp(txn_, dbi, &last_data, &data) >= 0));
          if (misplaced) fail("is out of order (a page of data.mdb is damaged)");
        }
        last_key = key;
        last_data = data;
        MDB_val found_key = key, found_data = data;
        const int found = GuardedCursorGet(lookup.get(), &found_key, &found_data,
                                           duplicates ? MDB_GET_BOTH : MDB_SET_KEY);
        if (!misplaced &&
            (found != MDB_SUCCESS || (!duplicates && found_data.mv_data != data.mv_data))) {
          misplaced = true;
          fail("holds an entry that a lookup does not find (a page of data.mdb is damaged)");
        }
        // The entry is still read: a repair rebuilds what the walk finds.
        try {
          visit(key, data);
        } catch (const MalformedEntry& malformed) {
          fail("holds " + malformed.what);
        }
      }
      if (rc != MDB_NOTFOUND) ThrowLmdbError(rc, e_.directory, "read");
      MDB_stat stat;
      if (rc = mdb_stat(txn_, dbi, &stat); rc != MDB_SUCCESS)
        ThrowLmdbError(rc, e_.directory, "read");
      if (stat.ms_entries != entries) {
        fail("counts " + std::to_string(stat.ms_entries) + " entries and holds " +
             std::to_string(entries));
      }
    } catch (const foundation::NSError& error) {
      fail("can't be read to the end (" + error.description() + ")");
    }
  }

  RecordingId IdOf(const MDB_val& key) const {
    if (key.mv_size != sizeof(RecordingId)) throw Malformed("a malformed id");
    RecordingId id;
    std::memcpy(&id, key.mv_data, sizeof id);
    return id;
  }

  void Damage(RecordingId id, std::string what) {
    CatalogDamage damage{id, {}, std::move(what)};
    if (auto it = entries_.find(id); id != 0 && it != entries_.end() && it->second.recording) {
      damage.source_path = it->second.recording->source_path;
    }
    report_.damage.push_back(std::move(damage));
  }

  void Count(StoredValueState state) {
    if (state == StoredValueState::kUnchecked) ++report_.unchecked_values;
  }

  void Record(const MDB_val& key, const MDB_val& data) {
    const RecordingId id = IdOf(key);
    StoredValueState state;
    std::optional<Recording> recording = DecodeRecording(ViewOf(data), &state);
    if (!recording) {
      entries_[id];
      Damage(id, "its record is damaged, so its file is not known");
      return;
    }
    Count(state);
    report_.recordings.emplace_back(id, std::move(*recording));
  }

  void HashList(const MDB_val& key, const MDB_val& data) {
    const RecordingId id = IdOf(key);
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.has_record) {
      Damage(0, "a landmark list of recording " + std::to_string(id) + ", which has no record");
      return;
    }
    it->second.has_hash_list = true;
    StoredValueState state;
    std::vector<std::uint32_t> prefixes;
    if (!DecodeHashList(ViewOf(data), prefixes, &state, &it->second.postings_digest)) {
      Damage(id, "its landmark list is damaged");
    } else {
      Count(state);
    }
  }

  void Chunk(const MDB_val& key, const MDB_val& data) {
    ChunkView chunk;
    try {
      chunk = ReadChunk(key, data, e_);
    } catch (const foundation::NSError&) {
      Damage(0, "a chunk of the index is damaged (bucket " + ChunkBucket(key) +
                    "): the postings it held are lost");
      return;
    }
    ++report_.index_chunks;
    if (!chunk.checked) ++report_.unchecked_values;
    const auto* key_bytes = static_cast<const unsigned char*>(key.mv_data);
    const std::uint32_t bucket = BucketOfChunkKey(key_bytes);
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < chunk.count; ++i) {
      std::uint64_t value;
      std::memcpy(&value, static_cast<const unsigned char*>(chunk.values) + i * sizeof value,
                  sizeof value);
      if ((i > 0 && value <= previous) ||
          (bucket == last_bucket_ && have_last_ && value <= last_value_)) {
        Damage(0, "a chunk of the index (bucket " + std::to_string(bucket) + ") is out of order");
        return;
      }
      previous = value;
    }
    if (bucket >= kIndexBucketCount || previous != LastValueOfChunkKey(key_bytes)) {
      Damage(0,
             "a chunk of the index (bucket " + std::to_string(bucket) + ") does not match its key");
      return;
    }
    last_bucket_ = bucket;
    last_value_ = previous;
    have_last_ = true;
    chunk_postings_ += chunk.count;
    for (std::size_t i = 0; i < chunk.count; ++i) {
      std::uint64_t value;
      std::memcpy(&value, static_cast<const unsigned char*>(chunk.values) + i * sizeof value,
                  sizeof value);
      Posting(value);
    }
  }

  static std::string ChunkBucket(const MDB_val& key) {
    if (key.mv_size != sizeof(ChunkKey)) return "unknown";
    return std::to_string(BucketOfChunkKey(static_cast<const unsigned char*>(key.mv_data)));
  }

  void Posting(std::uint64_t value) {
    ++report_.postings;
    Entry& entry = entries_[RecordingOfIndexValue(value)];
    ++entry.postings;
    entry.postings_sum += PostingDigestShare(value);
  }

  void Peaks(const MDB_val& key, const MDB_val& data) {
    if (key.mv_size != sizeof(PeakBlockKey)) throw Malformed("a malformed key");
    const auto* bytes = static_cast<const unsigned char*>(key.mv_data);
    const RecordingId id = RecordingOfPeakBlockKey(bytes);
    std::uint32_t block = 0;
    for (int i = 4; i < 8; ++i) block = block << 8 | bytes[i];
    ++report_.peak_blocks;
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.has_record) {
      Damage(0, "peaks of recording " + std::to_string(id) + ", which has no record");
      return;
    }
    std::vector<fingerprint::Peak> peaks;
    const bool may_lack_checksum = id < e_.checksummed_peaks_from_id;
    if (may_lack_checksum) ++report_.unchecked_values;
    if (!DecodePeakBlock(ViewOf(data), id, block, peaks, may_lack_checksum)) {
      Damage(id, "its peaks from " + std::to_string(block * kPeakBlockFrames) +
                     " frames on are damaged");
    }
  }

  // Checks that each recording's entry in lookup table `dbi` (keyed by
  // `key_of` its record) names it, and that every entry names a recording.
  template <typename KeyOf>
  void Lookups(const char* name, MDB_dbi dbi, KeyOf&& key_of) {
    std::unordered_map<std::string, RecordingId> named;
    Table(name, dbi, [&](const MDB_val& key, const MDB_val& data) {
      const RecordingId id = IdOf(data);
      if (auto it = entries_.find(id); it == entries_.end() || !it->second.has_record) {
        throw Malformed("an entry for recording " + std::to_string(id) + ", which has no record");
      }
      named.emplace(std::string(ViewOf(key)), id);
    });
    for (const auto& [id, recording] : report_.recordings) {
      if (recording.source_path.empty() && std::string_view(name) == "by_path") continue;
      auto it = named.find(key_of(recording));
      if (it == named.end() || it->second != id) {
        Damage(id, std::string("its entry in the \"") + name + "\" table is missing or wrong");
      }
    }
  }

  // Each picture's count of the recordings that use it decides when its
  // file goes.
  void ArtworkUses() {
    std::map<std::string, std::uint32_t> uses;
    for (const auto& [id, recording] : report_.recordings) {
      if (!recording.artwork_file.empty()) ++uses[recording.artwork_file];
    }
    const bool records_known = report_.Intact();
    Table("artwork", e_.artwork, [&](const MDB_val& key, const MDB_val& data) {
      std::uint32_t count = 0;
      if (data.mv_size != sizeof count) throw Malformed("a malformed count of a picture's uses");
      std::memcpy(&count, data.mv_data, sizeof count);
      const auto it = uses.find(std::string(ViewOf(key)));
      const std::uint32_t used = it == uses.end() ? 0 : it->second;
      if (it != uses.end()) uses.erase(it);
      if (records_known && count != used) {
        throw Malformed("a picture used by " + std::to_string(used) + " recordings counted as " +
                        std::to_string(count));
      }
    });
    if (records_known && !uses.empty()) {
      Damage(0, "the \"artwork\" table does not count the picture " + uses.begin()->first +
                    " that recordings use");
    }
  }

  void CrossCheck() {
    for (const auto& [id, entry] : entries_) {
      if (!entry.has_record) {
        Damage(0, "the index holds " + std::to_string(entry.postings) + " postings of recording " +
                      std::to_string(id) + ", which has no record");
        continue;
      }
      if (entry.recording == nullptr) continue;  // reported as damaged already
      if (!entry.has_hash_list) Damage(id, "its landmark list is missing");
      if (entry.postings != entry.recording->landmark_count) {
        Damage(id, "the index holds " + std::to_string(entry.postings) + " of its " +
                       std::to_string(entry.recording->landmark_count) + " landmarks");
      } else if (entry.postings_digest != 0 && entry.postings_digest != entry.postings_sum) {
        Damage(id, "some of its postings in the index are damaged");
      }
    }
  }

  // Readers take the catalog's total duration and count of postings from
  // the meta table, and writers the next id: each must agree with what the
  // tables hold.
  void MetaNumbers() {
    std::uint64_t sum_us = 0;
    RecordingId last_id = 0;
    for (const auto& [id, recording] : report_.recordings) {
      sum_us += DurationUs(recording.duration_s);
      last_id = std::max(last_id, id);
    }
    try {
      const std::uint64_t total_us = ReadMetaNumber(e_, txn_, kMetaTotalDurationUs, 0);
      const std::uint64_t next_id = ReadMetaNumber(e_, txn_, kMetaNextId, 1);
      // With a record unreadable, the sum is not known.
      if (report_.Intact() && total_us != sum_us) {
        Damage(0, "the total duration it keeps (" + std::to_string(total_us) +
                      " microseconds) is not the sum of its recordings' (" +
                      std::to_string(sum_us) + " microseconds)");
      }
      const std::uint64_t indexed = ReadMetaNumber(e_, txn_, kMetaIndexedPostings, 0);
      if (report_.Intact() && indexed != chunk_postings_) {
        Damage(0, "the count of postings it keeps (" + std::to_string(indexed) +
                      ") is not the number in its index's chunks (" +
                      std::to_string(chunk_postings_) + ")");
      }
      // Peak blocks of ids from this one on must carry checksums: a larger
      // number would let damaged ones pass as older.
      // (Catalogs older than checksums, read-only, have no such number.)
      const std::uint64_t checked_from = ReadMetaNumber(e_, txn_, kMetaChecksummedPeaksFromId, 0);
      if (checked_from > std::max<std::uint64_t>(next_id, 1)) {
        Damage(0, "it takes the peaks of recordings before id " + std::to_string(checked_from) +
                      " to carry no checksums, beyond its next id (" + std::to_string(next_id) +
                      ")");
      }
      if (next_id <= last_id) {
        Damage(0, "the next id it keeps (" + std::to_string(next_id) +
                      ") is not above its recordings' (" + std::to_string(last_id) +
                      "): an add would write over one");
      }
    } catch (const foundation::NSError& error) {
      Damage(0, "the \"meta\" table can't be read (" + error.description() + ")");
    }
  }

  const Environment& e_;
  MDB_txn* txn_;
  VerificationReport& report_;
  std::map<RecordingId, Entry> entries_;
  std::set<std::string> broken_tables_;
  // The last value of the previous chunk, for the order across chunks.
  std::uint32_t last_bucket_ = 0;
  std::uint64_t last_value_ = 0;
  bool have_last_ = false;
  std::uint64_t chunk_postings_ = 0;
};

}  // namespace

VerificationReport Catalog::Verify() const {
  ReadSnapshot snapshot = BeginRead(*environment_);
  VerificationReport report;
  Walk(*environment_, snapshot.txn.get(), report).Run();
  return report;
}

}  // namespace plim::catalog
