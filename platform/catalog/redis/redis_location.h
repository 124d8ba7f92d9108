// Where a Redis catalog is, and who may reach it:
//
//   redis://[USER[:PASSWORD]@]HOST[:PORT][,HOST[:PORT]...][/NAME]
//
// The hosts are seeds: nodes of one cluster, tried in turn. PORT is 6379
// and NAME "plim" when left out. The password, when the location holds
// none, comes from the environment variable PLIM_REDIS_PASSWORD (see
// RedisCatalog::Open).
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_LOCATION_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_LOCATION_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/redis/redis_cluster.h"

namespace plim::catalog {

// Where the password is looked for when the location holds none.
inline constexpr char kRedisPasswordVariable[] = "PLIM_REDIS_PASSWORD";

struct RedisLocation {
  std::vector<RedisAddress> seeds;  // at least one
  std::string name;
  RedisCredentials credentials;
  // redis://HOST:PORT[,HOST:PORT...]/NAME: for messages and picture URLs,
  // so never with the user or password.
  std::string text() const;
};

// Parses `location`. USER is what stands before the first ':' of the part
// before the last '@', PASSWORD the rest of it, taken as written (no
// %-escapes: a password may hold any character). Throws
// foundation::NSError (kCatalogErrorInvalidArgument) when it is malformed
// or the name has characters other than letters, digits, '-', '_' and
// '.'; the message never holds the password. Pure function.
RedisLocation ParseRedisLocation(std::string_view location);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_LOCATION_H_
