#include "driver/run_match.h"

#include <memory>

#include "audio/make_signature.h"
#include "driver/run_error.h"
#include "output/write_json.h"
#include "recognition/match_delegate.h"

namespace plim {

void runMatch(const std::string& path) {
  runMatch(path, [] { return shazamkit::SHSession(); });
}

void runMatch(const std::string& path, const std::function<shazamkit::SHSession()>& make_session) {
  shazamkit::SHSignature signature = makeSignature(path);
  auto delegate = std::make_shared<MatchDelegate>();
  shazamkit::SHSession session = make_session();
  session.setDelegate(delegate);
  session.matchSignature(signature);
  // The deadline is taken only now, however long the file took to read.
  if (!delegate->wait(kRecognitionTimeoutS)) throw RunError::timedOut();
  writeJSON(delegate->output);
}

}  // namespace plim
