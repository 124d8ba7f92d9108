// Where a user's catalog lives when no directory is named.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_

#include <filesystem>

namespace plim::catalog {

// $PLIM_CATALOG when set and non-empty; else $XDG_DATA_HOME/plim/catalog when
// XDG_DATA_HOME is set, non-empty and absolute; else
// $HOME/.local/share/plim/catalog. Reads the environment only: nothing is
// created or checked. With none of these variables set, a relative
// ".local/share/plim/catalog". Thread-safe as long as nobody calls setenv.
std::filesystem::path DefaultCatalogDirectory();

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_LOCATION_H_
