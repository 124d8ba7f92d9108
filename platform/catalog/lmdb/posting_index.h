// The catalog's inverted index: every (landmark hash, recording, anchor
// frame) posting, laid out as index_layout.h describes, in two tables.
//
//   index  the bulk: each bucket as sorted chunks of at most a page, written
//          whole, so that pages are full
//   fresh  the postings of recent adds, in sorted duplicates per bucket
//
// LMDB copies every page a transaction changes, and frees the old copy for
// reuse only once a later transaction has committed. Hashes are random, so
// the postings of one recording land in nearly every page of an index of a
// few tens of hours: written straight into the index, each add would copy
// all of it, and the file would grow to several times the index. Adds go to
// the small fresh table instead; after each, a few transactions of their
// own fold slices of fresh buckets into the chunks, round the buckets in
// turn, so that no transaction rewrites more than a small share of the
// index.
//
// In a bucket, every posting in index is older (has a smaller recording id)
// than every posting in fresh: a bucket is folded whole, and ids only grow.
//
// Internal to the catalog. Functions taking an MDB_txn run inside that
// transaction, on the calling thread; they throw NSError (through
// ThrowLmdbError) and the signals of catalog_environment.h.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_POSTING_INDEX_H_
#define PLIM_PLATFORM_CATALOG_LMDB_POSTING_INDEX_H_

#include <lmdb.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/catalog/posting.h"
#include "platform/catalog/recording.h"
#include "platform/fingerprint/landmark.h"

namespace plim::catalog {

// Cursors over both tables for looking hashes up in one snapshot. Owns its
// cursors, which must be closed (destroyed) before `txn` ends. Use from one
// thread at a time.
class PostingReader {
 public:
  PostingReader(MDB_txn* txn, const Environment& environment);
  PostingReader(PostingReader&& other) noexcept;
  PostingReader& operator=(PostingReader&&) = delete;
  ~PostingReader();

  // Appends the postings of `hash` to `out` in (recording, anchor_frame)
  // order; none for a hash wider than the index holds. Fastest when
  // successive calls ask for ascending hashes: the chunk the last one ended
  // in is searched first.
  void Lookup(std::uint32_t hash, std::vector<Posting>& out) const;
  // The number of postings Lookup(hashes[i]) appends, for each i, from the
  // values of the chunks where each hash's run begins and ends and the
  // sizes of those between (whose values are not read, nor their checksums
  // checked). What a count found of a hash whose run lies within one chunk
  // (or none) is kept until the next call, short runs' values included, so
  // that the Lookup of that hash which follows neither searches the index
  // again nor reaches into the map's pages a second time. Fastest for
  // ascending hashes, as Lookup.
  std::vector<std::size_t> Counts(std::span<const std::uint32_t> hashes) const;

 private:
  // What the last Counts call found of the hashes whose chunk-table run
  // lies within one chunk or none, by hash: the run's values, held in
  // counted_values_ from `held` on when it is short, else at `values` (in
  // the snapshot's map); and how many postings of the hash the fresh table
  // holds.
  struct CountedRun {
    std::uint32_t hash;
    std::uint32_t count;
    const void* values;  // nullptr: held
    std::size_t held;
    std::size_t fresh_count;
  };

  // The run Counts found of `hash`, or nullptr.
  const CountedRun* FindCountedRun(std::uint32_t hash) const;
  // Append the postings of `hash` that one table holds.
  void LookupInChunks(std::uint32_t hash, std::vector<Posting>& out) const;
  void LookupInFresh(std::uint32_t hash, std::vector<Posting>& out) const;
  // Counts `hash`'s postings in the chunk table; when its run lies within
  // one chunk or none, also adds it to counted_runs_ (fresh_count 0).
  std::size_t CountInChunks(std::uint32_t hash) const;
  std::size_t CountInFresh(std::uint32_t hash) const;
  // Puts the index cursor on the chunk of `hash`'s bucket that holds
  // FirstIndexValue(hash) if any does (or the first after it), read into
  // chunk_*; false when the bucket has none there.
  bool SeekFirstChunk(std::uint32_t hash) const;

  const Environment* environment_;
  MDB_cursor* index_cursor_ = nullptr;
  MDB_cursor* fresh_cursor_ = nullptr;
  // Whether the fresh table holds anything: after a fold it is empty, and
  // most lookups can skip it.
  bool fresh_empty_ = false;
  // The chunk the index cursor is on (its values live in the snapshot's
  // map as long as the transaction does), or chunk_count_ 0 for none.
  mutable std::uint32_t chunk_bucket_ = 0;
  mutable const void* chunk_values_ = nullptr;
  mutable std::size_t chunk_count_ = 0;
  mutable std::vector<CountedRun> counted_runs_;
  // A found run of at most this many postings is held.
  static constexpr std::size_t kHeldRunPostings = 32;
  mutable std::vector<std::uint64_t> counted_values_;
};

// A chunk of the index as read: its sorted values (in the snapshot's map,
// aligned to 2 bytes only), and whether it carried a checksum, which then
// matched. The checksum (ChecksumOf its values' bytes, xor that of its key,
// native byte order) follows the values; chunks written before catalog
// format 3 carry none.
struct ChunkView {
  const void* values = nullptr;
  std::size_t count = 0;
  bool checked = false;
};

// Reads the chunk table entry (`key`, `data`). Throws NSError
// (kCatalogErrorDamaged) for a malformed entry or a checksum that does not
// match.
ChunkView ReadChunk(const MDB_val& key, const MDB_val& data, const Environment& environment);
// The number of values of the chunk table entry (`key`, `data`), from its
// size alone: its values are not read, nor its checksum checked. Throws
// as ReadChunk for a malformed entry.
std::size_t ChunkValueCount(const MDB_val& key, const MDB_val& data,
                            const Environment& environment);

// The number of postings in both tables.
std::uint64_t CountPostings(MDB_txn* txn, const Environment& environment);

// Adds the postings of recording `id`: `landmarks` sorted by (hash, frame),
// distinct, each within the index's fields. `id` is larger than every id
// the index holds.
void PutPostings(MDB_txn* txn, const Environment& environment, RecordingId id,
                 std::span<const fingerprint::Landmark> landmarks);

// Deletes every posting of recording `id`, given the HashListPrefix of
// each of its hashes (repeats allowed).
void DeletePostings(MDB_txn* txn, const Environment& environment, RecordingId id,
                    std::span<const std::uint32_t> hash_prefixes);

// How many postings the folds after a change that added `added_postings`
// should rewrite: about sqrt(added x all postings), which balances the
// fresh table's size, all of which every add rewrites, against the chunks
// that the folds rewrite.
double FoldQuota(MDB_txn* txn, const Environment& environment, std::uint64_t added_postings);

// Folds fresh buckets into the chunks, in turn from where the last fold
// stopped, until about `quota_postings` postings have been rewritten or
// every bucket has been visited. The postings each hash looks up stay the
// same.
void FoldFreshPostings(MDB_txn* txn, const Environment& environment, double quota_postings);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_POSTING_INDEX_H_
