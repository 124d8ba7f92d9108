// What a catalog's server is set to that risks its data or its size
// (CatalogStore::warnings), shown to the user when a command opens it.

#ifndef PLIM_TOOLS_PLIM_CATALOG_STORE_WARNINGS_H_
#define PLIM_TOOLS_PLIM_CATALOG_STORE_WARNINGS_H_

#include "platform/catalog/catalog_store.h"

namespace plim {

// Writes each of `store`'s warnings to standard error, one line each after
// the program's name.
void WriteStoreWarnings(const catalog::CatalogStore& store);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_STORE_WARNINGS_H_
