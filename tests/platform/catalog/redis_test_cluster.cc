#include "tests/platform/catalog/redis_test_cluster.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace plim::catalog::testing {
namespace {

plim::testing::ProcessResult RunScript(std::vector<std::string> arguments, int port,
                                       const std::string& directory) {
  plim::testing::ProcessOptions options;
  options.environment["PLIM_REDIS_PORT"] = std::to_string(port);
  options.environment["PLIM_REDIS_DIR"] = directory;
  arguments.insert(arguments.begin(),
                   {"/bin/bash", std::string(PLIM_SOURCE_DIR) + "/scripts/redis-cluster.sh"});
  return plim::testing::runProcess(arguments, options);
}

}  // namespace

RedisTestCluster::RedisTestCluster(int port_offset, int masters, int replicas)
    // Ports of this process's own, apart from other test runs on the machine.
    : base_port_(21000 + static_cast<int>(getpid() % 2000) * 8 + port_offset),
      directory_("/tmp/plim-redis-test-" + std::to_string(getpid()) + "-" +
                 std::to_string(port_offset)) {
  if (system("command -v redis-server > /dev/null 2>&1") != 0) {
    why_not_ =
        "redis-server is not installed (bash scripts/install-deps.sh): Redis store not tested";
    return;
  }
  plim::testing::ProcessResult started = RunScript(
      {"start", std::to_string(masters), std::to_string(replicas)}, base_port_, directory_);
  running_ = started.exit_status == 0;
  if (!running_) why_not_ = "redis-server could not run here: " + started.standard_error;
}

RedisTestCluster::~RedisTestCluster() { RunScript({"stop"}, base_port_, directory_); }

std::string RedisTestCluster::location_base() const {
  return "redis://127.0.0.1:" + std::to_string(base_port_) + "/";
}

RedisTestCluster& TestCluster() {
  static RedisTestCluster cluster(0, 3, 1);
  return cluster;
}

RedisTestCluster& TestSingleNode() {
  static RedisTestCluster node(6, 1, 0);
  return node;
}

}  // namespace plim::catalog::testing
