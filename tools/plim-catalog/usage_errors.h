// The command line's mistakes in the user's words: checks of option values
// that say what was wanted, and CLI11's parse errors made into one line
// that names the operand or option as the help shows it.

#ifndef PLIM_TOOLS_PLIM_CATALOG_USAGE_ERRORS_H_
#define PLIM_TOOLS_PLIM_CATALOG_USAGE_ERRORS_H_

#include <CLI/CLI.hpp>
#include <string>

namespace plim {

// A check that an option's value is a whole number from `min` to `max`;
// its message says so and quotes the value given.
CLI::Validator WholeNumberFrom(unsigned min, unsigned max);

// A check that an option's value is a number of seconds, 0 or more.
CLI::Validator SecondsOrMore();

// One line (no program name, no line feed) saying what is wrong with the
// command line, for `error` raised by `app`'s parse, ending with where the
// help is. `error` must not be a request for help or for the version.
std::string DescribeParseError(const CLI::ParseError& error, CLI::App& app);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_USAGE_ERRORS_H_
