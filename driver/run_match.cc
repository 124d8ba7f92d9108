#include "driver/run_match.h"

#include "platform/foundation/ns_error.h"

namespace plim {

void runMatch(const std::string& path) {
  (void)path;
  throw foundation::NSError("plim", 1, "Recognition is not available in this build yet");
}

}  // namespace plim
