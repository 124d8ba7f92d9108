#include "driver/report_failure.h"

#include <cstdlib>

#include "platform/foundation/standard_stream.h"

namespace plim {

void reportFailure(const RunError& error) {
  std::string report = error.description();
  report.push_back('\n');
  foundation::writeToStandardError(report);
  std::exit(1);
}

}  // namespace plim
