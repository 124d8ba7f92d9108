// A small client of a Redis Cluster (or of one Redis server) over hiredis:
// finds the cluster's nodes from any one of them, sends each command to the
// node owning its key's hash slot, pipelines a batch of commands to all its
// nodes at once so that it costs one round trip, not one per node, and
// follows MOVED and ASK redirects and failovers.
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_CLUSTER_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_CLUSTER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace plim::catalog {

// The hash slot (0..16383) of `key`: CRC16 (XMODEM) of the key, or of the
// part between the first '{' and the next '}' when that part is not empty.
// Pure function.
std::uint16_t KeySlot(std::string_view key);

// One reply, copied out of hiredis.
struct RedisValue {
  enum class Type { kNil, kInteger, kString, kArray, kStatus, kError };
  Type type = Type::kNil;
  long long integer = 0;
  std::string text;  // kString, kStatus, kError
  std::vector<RedisValue> elements;

  bool is_error() const { return type == Type::kError; }
  bool is_nil() const { return type == Type::kNil; }
};

// An integer reply, or one sent as text (GET of a counter); `fallback` for
// nil and anything else.
long long RedisInteger(const RedisValue& value, long long fallback = 0);

// A command and its arguments (binary-safe); the argument at `key_index`
// is the key that routes it.
struct RedisCommand {
  std::vector<std::string> args;
  std::size_t key_index = 1;
};

struct RedisAddress {
  std::string host;
  int port = 0;
  std::string text() const { return host + ":" + std::to_string(port); }
  bool operator<(const RedisAddress& o) const {
    return host != o.host ? host < o.host : port < o.port;
  }
  bool operator==(const RedisAddress&) const = default;
};

// Who the client is to every node (Redis ACL). Never put in a message.
struct RedisCredentials {
  std::string user;      // empty for the default user
  std::string password;  // empty: no AUTH
};

// Whether the reply just read to `command` is to be taken as lost, as when
// a connection breaks between a command's effect and its reply: Run then
// sends it again. False always here; a test that must see repeats defines
// its own (this one is a weak symbol). Called from any thread.
bool RedisReplyLostForTesting(const RedisCommand& command);

// Not thread-safe: one client per thread (RedisCatalog keeps a pool).
class RedisCluster {
 public:
  // `seeds` are nodes of the cluster (at least one), tried in turn until
  // one answers; the cluster map it gives names the rest. Every connection
  // authenticates with `credentials` when they hold a password. Every
  // command is given up on when no answer came within `timeout_s`; a batch
  // that meets a cluster being re-formed (a node down, a failover under
  // way) is retried until `retry_window_s` has passed. Throws
  // foundation::NSError (kCatalogErrorCannotOpen, naming the addresses,
  // never the password) when no seed answers or the credentials are refused.
  RedisCluster(std::vector<RedisAddress> seeds, double timeout_s, double retry_window_s,
               RedisCredentials credentials = {});
  ~RedisCluster();
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  // Runs `commands` and returns their replies in the same order. Every
  // node's commands are written, one pipeline each, before any reply is
  // read, so that a batch costs about its slowest node's time. Error
  // replies other than redirects and a re-forming cluster are returned as
  // kError values. Throws NSError (kCatalogErrorCannotOpen) when a node
  // stays unreachable or silent, or a command's hash slot stays without a
  // node (naming the slot), for the retry window: the batch may then have
  // been partly applied, so writes must be safe to repeat.
  std::vector<RedisValue> Run(std::span<const RedisCommand> commands);
  RedisValue Run(RedisCommand command);

  // Runs `command` on every master once (INFO, FLUSHALL); replies by master.
  std::vector<RedisValue> RunOnMasters(const RedisCommand& command);

  // Every key matching `pattern` (SCAN's glob) on every master.
  std::vector<std::string> ScanKeys(const std::string& pattern);

  // Reads hash `key` with HSCAN, about `batch_fields` fields a call, and
  // hands `visit` each reply's fields and values, alternating. A field may
  // come twice when the hash changes meanwhile. Throws as Run.
  void ScanHash(const std::string& key, std::size_t batch_fields,
                const std::function<void(std::span<const RedisValue>)>& visit);

  // The masters of the last cluster map, in the order RunOnMasters answers.
  const std::vector<RedisAddress>& masters() const { return masters_; }

  // The seeds' addresses, for messages: HOST:PORT[,HOST:PORT...].
  std::string seed_text() const;

 private:
  struct Connection;
  void Discover();
  // The connection to `address`, made when missing; nullptr with `reason`
  // ("HOST:PORT: what went wrong") when it can't be made.
  Connection* TryConnect(const RedisAddress& address, std::string& reason);
  Connection& ConnectionTo(const RedisAddress& address);
  void Drop(const RedisAddress& address);
  RedisValue RunOn(const RedisAddress& address, const RedisCommand& command);

  std::vector<RedisAddress> seeds_;
  RedisCredentials credentials_;
  double timeout_s_;
  double retry_window_s_;
  std::vector<std::uint16_t> slot_owner_;  // slot -> index into masters_
  std::vector<RedisAddress> masters_;
  std::map<RedisAddress, std::unique_ptr<Connection>> connections_;
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_CLUSTER_H_
