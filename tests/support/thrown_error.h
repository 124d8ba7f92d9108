// The error a call is expected to throw, caught for the test to examine.

#ifndef PLIM_TESTS_SUPPORT_THROWN_ERROR_H_
#define PLIM_TESTS_SUPPORT_THROWN_ERROR_H_

#include <gtest/gtest.h>

#include <utility>

#include "platform/foundation/ns_error.h"

namespace plim::testing {

// The `Error` (NSError or a subclass) that `action` throws. When it throws
// none the test fails, and the error returned has an empty domain, code 0
// and an empty description, which no check of a real error accepts. Other
// exceptions pass through.
template <typename Error = foundation::NSError, typename Action>
Error ThrownError(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "no error was thrown";
  return Error("", 0, "");
}

}  // namespace plim::testing

#endif  // PLIM_TESTS_SUPPORT_THROWN_ERROR_H_
