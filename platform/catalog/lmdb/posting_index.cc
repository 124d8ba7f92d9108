#include "platform/catalog/lmdb/posting_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/index_layout.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

// LMDB's page header: a chunk of (page size - this) bytes fills one
// overflow page exactly.
constexpr std::size_t kLmdbPageHeaderBytes = 16;

void Check(int rc, const Environment& e, const char* action) {
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, action);
}

// The i-th of the values at `data`, which LMDB aligns to 2 bytes only.
std::uint64_t LoadValue(const void* data, std::size_t i) {
  std::uint64_t value;
  std::memcpy(&value, static_cast<const unsigned char*>(data) + i * sizeof value, sizeof value);
  return value;
}

// The first of the `count` sorted values at `data` that is not below `value`.
std::size_t LowerBound(const void* data, std::size_t count, std::uint64_t value) {
  if (count == 0 || LoadValue(data, 0) >= value) return 0;
  const std::uint64_t top = LoadValue(data, count - 1);
  if (top < value) return count;
  // Hashes are near uniform, so a guess by interpolation lands a few values
  // from the answer: fewer cache lines than halving the whole page. From
  // there, widening steps bracket it, and halving settles it.
  const std::uint64_t bottom = LoadValue(data, 0);
  std::size_t guess =
      static_cast<std::size_t>(static_cast<double>(value - bottom) /
                               static_cast<double>(top - bottom) * static_cast<double>(count - 1));
  guess = std::min(guess, count - 1);
  // Invariant: values before `low` are below `value`; the one at `high` is not.
  std::size_t low = 0, high = count - 1;
  std::size_t step = 8;
  if (LoadValue(data, guess) < value) {
    low = guess + 1;
    while (low + step < high && LoadValue(data, low + step) < value) {
      low += step + 1;
      step *= 2;
    }
    high = std::min(high, low + step);
  } else {
    high = guess;
    while (high > low + step && LoadValue(data, high - step) >= value) {
      high -= step;
      step *= 2;
    }
    low = high > step ? high - step : 0;
  }
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    if (LoadValue(data, middle) < value) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

bool PostingBefore(const Posting& a, const Posting& b) {
  return a.recording != b.recording ? a.recording < b.recording : a.anchor_frame < b.anchor_frame;
}

[[noreturn]] void FailDamagedChunk(const Environment& e, const char* what) {
  FailDamaged(e.directory, std::string("its index holds ") + what);
}

}  // namespace

std::uint32_t ChunkChecksum(const MDB_val& key, std::string_view values) {
  return ChecksumOf(values) ^ ChecksumOf(ViewOf(key));
}

std::size_t ChunkValueCount(const MDB_val& key, const MDB_val& data, const Environment& e) {
  // A chunk never spans more than a page: a larger size is damage, and
  // reading it could run past the end of the file.
  const std::size_t tail = data.mv_size % sizeof(std::uint64_t);
  if (key.mv_size != sizeof(ChunkKey) || data.mv_size > e.page_size_bytes ||
      (tail != 0 && tail != kChecksumBytes) || data.mv_size < sizeof(std::uint64_t) + tail) {
    FailDamagedChunk(e, "a malformed entry");
  }
  return data.mv_size / sizeof(std::uint64_t);
}

ChunkView ReadChunk(const MDB_val& key, const MDB_val& data, const Environment& e) {
  const std::size_t count = ChunkValueCount(key, data, e);
  ChunkView chunk{data.mv_data, count, data.mv_size % sizeof(std::uint64_t) != 0};
  if (chunk.checked) {
    const std::string_view values(static_cast<const char*>(data.mv_data),
                                  chunk.count * sizeof(std::uint64_t));
    std::uint32_t stored;
    std::memcpy(&stored, values.data() + values.size(), sizeof stored);
    if (stored != ChunkChecksum(key, values)) {
      FailDamagedChunk(e, "a chunk whose checksum does not match");
    }
  }
  return chunk;
}

namespace {

// Positions `cursor` on the first chunk at or after (bucket, value): the
// chunk that holds `value` if any does, read into `chunk`. False when that
// chunk is not one of `bucket`.
bool SeekChunk(MDB_cursor* cursor, std::uint32_t bucket, std::uint64_t value, MDB_val& key,
               ChunkView& chunk, const Environment& e) {
  ChunkKey wanted = EncodeChunkKey(bucket, value);
  key = ValueOf(wanted.bytes, sizeof wanted.bytes);
  MDB_val data;
  int rc = GuardedCursorGet(cursor, &key, &data, MDB_SET_RANGE);
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, e, "read");
  chunk = ReadChunk(key, data, e);
  return BucketOfChunkKey(static_cast<const unsigned char*>(key.mv_data)) == bucket;
}

// Moves every value of `bucket` out of the chunk table into `values`.
void TakeChunks(MDB_cursor* cursor, std::uint32_t bucket, std::vector<std::uint64_t>& values,
                const Environment& e) {
  MDB_val key;
  ChunkView chunk;
  while (SeekChunk(cursor, bucket, 0, key, chunk, e)) {
    const std::size_t base = values.size();
    values.resize(base + chunk.count);
    std::memcpy(values.data() + base, chunk.values, chunk.count * sizeof(std::uint64_t));
    Check(mdb_cursor_del(cursor, 0), e, "write to");
  }
}

// Writes `values` (sorted, distinct) as the chunks of `bucket`, which has
// none: full ones, then the rest, each with its checksum.
void PutChunks(MDB_cursor* cursor, std::uint32_t bucket, const std::vector<std::uint64_t>& values,
               const Environment& e) {
  const std::size_t capacity =
      (e.page_size_bytes - kLmdbPageHeaderBytes - kChecksumBytes) / sizeof(std::uint64_t);
  std::string bytes;
  for (std::size_t start = 0; start < values.size(); start += capacity) {
    const std::size_t count = std::min(capacity, values.size() - start);
    ChunkKey chunk_key = EncodeChunkKey(bucket, values[start + count - 1]);
    MDB_val key = ValueOf(chunk_key.bytes, sizeof chunk_key.bytes);
    bytes.assign(reinterpret_cast<const char*>(values.data() + start),
                 count * sizeof(std::uint64_t));
    const std::uint32_t checksum = ChunkChecksum(key, bytes);
    bytes.append(reinterpret_cast<const char*>(&checksum), sizeof checksum);
    MDB_val data = ValueOf(bytes);
    Check(mdb_cursor_put(cursor, &key, &data, 0), e, "write to");
  }
}

// Moves every value of `bucket` out of the fresh table into `values`.
void TakeFreshBucket(MDB_cursor* cursor, std::uint32_t bucket, std::vector<std::uint64_t>& values,
                     const Environment& e) {
  MDB_val key = ValueOf(&bucket, sizeof bucket), data;
  int rc = GuardedCursorGet(cursor, &key, &data, MDB_SET);
  if (rc == MDB_NOTFOUND) return;
  Check(rc, e, "read");
  // A bucket of one value has no page of duplicates: GET_MULTIPLE then
  // leaves `data` as MDB_SET set it, which is that value.
  rc = GuardedCursorGet(cursor, &key, &data, MDB_GET_MULTIPLE);
  while (rc == MDB_SUCCESS) {
    const std::size_t base = values.size();
    values.resize(base + data.mv_size / sizeof(std::uint64_t));
    std::memcpy(values.data() + base, data.mv_data, data.mv_size);
    rc = GuardedCursorGet(cursor, &key, &data, MDB_NEXT_MULTIPLE);
  }
  if (rc != MDB_NOTFOUND) Check(rc, e, "read");
  key = ValueOf(&bucket, sizeof bucket);
  Check(GuardedCursorGet(cursor, &key, &data, MDB_SET), e, "read");
  Check(mdb_cursor_del(cursor, MDB_NODUPDATA), e, "write to");
}

// The values of the postings whose hashes have prefix `prefix`: `first` to
// `last` within `bucket`.
struct PrefixRange {
  std::uint32_t bucket;
  std::uint64_t first;
  std::uint64_t last;
};
PrefixRange RangeOfPrefix(std::uint32_t prefix) {
  const std::uint32_t low_hash = prefix << kHashListPrefixShift;
  const std::uint32_t high_hash = low_hash | (kHashListPrefixSpan - 1);
  return {IndexKey(low_hash), FirstIndexValue(low_hash), LastIndexValue(high_hash)};
}

// Deletes the postings of recording `id` from the chunk table, where its
// hash prefixes `prefixes` (ascending) say they are; returns how many
// there were.
std::uint64_t DeleteFromChunks(MDB_cursor* cursor, RecordingId id,
                               std::span<const std::uint32_t> prefixes, const Environment& e) {
  std::uint64_t deleted = 0;
  std::vector<std::uint64_t> kept;
  // Every chunk up to (clean_bucket, clean_value) has been rid of `id`.
  std::optional<std::pair<std::uint32_t, std::uint64_t>> clean;
  for (std::uint32_t prefix : prefixes) {
    const PrefixRange range = RangeOfPrefix(prefix);
    std::uint64_t from = range.first;
    if (clean && clean->first == range.bucket) {
      if (clean->second >= range.last) continue;
      from = std::max(from, clean->second + 1);
    }
    MDB_val key;
    ChunkView chunk;
    while (SeekChunk(cursor, range.bucket, from, key, chunk, e)) {
      const std::uint64_t chunk_last =
          LastValueOfChunkKey(static_cast<const unsigned char*>(key.mv_data));
      const std::size_t count = chunk.count;
      kept.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t value = LoadValue(chunk.values, i);
        if (RecordingOfIndexValue(value) != id) kept.push_back(value);
      }
      if (kept.size() != count) {
        deleted += count - kept.size();
        Check(mdb_cursor_del(cursor, 0), e, "write to");
        PutChunks(cursor, range.bucket, kept, e);
      }
      clean = std::make_pair(range.bucket, chunk_last);
      if (chunk_last >= range.last) break;
      from = chunk_last + 1;
    }
  }
  return deleted;
}

// Deletes the postings of recording `id` from the fresh table, where its
// hash prefixes `prefixes` say they are.
void DeleteFromFresh(MDB_cursor* cursor, RecordingId id, std::span<const std::uint32_t> prefixes,
                     const Environment& e) {
  for (std::uint32_t prefix : prefixes) {
    const PrefixRange range = RangeOfPrefix(prefix);
    std::uint32_t bucket = range.bucket;
    std::uint64_t from = range.first;
    MDB_val key = ValueOf(&bucket, sizeof bucket), data = ValueOf(&from, sizeof from);
    int rc = GuardedCursorGet(cursor, &key, &data, MDB_GET_BOTH_RANGE);
    while (rc == MDB_SUCCESS) {
      const std::uint64_t value = LoadValue(data.mv_data, 0);
      if (value > range.last) break;
      if (RecordingOfIndexValue(value) == id) {
        Check(mdb_cursor_del(cursor, 0), e, "write to");
        // Seek afresh after a delete: LMDB's cursor position after a delete
        // that empties a key is not something to build on.
        from = value;
        key = ValueOf(&bucket, sizeof bucket);
        data = ValueOf(&from, sizeof from);
        rc = GuardedCursorGet(cursor, &key, &data, MDB_GET_BOTH_RANGE);
      } else {
        rc = GuardedCursorGet(cursor, &key, &data, MDB_NEXT_DUP);
      }
    }
    if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND) Check(rc, e, "write to");
  }
}

}  // namespace

PostingReader::PostingReader(MDB_txn* txn, const Environment& environment)
    : environment_(&environment) {
  Check(mdb_cursor_open(txn, environment.index, &index_cursor_), environment, "read");
  int rc = mdb_cursor_open(txn, environment.fresh, &fresh_cursor_);
  if (rc != MDB_SUCCESS) {
    mdb_cursor_close(index_cursor_);
    ThrowLmdbError(rc, environment.directory, "read");
  }
  MDB_stat fresh;
  rc = mdb_stat(txn, environment.fresh, &fresh);
  if (rc != MDB_SUCCESS) {
    mdb_cursor_close(index_cursor_);
    mdb_cursor_close(fresh_cursor_);
    ThrowLmdbError(rc, environment.directory, "read");
  }
  fresh_empty_ = fresh.ms_entries == 0;
}

PostingReader::PostingReader(PostingReader&& other) noexcept
    : environment_(other.environment_),
      index_cursor_(other.index_cursor_),
      fresh_cursor_(other.fresh_cursor_),
      fresh_empty_(other.fresh_empty_),
      chunk_bucket_(other.chunk_bucket_),
      chunk_values_(other.chunk_values_),
      chunk_count_(other.chunk_count_),
      counted_runs_(std::move(other.counted_runs_)),
      counted_values_(std::move(other.counted_values_)) {
  other.index_cursor_ = nullptr;
  other.fresh_cursor_ = nullptr;
}

PostingReader::~PostingReader() {
  if (index_cursor_ != nullptr) mdb_cursor_close(index_cursor_);
  if (fresh_cursor_ != nullptr) mdb_cursor_close(fresh_cursor_);
}

void PostingReader::Lookup(std::uint32_t hash, std::vector<Posting>& out) const {
  if (hash > kMaxIndexedHash) return;
  const std::size_t start = out.size();
  const CountedRun* counted = FindCountedRun(hash);
  if (counted != nullptr) {
    const void* values =
        counted->values != nullptr ? counted->values : counted_values_.data() + counted->held;
    for (std::size_t i = 0; i < counted->count; ++i) {
      const std::uint64_t value = LoadValue(values, i);
      out.push_back(Posting{RecordingOfIndexValue(value), AnchorFrameOfIndexValue(value)});
    }
  } else {
    LookupInChunks(hash, out);
  }
  const std::size_t middle = out.size();
  if (!fresh_empty_ && (counted == nullptr || counted->fresh_count > 0)) LookupInFresh(hash, out);
  // Fresh postings are the newer ones; merge should a damaged catalog break that.
  if (start < middle && middle < out.size() && PostingBefore(out[middle], out[middle - 1])) {
    std::inplace_merge(out.begin() + static_cast<std::ptrdiff_t>(start),
                       out.begin() + static_cast<std::ptrdiff_t>(middle), out.end(), PostingBefore);
  }
}

const PostingReader::CountedRun* PostingReader::FindCountedRun(std::uint32_t hash) const {
  const auto run =
      std::lower_bound(counted_runs_.begin(), counted_runs_.end(), hash,
                       [](const CountedRun& r, std::uint32_t h) { return r.hash < h; });
  return run != counted_runs_.end() && run->hash == hash ? &*run : nullptr;
}

bool PostingReader::SeekFirstChunk(std::uint32_t hash) const {
  const std::uint32_t bucket = IndexKey(hash);
  const std::uint64_t first = FirstIndexValue(hash);
  // The chunk holding `first` is the first of its bucket whose last value is
  // not below it. The one the cursor is on is that chunk when it ends at or
  // after `first` and `first` is not below its start: every earlier chunk
  // then ends before `first`.
  const bool reuse = chunk_count_ > 0 && chunk_bucket_ == bucket &&
                     LoadValue(chunk_values_, 0) <= first &&
                     LoadValue(chunk_values_, chunk_count_ - 1) >= first;
  if (reuse) return true;
  MDB_val key;
  ChunkView chunk;
  chunk_count_ = 0;
  if (!SeekChunk(index_cursor_, bucket, first, key, chunk, *environment_)) return false;
  chunk_bucket_ = bucket;
  chunk_values_ = chunk.values;
  chunk_count_ = chunk.count;
  return true;
}

void PostingReader::LookupInChunks(std::uint32_t hash, std::vector<Posting>& out) const {
  const std::uint32_t bucket = IndexKey(hash);
  const std::uint64_t first = FirstIndexValue(hash), last = LastIndexValue(hash);
  if (!SeekFirstChunk(hash)) return;
  for (std::size_t i = LowerBound(chunk_values_, chunk_count_, first);; i = 0) {
    for (; i < chunk_count_; ++i) {
      const std::uint64_t value = LoadValue(chunk_values_, i);
      if (value > last) return;
      out.push_back(Posting{RecordingOfIndexValue(value), AnchorFrameOfIndexValue(value)});
    }
    // The chunk ended within this hash's postings: they may run on.
    MDB_val key, data;
    chunk_count_ = 0;
    int rc = GuardedCursorGet(index_cursor_, &key, &data, MDB_NEXT);
    if (rc == MDB_NOTFOUND) return;
    Check(rc, *environment_, "read");
    const ChunkView chunk = ReadChunk(key, data, *environment_);
    if (BucketOfChunkKey(static_cast<const unsigned char*>(key.mv_data)) != bucket) return;
    chunk_bucket_ = bucket;
    chunk_values_ = chunk.values;
    chunk_count_ = chunk.count;
  }
}

void PostingReader::LookupInFresh(std::uint32_t hash, std::vector<Posting>& out) const {
  const std::uint32_t bucket = IndexKey(hash);
  const std::uint64_t first = FirstIndexValue(hash), last = LastIndexValue(hash);
  std::uint64_t from = first;
  MDB_val key = ValueOf(&bucket, sizeof bucket), data = ValueOf(&from, sizeof from);
  int rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_GET_BOTH_RANGE);
  if (rc == MDB_NOTFOUND) return;
  Check(rc, *environment_, "read");
  // Most hashes looked up are in no recording: settle those on the value found.
  if (LoadValue(data.mv_data, 0) > last) return;
  // GET_MULTIPLE gives the whole page holding the cursor, which may start
  // before `first`; for a bucket of one value it leaves `data` as it is.
  rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_GET_MULTIPLE);
  while (rc == MDB_SUCCESS) {
    const std::size_t count = data.mv_size / sizeof(std::uint64_t);
    for (std::size_t i = LowerBound(data.mv_data, count, first); i < count; ++i) {
      const std::uint64_t value = LoadValue(data.mv_data, i);
      if (value > last) return;
      out.push_back(Posting{RecordingOfIndexValue(value), AnchorFrameOfIndexValue(value)});
    }
    rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_NEXT_MULTIPLE);
  }
  if (rc != MDB_NOTFOUND) Check(rc, *environment_, "read");
}

std::vector<std::size_t> PostingReader::Counts(std::span<const std::uint32_t> hashes) const {
  counted_runs_.clear();
  counted_values_.clear();
  std::vector<std::size_t> counts;
  counts.reserve(hashes.size());
  for (std::uint32_t hash : hashes) {
    if (hash > kMaxIndexedHash) {
      counts.push_back(0);
      continue;
    }
    const std::size_t runs = counted_runs_.size();
    const std::size_t in_chunks = CountInChunks(hash);
    const std::size_t in_fresh = fresh_empty_ ? 0 : CountInFresh(hash);
    if (counted_runs_.size() > runs) counted_runs_.back().fresh_count = in_fresh;
    counts.push_back(in_chunks + in_fresh);
  }
  auto by_hash = [](const CountedRun& a, const CountedRun& b) { return a.hash < b.hash; };
  if (!std::is_sorted(counted_runs_.begin(), counted_runs_.end(), by_hash))
    std::stable_sort(counted_runs_.begin(), counted_runs_.end(), by_hash);
  return counts;
}

std::size_t PostingReader::CountInChunks(std::uint32_t hash) const {
  const std::uint32_t bucket = IndexKey(hash);
  const std::uint64_t first = FirstIndexValue(hash), last = LastIndexValue(hash);
  if (!SeekFirstChunk(hash)) {
    counted_runs_.push_back({hash, 0, nullptr, 0, 0});
    return 0;
  }
  std::size_t count = 0;
  for (std::size_t i = LowerBound(chunk_values_, chunk_count_, first);;) {
    // The run ends within this chunk: count up to its last value. (With
    // `last` the largest value there is, no chunk ends after it.)
    if (LoadValue(chunk_values_, chunk_count_ - 1) > last) {
      const std::size_t end = LowerBound(chunk_values_, chunk_count_, last + 1);
      // The Lookup that follows a count finds the run here, without
      // searching the index twice for every hash of a query.
      if (count == 0) {
        const auto* values =
            static_cast<const unsigned char*>(chunk_values_) + i * sizeof(std::uint64_t);
        CountedRun run{hash, static_cast<std::uint32_t>(end - i), values, 0, 0};
        if (end - i <= kHeldRunPostings) {
          run.values = nullptr;
          run.held = counted_values_.size();
          for (std::size_t k = i; k < end; ++k)
            counted_values_.push_back(LoadValue(chunk_values_, k));
        }
        counted_runs_.push_back(run);
      }
      return count + end - i;
    }
    count += chunk_count_ - i;
    // The run may go on. A chunk whose key (its last value) lies within it
    // is wholly the hash's: its size counts it, without reading it. The
    // first that ends beyond it is read, for where the run stops there.
    MDB_val key, data;
    for (;;) {
      chunk_count_ = 0;
      int rc = GuardedCursorGet(index_cursor_, &key, &data, MDB_NEXT);
      if (rc == MDB_NOTFOUND) return count;
      Check(rc, *environment_, "read");
      const auto* key_bytes = static_cast<const unsigned char*>(key.mv_data);
      if (key.mv_size != sizeof(ChunkKey)) FailDamagedChunk(*environment_, "a malformed entry");
      if (BucketOfChunkKey(key_bytes) != bucket) return count;
      if (LastValueOfChunkKey(key_bytes) > last) break;
      count += ChunkValueCount(key, data, *environment_);
    }
    const ChunkView chunk = ReadChunk(key, data, *environment_);
    chunk_bucket_ = bucket;
    chunk_values_ = chunk.values;
    chunk_count_ = chunk.count;
    i = 0;
  }
}

std::size_t PostingReader::CountInFresh(std::uint32_t hash) const {
  const std::uint32_t bucket = IndexKey(hash);
  const std::uint64_t first = FirstIndexValue(hash), last = LastIndexValue(hash);
  std::uint64_t from = first;
  MDB_val key = ValueOf(&bucket, sizeof bucket), data = ValueOf(&from, sizeof from);
  int rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_GET_BOTH_RANGE);
  if (rc == MDB_NOTFOUND) return 0;
  Check(rc, *environment_, "read");
  if (LoadValue(data.mv_data, 0) > last) return 0;
  // The fresh table is small (see above): its pages are counted value by
  // value, as LookupInFresh reads them.
  std::size_t count = 0;
  rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_GET_MULTIPLE);
  while (rc == MDB_SUCCESS) {
    const std::size_t values = data.mv_size / sizeof(std::uint64_t);
    const std::size_t begin = LowerBound(data.mv_data, values, first);
    if (LoadValue(data.mv_data, values - 1) > last) {
      return count + LowerBound(data.mv_data, values, last + 1) - begin;
    }
    count += values - begin;
    rc = GuardedCursorGet(fresh_cursor_, &key, &data, MDB_NEXT_MULTIPLE);
  }
  if (rc != MDB_NOTFOUND) Check(rc, *environment_, "read");
  return count;
}

std::uint64_t CountPostings(MDB_txn* txn, const Environment& e) {
  MDB_stat fresh;
  Check(mdb_stat(txn, e.fresh, &fresh), e, "read");
  return ReadMetaNumber(e, txn, kMetaIndexedPostings, 0) + fresh.ms_entries;
}

void PutPostings(MDB_txn* txn, const Environment& e, RecordingId id,
                 std::span<const fingerprint::Landmark> landmarks) {
  Cursor fresh(txn, e.fresh, e.directory);
  for (const fingerprint::Landmark& landmark : landmarks) {
    const std::uint32_t bucket = IndexKey(landmark.hash);
    std::uint64_t value = IndexValue(landmark.hash, id, landmark.anchor_frame);
    MDB_val key = ValueOf(&bucket, sizeof bucket), data = ValueOf(&value, sizeof value);
    Check(mdb_cursor_put(fresh.get(), &key, &data, 0), e, "write to");
  }
}

void DeletePostings(MDB_txn* txn, const Environment& e, RecordingId id,
                    std::span<const std::uint32_t> hash_prefixes) {
  std::vector<std::uint32_t> prefixes;
  for (std::uint32_t prefix : hash_prefixes) {
    if (prefix <= HashListPrefix(kMaxIndexedHash)) prefixes.push_back(prefix);
  }
  std::sort(prefixes.begin(), prefixes.end());
  {
    Cursor chunks(txn, e.index, e.directory);
    const std::uint64_t deleted = DeleteFromChunks(chunks.get(), id, prefixes, e);
    if (deleted > 0) {
      const std::uint64_t indexed = ReadMetaNumber(e, txn, kMetaIndexedPostings, 0);
      WriteMetaNumber(e, txn, kMetaIndexedPostings, indexed - std::min(indexed, deleted));
    }
  }
  Cursor fresh(txn, e.fresh, e.directory);
  DeleteFromFresh(fresh.get(), id, prefixes, e);
}

double FoldQuota(MDB_txn* txn, const Environment& e, std::uint64_t added_postings) {
  MDB_stat fresh_stat;
  Check(mdb_stat(txn, e.fresh, &fresh_stat), e, "read");
  // A change rewrites all of the fresh table, and the folds after it the
  // buckets they fold. Folding a share s of all postings after each change,
  // round the buckets in turn, keeps fresh near added_postings / (2 s)
  // postings, which take about twice the bytes of folded ones, so the sum
  // is least near s = sqrt(added / all).
  const double all =
      static_cast<double>(ReadMetaNumber(e, txn, kMetaIndexedPostings, 0) + fresh_stat.ms_entries);
  return std::sqrt(static_cast<double>(added_postings) * all);
}

void FoldFreshPostings(MDB_txn* txn, const Environment& e, double quota_postings) {
  std::uint64_t indexed = ReadMetaNumber(e, txn, kMetaIndexedPostings, 0);
  const auto next = static_cast<std::uint32_t>(ReadMetaNumber(e, txn, kMetaFoldNextBucket, 0) %
                                               kIndexBucketCount);
  Cursor chunks(txn, e.index, e.directory), fresh(txn, e.fresh, e.directory);
  std::vector<std::uint64_t> fresh_values, chunk_values, merged;
  // Counted in postings rather than buckets, as hashes crowd some buckets.
  double rewritten = 0;
  std::uint32_t visited = 0;
  while (visited < kIndexBucketCount && rewritten < quota_postings) {
    const std::uint32_t bucket = (next + visited++) % kIndexBucketCount;
    fresh_values.clear();
    TakeFreshBucket(fresh.get(), bucket, fresh_values, e);
    if (fresh_values.empty()) continue;
    chunk_values.clear();
    TakeChunks(chunks.get(), bucket, chunk_values, e);
    merged.resize(chunk_values.size() + fresh_values.size());
    std::merge(chunk_values.begin(), chunk_values.end(), fresh_values.begin(), fresh_values.end(),
               merged.begin());
    PutChunks(chunks.get(), bucket, merged, e);
    indexed += fresh_values.size();
    rewritten += static_cast<double>(merged.size());
  }
  WriteMetaNumber(e, txn, kMetaFoldNextBucket, (next + visited) % kIndexBucketCount);
  WriteMetaNumber(e, txn, kMetaIndexedPostings, indexed);
}

}  // namespace plim::catalog
