#include "platform/catalog/catalog_location.h"

#include <cstdlib>
#include <string_view>

namespace plim::catalog {
namespace {

std::string_view Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
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
  return std::filesystem::path(Variable("HOME")) / ".local" / "share" / "plim" / "catalog";
}

}  // namespace plim::catalog
