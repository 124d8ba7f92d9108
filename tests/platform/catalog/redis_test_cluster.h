// A Redis Cluster for the tests of one process: 3 masters with a replica
// each on loopback ports of its own (or one master alone, for tests that
// take slots away), started by scripts/redis-cluster.sh on first use and
// stopped when the process exits.

#ifndef PLIM_TESTS_PLATFORM_CATALOG_REDIS_TEST_CLUSTER_H_
#define PLIM_TESTS_PLATFORM_CATALOG_REDIS_TEST_CLUSTER_H_

#include <string>

namespace plim::catalog::testing {

class RedisTestCluster {
 public:
  // Nodes on ports from the process's base port + `port_offset` up (8
  // ports a process).
  RedisTestCluster(int port_offset, int masters, int replicas);
  ~RedisTestCluster();
  RedisTestCluster(const RedisTestCluster&) = delete;
  RedisTestCluster& operator=(const RedisTestCluster&) = delete;

  bool running() const { return running_; }
  // Why the cluster could not start (redis-server missing...), for skips.
  const std::string& why_not_running() const { return why_not_; }
  // "redis://127.0.0.1:PORT/": append a catalog name.
  std::string location_base() const;
  // The process id of the master serving `port`'s slots' first node, for
  // killing it; the data folder of the nodes.
  const std::string& data_directory() const { return directory_; }
  int base_port() const { return base_port_; }

 private:
  int base_port_;
  std::string directory_;
  bool running_ = false;
  std::string why_not_;
};

// The process's cluster, started on first call. Thread-safe.
RedisTestCluster& TestCluster();
// The process's one-node cluster, apart from TestCluster. Thread-safe.
RedisTestCluster& TestSingleNode();

}  // namespace plim::catalog::testing

#endif  // PLIM_TESTS_PLATFORM_CATALOG_REDIS_TEST_CLUSTER_H_
