// Where a user's catalog lives when no directory is named.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_

#include <filesystem>

namespace plim::catalog {

// $PLIM_CATALOG when set and non-empty; else $XDG_DATA_HOME/plim/catalog when
// XDG_DATA_HOME is set, non-empty and absolute; else
// HOME/.local/share/plim/catalog, where HOME is $HOME when absolute, else
// the user's home directory in the user database. Nothing is created or
// checked. Throws foundation::NSError (kCatalogErrorNoCatalog) when there is
// no absolute home either, rather than a path relative to wherever the
// program runs. Thread-safe as long as nobody calls setenv.
std::filesystem::path DefaultCatalogDirectory();

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_
