#include "recognition/match_delegate.h"

namespace plim {

bool MatchDelegate::wait(double timeout_s) {
  return semaphore_.wait(dispatch::dispatchTimeFromNow(timeout_s));
}

void MatchDelegate::sessionDidFindMatch(const shazamkit::SHSession&,
                                        const shazamkit::SHMatch& match) {
  if (match.mediaItems.empty()) {
    output = MatchOutput(false, std::nullopt, std::nullopt, std::nullopt, "No media item returned");
  } else {
    const shazamkit::SHMatchedMediaItem& item = match.mediaItems.front();
    std::optional<std::string> artwork;
    if (item.artworkURL) artwork = item.artworkURL->absoluteString();
    output = MatchOutput(true, item.artist, item.title, artwork, std::nullopt);
  }
  semaphore_.signal();
}

void MatchDelegate::sessionDidNotFindMatchForSignature(
    const shazamkit::SHSession&, const shazamkit::SHSignature&,
    const std::optional<foundation::NSError>& error) {
  std::optional<std::string> message;
  if (error) message = error->description();
  output = MatchOutput(false, std::nullopt, std::nullopt, std::nullopt, message);
  semaphore_.signal();
}

}  // namespace plim
