#include "platform/shazamkit/catalog_recognition_service.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "platform/catalog/catalog_error.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/matching/long_query.h"
#include "platform/shazamkit/shazamkit_error.h"

namespace plim::shazamkit {
namespace {

std::optional<std::string> Present(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

// Cut, not rounded, to hundredths: 0.999 s is too short, and must not read
// as the 1.00 s needed.
std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", std::floor(s * 100) / 100);
  return text;
}

// Checked before the catalog is opened: a clip too short is the caller's
// to fix whatever the catalog.
void CheckDuration(const SHSignature& signature) {
  if (signature.duration() < fingerprint::kMinQueryDurationS) {
    throw foundation::NSError(kShazamKitErrorDomain, kSignatureDurationInvalid,
                              "The audio is too short to match: it lasts " +
                                  Seconds(signature.duration()) + " seconds, and at least " +
                                  Seconds(fingerprint::kMinQueryDurationS) + " seconds are needed");
  }
}

}  // namespace

CatalogRecognitionService::CatalogRecognitionService(std::string location)
    : location_(std::move(location)) {}

catalog::CatalogStore& CatalogRecognitionService::OpenCatalog() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (catalog_) return *catalog_;
  try {
    catalog_ = catalog::OpenCatalogStore(location_, catalog::CatalogStore::Mode::kReadOnly);
  } catch (const foundation::NSError& error) {
    // The catalog's own texts say what is wrong; the service answers in its
    // own domain so that callers need to know only one.
    if (error.domain() == catalog::kCatalogErrorDomain &&
        error.code() == catalog::kCatalogErrorNoCatalog) {
      throw foundation::NSError(kShazamKitErrorDomain, kNoCatalog, error.description());
    }
    throw foundation::NSError(kShazamKitErrorDomain, kMatchAttemptFailed, error.description());
  }
  return *catalog_;
}

matching::MatchReport CatalogRecognitionService::Search(const SHSignature& signature) {
  CheckDuration(signature);
  std::unique_ptr<catalog::CatalogReader> reader = OpenCatalog().NewCatalogReader();
  return SearchIn(*reader, signature);
}

matching::MatchReport CatalogRecognitionService::SearchIn(const catalog::CatalogReader& reader,
                                                          const SHSignature& signature) {
  if (reader.RecordingCount() == 0) {
    throw foundation::NSError(kShazamKitErrorDomain, kCatalogEmpty,
                              "The catalog at " + foundation::QuotedText(OpenCatalog().location()) +
                                  " holds no recordings: add recordings with plim-catalog add");
  }
  const fingerprint::Constellation query = matching::BoundLongQuery(signature.constellation());
  return matching::MatchQuery(reader, query);
}

RecognitionOutcome CatalogRecognitionService::Recognize(const SHSignature& signature) {
  CheckDuration(signature);
  std::unique_ptr<catalog::CatalogReader> reader = OpenCatalog().NewCatalogReader();
  matching::MatchReport report = SearchIn(*reader, signature);
  SHMatch match;
  for (const matching::MatchCandidate& candidate : report.candidates) {
    if (!candidate.accepted) break;  // accepted ones come first
    std::optional<catalog::Recording> recording = reader->GetRecording(candidate.recording);
    if (recording) {
      match.mediaItems.push_back(MakeMediaItem(*recording, candidate));
    } else if (reader->SeesOneSnapshot()) {
      // Found in the index of the very snapshot that has no record of it.
      throw foundation::NSError(
          kShazamKitErrorDomain, kMatchAttemptFailed,
          "The catalog at " + foundation::QuotedText(OpenCatalog().location()) +
              " is damaged: its index names recording " + std::to_string(candidate.recording) +
              ", which has no record; plim-catalog verify names what is damaged, and "
              "plim-catalog rebuild --repair rebuilds it from the recordings' files");
    }
    // Else a recording removed since the search, no longer an answer.
  }
  if (match.mediaItems.empty()) return {};
  return {std::move(match), std::nullopt};
}

SHMatchedMediaItem MakeMediaItem(const catalog::Recording& recording,
                                 const matching::MatchCandidate& candidate) {
  SHMatchedMediaItem item;
  item.artist = Present(recording.artist);
  item.title = Present(recording.title);
  if (!recording.artwork_url.empty())
    item.artworkURL = foundation::URL::fromString(recording.artwork_url);
  item.subtitle = Present(recording.subtitle);
  item.isrc = Present(recording.isrc);
  item.genres = recording.genres;
  item.matchOffset = candidate.offset_s;
  item.frequencySkew = candidate.speed - 1;
  item.confidence = candidate.confidence;
  return item;
}

}  // namespace plim::shazamkit
