// The recognition service over a local catalog.

#ifndef PLIM_PLATFORM_SHAZAMKIT_CATALOG_RECOGNITION_SERVICE_H_
#define PLIM_PLATFORM_SHAZAMKIT_CATALOG_RECOGNITION_SERVICE_H_

#include <memory>
#include <mutex>
#include <string>

#include "platform/catalog/catalog_store.h"
#include "platform/matching/matcher.h"
#include "platform/shazamkit/recognition_service.h"

namespace plim::shazamkit {

// Answers from the catalog at `location` (a directory or a redis:// URL,
// see catalog::OpenCatalogStore), opened read-only on first use
// (so that making the service costs nothing and never fails). Matches are
// the accepted candidates of matching::FindMatches, best first; a long
// signature is matched by its excerpts (matching::BoundLongQuery). Answers with
// an error, in kShazamKitErrorDomain, when there is no catalog there
// (kNoCatalog), it can't be opened (kMatchAttemptFailed, saying why), it
// holds no recordings (kCatalogEmpty), or the signature is shorter than
// fingerprint::kMinQueryDurationS (kSignatureDurationInvalid). Thread-safe.
class CatalogRecognitionService : public RecognitionService {
 public:
  explicit CatalogRecognitionService(std::string location);

  RecognitionOutcome Recognize(const SHSignature& signature) override;

  // The full report behind an answer, for tools that show every candidate.
  // Throws foundation::NSError for the errors Recognize answers with.
  matching::MatchReport Search(const SHSignature& signature);

  // The catalog, opened on first use. Throws as Search.
  catalog::CatalogStore& OpenCatalog();

 private:
  // Search in the snapshot `reader` sees.
  matching::MatchReport SearchIn(const catalog::CatalogReader& reader,
                                 const SHSignature& signature);

  std::string location_;
  std::mutex mutex_;
  std::unique_ptr<catalog::CatalogStore> catalog_;  // guarded by mutex_ until set, then immutable
};

// The media item for recording `id` of the catalog, with the candidate's
// offset, skew and confidence.
SHMatchedMediaItem MakeMediaItem(const catalog::Recording& recording,
                                 const matching::MatchCandidate& candidate);

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_CATALOG_RECOGNITION_SERVICE_H_
