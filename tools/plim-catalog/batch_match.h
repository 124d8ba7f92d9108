// `plim-catalog match` over many files: one answer per file.

#ifndef PLIM_TOOLS_PLIM_CATALOG_BATCH_MATCH_H_
#define PLIM_TOOLS_PLIM_CATALOG_BATCH_MATCH_H_

#include <string>
#include <vector>

#include "tools/plim-catalog/global_options.h"

namespace plim {

// Matches every file of `paths` (files; folders, searched recursively as
// `add` searches them; "-" for paths read from standard input, one a line)
// on `jobs` threads (0: one per core) and writes one answer per file to
// standard output in the order the files were named, the same whether one
// file or many are named: the path with the best accepted recording (id,
// artist, title, offset into it, speed skew, confidence) or "no match";
// with global.json one JSON object a line with "path" (the file matched)
// and "matched". With `with_candidates`, each file's best candidates too
// (id, title, artist, accepted, aligned landmarks, hits, confidence,
// offset, speed skew, the chance of a false match, the recording's path):
// in JSON as the array "candidates" of the file's line; in text as a table
// under the file's path, with a legend of the columns at the end unless
// quiet. A file that can't be read or matched gets its error on a line of
// its own (standard error; with global.json a JSON line with "path" and
// "error" on standard output) and the others go on; files found in folders
// that don't decode as audio and whose names don't say audio are left out
// silently. Returns 1 when any file failed or the catalog could not be
// opened, else 0.
int RunBatchMatch(const GlobalOptions& global, const std::vector<std::string>& paths, unsigned jobs,
                  bool with_candidates);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_BATCH_MATCH_H_
