#include "tests/platform/catalog/redis_test_cluster.h"

#include <unistd.h>

#include "tests/support/process.h"

namespace plim::catalog::testing {
namespace {

plim::testing::ProcessResult RunScript(const std::string& verb, int port,
                                       const std::string& directory) {
  plim::testing::ProcessOptions options;
  options.environment["PLIM_REDIS_PORT"] = std::to_string(port);
  options.environment["PLIM_REDIS_DIR"] = directory;
  return plim::testing::runProcess(
      {"/bin/bash", std::string(PLIM_SOURCE_DIR) + "/scripts/redis-cluster.sh", verb}, options);
}

}  // namespace

RedisTestCluster::RedisTestCluster()
    // Ports of this process's own, apart from other test runs on the machine.
    : base_port_(21000 + static_cast<int>(getpid() % 2000) * 8),
      directory_("/tmp/plim-redis-test-" + std::to_string(getpid())) {
  if (system("command -v redis-server > /dev/null 2>&1") != 0) {
    why_not_ =
        "redis-server is not installed (bash scripts/install-deps.sh): Redis store not tested";
    return;
  }
  plim::testing::ProcessResult started = RunScript("start", base_port_, directory_);
  running_ = started.exit_status == 0;
  if (!running_) why_not_ = "redis-server could not run here: " + started.standard_error;
}

RedisTestCluster::~RedisTestCluster() { RunScript("stop", base_port_, directory_); }

std::string RedisTestCluster::location_base() const {
  return "redis://127.0.0.1:" + std::to_string(base_port_) + "/";
}

RedisTestCluster& TestCluster() {
  static RedisTestCluster cluster;
  return cluster;
}

}  // namespace plim::catalog::testing
