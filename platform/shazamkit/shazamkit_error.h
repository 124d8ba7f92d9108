// Errors of the signature generator and the recognition service.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SHAZAMKIT_ERROR_H_
#define PLIM_PLATFORM_SHAZAMKIT_SHAZAMKIT_ERROR_H_

#include <cstdint>

namespace plim::shazamkit {

inline constexpr char kShazamKitErrorDomain[] = "ShazamKit";

// Codes of kShazamKitErrorDomain.
enum ShazamKitErrorCode : std::int64_t {
  kInvalidAudioFormat = 100,        // a buffer the generator can't use
  kSignatureInvalid = 200,          // damaged or foreign signature data
  kSignatureDurationInvalid = 201,  // too short to be matched
  kMatchAttemptFailed = 202,        // the catalog could not be searched
  kNoCatalog = 300,                 // no catalog where one was expected
  kCatalogEmpty = 301,              // a catalog without recordings
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SHAZAMKIT_ERROR_H_
