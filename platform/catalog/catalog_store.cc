#include "platform/catalog/catalog_store.h"

#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/redis/redis_catalog.h"

namespace plim::catalog {

bool IsRedisLocation(std::string_view location) { return location.starts_with("redis://"); }

std::unique_ptr<CatalogStore> OpenCatalogStore(const std::string& location, CatalogStore::Mode mode,
                                               const OpenOptions& options) {
  if (IsRedisLocation(location)) return RedisCatalog::Open(location, mode, options);
  return Catalog::Open(location, mode, options);
}

}  // namespace plim::catalog
