#include "platform/catalog/redis/redis_location.h"

#include <algorithm>

#include "platform/catalog/catalog_error.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

constexpr std::string_view kScheme = "redis://";

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

bool IsPort(std::string_view text) {
  return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), ::isdigit);
}

// `location` as a message may show it: the password masked, and so is
// whatever stands where a port should, since a location that lacks its '@'
// has its password there.
std::string Shown(std::string_view location) {
  if (location.substr(0, kScheme.size()) != kScheme) return std::string(location);
  std::string_view rest = location.substr(kScheme.size());
  std::string shown(kScheme);
  if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = rest.substr(0, at);
    const std::size_t colon = user_info.find(':');
    shown += std::string(user_info.substr(0, colon)) +
             (colon == std::string_view::npos ? "" : ":***") + "@";
    rest = rest.substr(at + 1);
  }
  const std::size_t slash = std::min(rest.find('/'), rest.size());
  const std::string_view hosts = rest.substr(0, slash);
  for (std::size_t begin = 0; begin <= hosts.size();) {
    const std::size_t end = std::min(hosts.find(',', begin), hosts.size());
    std::string_view host = hosts.substr(begin, end - begin);
    const std::size_t colon = host.rfind(':');
    const bool port_shown = colon == std::string_view::npos || IsPort(host.substr(colon + 1));
    shown += (begin == 0 ? "" : ",") + std::string(port_shown ? host : host.substr(0, colon)) +
             (port_shown ? "" : ":***");
    begin = end + 1;
  }
  return shown + std::string(rest.substr(slash));
}

}  // namespace

std::string RedisLocation::text() const {
  std::string text(kScheme);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    if (i > 0) text += ',';
    text += seeds[i].text();
  }
  return text + "/" + name;
}

RedisLocation ParseRedisLocation(std::string_view text) {
  auto malformed = [&]() {
    throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorInvalidArgument,
                              "\"" + Shown(text) +
                                  "\" is not a Redis catalog location: write "
                                  "redis://[USER:PASSWORD@]HOST:PORT[,HOST:PORT...][/NAME]");
  };
  if (text.substr(0, kScheme.size()) != kScheme) malformed();
  std::string_view rest = text.substr(kScheme.size());
  RedisLocation location;
  if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = rest.substr(0, at);
    const std::size_t colon = user_info.find(':');
    location.credentials.user = std::string(user_info.substr(0, colon));
    if (colon != std::string_view::npos)
      location.credentials.password = std::string(user_info.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  location.name = "plim";
  if (std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    if (slash + 1 < rest.size()) location.name = std::string(rest.substr(slash + 1));
    rest = rest.substr(0, slash);
  }
  for (;;) {
    const std::size_t comma = std::min(rest.find(','), rest.size());
    std::string_view host = rest.substr(0, comma);
    RedisAddress seed{"", 6379};
    if (std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
      if (!IsPort(host.substr(colon + 1))) malformed();
      seed.port = std::stoi(std::string(host.substr(colon + 1)));
      host = host.substr(0, colon);
    }
    seed.host = std::string(host);
    if (seed.host.empty() || seed.port <= 0 || seed.port > 65535) malformed();
    location.seeds.push_back(std::move(seed));
    if (comma == rest.size()) break;
    rest = rest.substr(comma + 1);
  }
  if (!std::all_of(location.name.begin(), location.name.end(), IsNameCharacter)) malformed();
  return location;
}

}  // namespace plim::catalog
