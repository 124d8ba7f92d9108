#include "recognition/match_delegate.h"

namespace plim {

bool MatchDelegate::wait(double timeout_s) {
  return semaphore_.wait(dispatch::dispatchTimeFromNow(timeout_s));
}

void MatchDelegate::sessionDidFindMatch(const shazamkit::SHSession&,
                                        const shazamkit::SHMatch& match) {
  // Built from the initial value, so nothing of an earlier outcome survives.
  MatchOutput result;
  if (match.mediaItems.empty()) {
    result.message = "No media item returned";
  } else {
    const shazamkit::SHMatchedMediaItem& item = match.mediaItems.front();
    result.matched = true;
    result.artist = item.artist;
    result.title = item.title;
    if (item.artworkURL) result.artwork = item.artworkURL->absoluteString();
  }
  output = std::move(result);
  semaphore_.signal();
}

void MatchDelegate::sessionDidNotFindMatchForSignature(
    const shazamkit::SHSession&, const shazamkit::SHSignature&,
    const std::optional<foundation::NSError>& error) {
  MatchOutput result;
  if (error) result.message = error->description();
  output = std::move(result);
  semaphore_.signal();
}

}  // namespace plim
