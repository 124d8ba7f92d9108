// plim-shazamkit: identifies the music in an audio file and prints one line
// of JSON. Exit status 0 when the result line was written, 1 otherwise.

#include <exception>
#include <new>

#include "driver/report_failure.h"
#include "driver/run_error.h"
#include "driver/run_match.h"

int main(int argc, char** argv) {
  using plim::RunError;
  try {
    // Exactly one operand; anything, even "-x" or "", is taken as the path.
    if (argc != 2) throw RunError::usage();
    plim::runMatch(argv[1]);
    return 0;
  } catch (const plim::foundation::NSError& error) {
    plim::reportFailure(RunError(error));
  } catch (const std::bad_alloc&) {
    plim::reportFailure(RunError("plim.memory", 1, "Out of memory"));
  } catch (const std::exception& error) {
    plim::reportFailure(RunError("plim.internal", 1, error.what()));
  }
}
