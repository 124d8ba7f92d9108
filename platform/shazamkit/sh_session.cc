#include "platform/shazamkit/sh_session.h"

#include <exception>
#include <thread>

#include "platform/catalog/catalog_location.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "platform/shazamkit/shazamkit_error.h"

namespace plim::shazamkit {

SHSession::SHSession()
    : SHSession(std::make_shared<CatalogRecognitionService>(catalog::DefaultCatalogDirectory())) {}

SHSession::SHSession(std::shared_ptr<RecognitionService> service)
    : core_(std::make_shared<Core>()) {
  core_->service = std::move(service);
}

void SHSession::setDelegate(const std::shared_ptr<SHSessionDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->delegate = delegate;
}

void SHSession::matchSignature(const SHSignature& signature) {
  std::weak_ptr<SHSessionDelegate> delegate;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    delegate = core_->delegate;
  }
  // The thread owns everything it touches (a handle to the core, a copy of
  // the signature, a weak delegate), so it may outlive this session and the
  // request's caller: it is detached rather than joined, and a caller that
  // stopped waiting is not held up by a slow search.
  std::thread([core = core_, signature, delegate] {
    RecognitionOutcome outcome;
    try {
      outcome = core->service->Recognize(signature);
    } catch (const foundation::NSError& error) {
      outcome = {std::nullopt, error};
    } catch (const std::exception& error) {
      outcome = {std::nullopt,
                 foundation::NSError(kShazamKitErrorDomain, kMatchAttemptFailed, error.what())};
    } catch (...) {
      outcome = {std::nullopt, foundation::NSError(kShazamKitErrorDomain, kMatchAttemptFailed,
                                                   "The match attempt failed")};
    }
    std::shared_ptr<SHSessionDelegate> receiver = delegate.lock();
    if (!receiver) return;
    SHSession session(core);
    if (outcome.match) {
      receiver->sessionDidFindMatch(session, *outcome.match);
    } else {
      receiver->sessionDidNotFindMatchForSignature(session, signature, outcome.error);
    }
  }).detach();
}

}  // namespace plim::shazamkit
