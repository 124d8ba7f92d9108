// The result line: a MatchOutput as one line of compact JSON.

#ifndef PLIM_OUTPUT_WRITE_JSON_H_
#define PLIM_OUTPUT_WRITE_JSON_H_

#include <string>

#include "output/match_output.h"

namespace plim {

// The compact JSON object for `output`, without a line feed: "matched"
// always, then each present optional field in CodingKeys order (absent ones
// left out, never null). Throws RunError (domain "JSONEncoder", code 1)
// naming the field when a text is not valid UTF-8.
std::string encodeJSON(const MatchOutput& output);

// Encodes `output` and writes it to standard output in one unbuffered write,
// then a single line feed in a second. When encoding fails nothing at all is
// written and the RunError propagates. The outcome of the writes is not
// looked at.
void writeJSON(MatchOutput output);

}  // namespace plim

#endif  // PLIM_OUTPUT_WRITE_JSON_H_
