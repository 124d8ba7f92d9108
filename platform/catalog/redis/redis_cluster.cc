#include "platform/catalog/redis/redis_cluster.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/catalog/catalog_error.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

constexpr std::uint16_t kSlotCount = 16384;
constexpr std::uint16_t kNoOwner = 0xFFFF;

using Clock = std::chrono::steady_clock;

[[noreturn]] void FailReach(const std::string& seed, const std::string& reason) {
  throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorCannotOpen,
                            "The Redis catalog at " + seed + " can't be reached: " + reason);
}

timeval TimevalOf(double seconds) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
  return tv;
}

RedisValue Copy(const redisReply* reply) {
  RedisValue value;
  switch (reply->type) {
    case REDIS_REPLY_INTEGER:
      value.type = RedisValue::Type::kInteger;
      value.integer = reply->integer;
      break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
      value.type = reply->type == REDIS_REPLY_STRING   ? RedisValue::Type::kString
                   : reply->type == REDIS_REPLY_STATUS ? RedisValue::Type::kStatus
                                                       : RedisValue::Type::kError;
      value.text.assign(reply->str, reply->len);
      break;
    case REDIS_REPLY_ARRAY:
      value.type = RedisValue::Type::kArray;
      for (std::size_t i = 0; i < reply->elements; ++i)
        value.elements.push_back(Copy(reply->element[i]));
      break;
    default:
      break;
  }
  return value;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// "MOVED 3999 127.0.0.1:6381" -> slot and address.
bool ParseRedirect(const std::string& text, std::uint16_t& slot, RedisAddress& to) {
  const std::size_t first = text.find(' ');
  const std::size_t second = text.find(' ', first + 1);
  const std::size_t colon = text.rfind(':');
  if (first == std::string::npos || second == std::string::npos || colon == std::string::npos ||
      colon < second) {
    return false;
  }
  try {
    slot = static_cast<std::uint16_t>(std::stoi(text.substr(first + 1, second - first - 1)));
    to.host = text.substr(second + 1, colon - second - 1);
    to.port = std::stoi(text.substr(colon + 1));
  } catch (const std::exception&) {
    return false;
  }
  return slot < kSlotCount;
}

// Errors of a cluster that is re-forming: worth waiting for.
bool IsTransient(const std::string& error) {
  return StartsWith(error, "CLUSTERDOWN") || StartsWith(error, "TRYAGAIN") ||
         StartsWith(error, "LOADING") || StartsWith(error, "MASTERDOWN");
}

}  // namespace

__attribute__((weak)) bool RedisReplyLostForTesting(const RedisCommand&) { return false; }

long long RedisInteger(const RedisValue& value, long long fallback) {
  if (value.type == RedisValue::Type::kInteger) return value.integer;
  if (value.type != RedisValue::Type::kString) return fallback;
  try {
    return std::stoll(value.text);
  } catch (const std::exception&) {
    return fallback;
  }
}

std::uint16_t KeySlot(std::string_view key) {
  if (std::size_t open = key.find('{'); open != std::string_view::npos) {
    std::size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1)
      key = key.substr(open + 1, close - open - 1);
  }
  std::uint16_t crc = 0;
  for (unsigned char byte : key) {
    crc ^= static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
  }
  return crc % kSlotCount;
}

struct RedisCluster::Connection {
  redisContext* context = nullptr;
  ~Connection() {
    if (context != nullptr) redisFree(context);
  }
};

RedisCluster::RedisCluster(std::vector<RedisAddress> seeds, double timeout_s, double retry_window_s,
                           RedisCredentials credentials)
    : seeds_(std::move(seeds)),
      credentials_(std::move(credentials)),
      timeout_s_(timeout_s),
      retry_window_s_(retry_window_s),
      slot_owner_(kSlotCount, kNoOwner) {
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retry_window_s_));
  for (;;) {
    try {
      Discover();
      return;
    } catch (const foundation::NSError&) {
      // A refused connection is final: nothing listens there. A cluster
      // still forming is worth the wait.
      if (Clock::now() >= deadline || masters_.empty()) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

RedisCluster::~RedisCluster() = default;

std::string RedisCluster::seed_text() const {
  std::string text;
  for (const RedisAddress& seed : seeds_) {
    if (!text.empty()) text += ',';
    text += seed.text();
  }
  return text;
}

RedisCluster::Connection* RedisCluster::TryConnect(const RedisAddress& address,
                                                   std::string& reason) {
  std::unique_ptr<Connection>& slot = connections_[address];
  if (slot) return slot.get();
  auto connection = std::make_unique<Connection>();
  connection->context =
      redisConnectWithTimeout(address.host.c_str(), address.port, TimevalOf(timeout_s_));
  if (connection->context == nullptr || connection->context->err != 0) {
    reason = address.text() + ": " +
             (connection->context == nullptr ? "out of memory" : connection->context->errstr);
    connections_.erase(address);
    return nullptr;
  }
  redisSetTimeout(connection->context, TimevalOf(timeout_s_));
  if (!credentials_.password.empty()) {
    std::vector<const char*> argv{"AUTH"};
    std::vector<std::size_t> lengths{4};
    if (!credentials_.user.empty()) {
      argv.push_back(credentials_.user.data());
      lengths.push_back(credentials_.user.size());
    }
    argv.push_back(credentials_.password.data());
    lengths.push_back(credentials_.password.size());
    auto* raw = static_cast<redisReply*>(redisCommandArgv(
        connection->context, static_cast<int>(argv.size()), argv.data(), lengths.data()));
    if (raw == nullptr) {
      reason = address.text() + ": " + connection->context->errstr;
      connections_.erase(address);
      return nullptr;
    }
    const RedisValue reply = Copy(raw);
    freeReplyObject(raw);
    if (reply.is_error()) {
      // The server's words name no password, but a message must never
      // hold one: only its error code is passed on.
      reason = address.text() + ": the user name or password was refused (" +
               reply.text.substr(0, reply.text.find(' ')) + ")";
      connections_.erase(address);
      return nullptr;
    }
  }
  slot = std::move(connection);
  return slot.get();
}

RedisCluster::Connection& RedisCluster::ConnectionTo(const RedisAddress& address) {
  std::string reason;
  Connection* connection = TryConnect(address, reason);
  if (connection == nullptr) FailReach(seed_text(), reason);
  return *connection;
}

void RedisCluster::Drop(const RedisAddress& address) { connections_.erase(address); }

void RedisCluster::Discover() {
  // The seeds in turn, then the masters the last map named.
  std::vector<RedisAddress> candidates = seeds_;
  for (const RedisAddress& m : masters_)
    if (std::find(candidates.begin(), candidates.end(), m) == candidates.end())
      candidates.push_back(m);
  std::string last_error;
  for (const RedisAddress& node : candidates) {
    Connection* connection = TryConnect(node, last_error);
    if (connection == nullptr) continue;
    auto* raw = static_cast<redisReply*>(redisCommand(connection->context, "CLUSTER SLOTS"));
    if (raw == nullptr) {
      last_error = node.text() + ": " + connection->context->errstr;
      Drop(node);
      continue;
    }
    RedisValue reply = Copy(raw);
    freeReplyObject(raw);
    if (reply.is_error() && reply.text.find("cluster support disabled") != std::string::npos) {
      masters_ = {node};  // one server: it owns every slot
      slot_owner_.assign(kSlotCount, 0);
      return;
    }
    if (reply.type != RedisValue::Type::kArray) {
      last_error = node.text() + ": " + reply.text;
      continue;
    }
    std::vector<RedisAddress> masters;
    std::vector<std::uint16_t> owners(kSlotCount, kNoOwner);
    for (const RedisValue& range : reply.elements) {
      if (range.elements.size() < 3 || range.elements[2].elements.size() < 2) continue;
      RedisAddress master{range.elements[2].elements[0].text,
                          static_cast<int>(range.elements[2].elements[1].integer)};
      if (master.host.empty()) master.host = node.host;
      std::size_t index = 0;
      while (index < masters.size() && !(masters[index] == master)) ++index;
      if (index == masters.size()) masters.push_back(master);
      for (long long s = range.elements[0].integer;
           s <= range.elements[1].integer && s < kSlotCount; ++s) {
        owners[static_cast<std::size_t>(s)] = static_cast<std::uint16_t>(index);
      }
    }
    if (masters.empty()) {
      last_error = node.text() + ": the cluster has no slots assigned yet";
      continue;
    }
    masters_ = std::move(masters);
    slot_owner_ = std::move(owners);
    return;
  }
  FailReach(seed_text(), last_error);
}

RedisValue RedisCluster::Run(RedisCommand command) {
  return std::move(Run(std::span<const RedisCommand>(&command, 1)).front());
}

std::vector<RedisValue> RedisCluster::Run(std::span<const RedisCommand> commands) {
  struct Pending {
    std::size_t index;
    RedisAddress target;
    bool asking = false;
  };
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retry_window_s_));
  std::vector<RedisValue> replies(commands.size());
  std::vector<Pending> pending;
  auto route = [&](std::size_t index) -> std::optional<RedisAddress> {
    const RedisCommand& c = commands[index];
    const std::uint16_t owner = slot_owner_[KeySlot(c.args.at(c.key_index))];
    if (owner == kNoOwner) return std::nullopt;
    return masters_[owner];
  };
  std::vector<std::size_t> unrouted;
  for (std::size_t i = 0; i < commands.size(); ++i) unrouted.push_back(i);
  std::string last_error;
  for (int round = 0;; ++round) {
    // A slot without a node may be in the middle of a failover: its
    // commands wait for the next map, and fail the batch when none came.
    std::vector<std::size_t> unserved;
    for (std::size_t i : unrouted) {
      if (std::optional<RedisAddress> to = route(i)) {
        pending.push_back({i, *to});
      } else {
        const RedisCommand& c = commands[i];
        last_error = "no node serves hash slot " + std::to_string(KeySlot(c.args.at(c.key_index))) +
                     " (a failover under way, or a slot left unassigned)";
        unserved.push_back(i);
      }
    }
    unrouted = std::move(unserved);
    std::map<RedisAddress, std::vector<Pending>> by_node;
    for (Pending& p : pending) by_node[p.target].push_back(p);
    pending.clear();
    std::vector<Pending> again;
    bool rediscover = !unrouted.empty();
    // Every node's commands go out before any reply is read, so that a
    // batch over several masters costs the slowest one's time, not the sum.
    std::vector<std::pair<const RedisAddress*, std::vector<Pending>*>> sent;
    for (auto& [address, group] : by_node) {
      Connection* connection = TryConnect(address, last_error);
      if (connection == nullptr) {
        for (Pending& p : group) unrouted.push_back(p.index);
        rediscover = true;
        continue;
      }
      redisContext* context = connection->context;
      for (const Pending& p : group) {
        if (p.asking) redisAppendCommand(context, "ASKING");
        const RedisCommand& c = commands[p.index];
        std::vector<const char*> argv;
        std::vector<std::size_t> lengths;
        for (const std::string& a : c.args) {
          argv.push_back(a.data());
          lengths.push_back(a.size());
        }
        redisAppendCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data());
      }
      // hiredis sends what was appended only when a reply is asked for.
      int done = 0;
      while (done == 0 && redisBufferWrite(context, &done) == REDIS_OK) {
      }
      sent.emplace_back(&address, &group);
    }
    for (auto [address_ptr, group_ptr] : sent) {
      const RedisAddress& address = *address_ptr;
      std::vector<Pending>& group = *group_ptr;
      redisContext* context = connections_.at(address)->context;
      std::size_t read = 0;
      bool broken = false;
      for (; read < group.size() && !broken; ++read) {
        const Pending& p = group[read];
        void* raw = nullptr;
        if (p.asking && (redisGetReply(context, &raw) != REDIS_OK || raw == nullptr)) {
          broken = true;
          break;
        }
        if (raw != nullptr) freeReplyObject(raw);
        raw = nullptr;
        if (redisGetReply(context, &raw) != REDIS_OK || raw == nullptr) {
          broken = true;
          break;
        }
        RedisValue reply = Copy(static_cast<redisReply*>(raw));
        freeReplyObject(raw);
        if (RedisReplyLostForTesting(commands[p.index])) {
          broken = true;
          break;
        }
        std::uint16_t slot = 0;
        RedisAddress to;
        if (reply.is_error() &&
            (StartsWith(reply.text, "MOVED ") || StartsWith(reply.text, "ASK ")) &&
            ParseRedirect(reply.text, slot, to)) {
          const bool ask = StartsWith(reply.text, "ASK ");
          if (!ask) {
            std::size_t index = 0;
            while (index < masters_.size() && !(masters_[index] == to)) ++index;
            if (index == masters_.size()) masters_.push_back(to);
            slot_owner_[slot] = static_cast<std::uint16_t>(index);
          }
          again.push_back({p.index, to, ask});
        } else if (reply.is_error() && IsTransient(reply.text)) {
          last_error = address.text() + ": " + reply.text;
          unrouted.push_back(p.index);
          rediscover = true;
        } else {
          replies[p.index] = std::move(reply);
        }
      }
      if (broken) {
        last_error = address.text() + ": " +
                     (context->err != 0 ? std::string(context->errstr) : "no answer");
        for (std::size_t k = read; k < group.size(); ++k) unrouted.push_back(group[k].index);
        Drop(address);
        rediscover = true;
      }
    }
    pending = std::move(again);
    if (pending.empty() && unrouted.empty()) return replies;
    if (!unrouted.empty()) {
      if (Clock::now() >= deadline) FailReach(seed_text(), last_error);
      // The cluster is re-forming: its nodes agree on a new master within
      // a few node timeouts; ask again a little later.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(100 * (round + 1), 500)));
      if (rediscover) {
        try {
          Discover();
        } catch (const foundation::NSError&) {
          // The nodes still down: last_error already names one.
        }
      }
    } else if (round > 16) {
      FailReach(seed_text(), "redirected in a loop");
    }
  }
}

RedisValue RedisCluster::RunOn(const RedisAddress& address, const RedisCommand& command) {
  Connection& connection = ConnectionTo(address);
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const std::string& a : command.args) {
    argv.push_back(a.data());
    lengths.push_back(a.size());
  }
  auto* raw = static_cast<redisReply*>(redisCommandArgv(
      connection.context, static_cast<int>(argv.size()), argv.data(), lengths.data()));
  if (raw == nullptr) {
    std::string reason = address.text() + ": " + connection.context->errstr;
    Drop(address);
    FailReach(seed_text(), reason);
  }
  RedisValue reply = Copy(raw);
  freeReplyObject(raw);
  return reply;
}

std::vector<RedisValue> RedisCluster::RunOnMasters(const RedisCommand& command) {
  std::vector<RedisValue> replies;
  for (const RedisAddress& address : std::vector<RedisAddress>(masters_))
    replies.push_back(RunOn(address, command));
  return replies;
}

std::vector<std::string> RedisCluster::ScanKeys(const std::string& pattern) {
  std::vector<std::string> keys;
  for (const RedisAddress& address : std::vector<RedisAddress>(masters_)) {
    std::string cursor = "0";
    do {
      RedisValue reply = RunOn(address, {{"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"}});
      if (reply.elements.size() != 2) FailReach(seed_text(), address.text() + ": " + reply.text);
      cursor = reply.elements[0].text;
      for (RedisValue& key : reply.elements[1].elements) keys.push_back(std::move(key.text));
    } while (cursor != "0");
  }
  return keys;
}

void RedisCluster::ScanHash(const std::string& key, std::size_t batch_fields,
                            const std::function<void(std::span<const RedisValue>)>& visit) {
  std::string cursor = "0";
  do {
    RedisValue reply =
        Run(RedisCommand{{"HSCAN", key, cursor, "COUNT", std::to_string(batch_fields)}});
    if (reply.elements.size() != 2) FailReach(seed_text(), key + ": " + reply.text);
    cursor = reply.elements[0].text;
    visit(reply.elements[1].elements);
  } while (cursor != "0");
}

}  // namespace plim::catalog
