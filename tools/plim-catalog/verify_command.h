// `plim-catalog verify`: reads the whole catalog and says what is damaged.

#ifndef PLIM_TOOLS_PLIM_CATALOG_VERIFY_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_VERIFY_COMMAND_H_

#include "tools/plim-catalog/global_options.h"

namespace plim {

// Checks every stored value of the catalog (catalog::Catalog::Verify, or
// catalog::RedisCatalog::Verify for a redis:// location).
// Writes one line a damaged thing, naming the recording and its file when
// known, then a summary, to standard output (JSON lines with global.json);
// when anything is damaged, says on standard error how to rebuild the
// catalog from its recordings' files. Returns 0 for an intact catalog, 1 for
// a damaged one or one that can't be opened.
int RunVerifyCommand(const GlobalOptions& global);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_VERIFY_COMMAND_H_
