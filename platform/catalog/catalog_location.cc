#include "platform/catalog/catalog_location.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/catalog_error.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

std::string_view Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

// The home directory the user database gives this process's user, or "".
std::string UserDatabaseHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

}  // namespace

std::filesystem::path DefaultCatalogDirectory() {
  if (std::string_view explicit_dir = Variable("PLIM_CATALOG"); !explicit_dir.empty()) {
    return std::filesystem::path(explicit_dir);
  }
  // The XDG base-directory rules say a relative XDG_DATA_HOME is invalid and
  // must be ignored.
  if (std::string_view xdg = Variable("XDG_DATA_HOME"); !xdg.empty() && xdg.front() == '/') {
    return std::filesystem::path(xdg) / "plim" / "catalog";
  }
  // Without an absolute HOME (cron, some services) the catalog would land
  // wherever the program happens to run.
  std::string home(Variable("HOME"));
  if (home.empty() || home.front() != '/') home = UserDatabaseHome();
  if (home.empty() || home.front() != '/') {
    throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorNoCatalog,
                              "There is no place for the catalog: HOME is not set and the user "
                              "has no home directory; name one with PLIM_CATALOG");
  }
  return std::filesystem::path(home) / ".local" / "share" / "plim" / "catalog";
}

}  // namespace plim::catalog
