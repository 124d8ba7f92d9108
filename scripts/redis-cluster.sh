#!/usr/bin/env bash
# Starts or stops a local Redis Cluster on loopback ports, from Debian's
# redis-server, for the tests, the benchmark and trying plim out:
#
#   scripts/redis-cluster.sh start [MASTERS] [REPLICAS_PER_MASTER]   (3 and 1)
#   scripts/redis-cluster.sh stop
#   scripts/redis-cluster.sh status
#
# The nodes listen on ports from $PLIM_REDIS_PORT (7100) up and keep their
# data in a temporary folder, named in $PLIM_REDIS_DIR (default
# /tmp/plim-redis-$PLIM_REDIS_PORT) with their logs. `start` prints the
# catalog location to use, e.g. redis://127.0.0.1:7100/plim, once the
# cluster answers. Nodes time out after 1.5 s, so a replica replaces a
# killed master within a few seconds.
set -euo pipefail

base_port="${PLIM_REDIS_PORT:-7100}"
dir="${PLIM_REDIS_DIR:-/tmp/plim-redis-$base_port}"
command="${1:-}"

stop() {
  [ -d "$dir" ] || return 0
  for pid_file in "$dir"/*.pid; do
    [ -e "$pid_file" ] || continue
    pid=$(cat "$pid_file")
    # Its data is temporary: no shutdown needed, and a killed process has
    # let go of its ports even before it is reaped.
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}

case "$command" in
  start)
    masters="${2:-3}"
    replicas="${3:-1}"
    command -v redis-server > /dev/null || {
      echo "redis-cluster: redis-server is not installed (bash scripts/install-deps.sh)" >&2
      exit 1
    }
    stop
    mkdir -p "$dir"
    nodes=$((masters * (1 + replicas)))
    addresses=()
    for i in $(seq 0 $((nodes - 1))); do
      port=$((base_port + i))
      mkdir -p "$dir/$port"
      redis-server --port "$port" --bind 127.0.0.1 --daemonize yes \
        --dir "$dir/$port" --pidfile "$dir/$port.pid" --logfile "$dir/$port.log" \
        --cluster-enabled yes --cluster-config-file nodes.conf \
        --cluster-node-timeout 1500 --cluster-replica-validity-factor 0 \
        --repl-diskless-sync-delay 0 --save "" --appendonly no \
        --hash-max-listpack-entries 2048 --hash-max-listpack-value 1024
      addresses+=("127.0.0.1:$port")
    done
    for address in "${addresses[@]}"; do
      for _ in $(seq 50); do
        redis-cli -h 127.0.0.1 -p "${address#*:}" ping > /dev/null 2>&1 && break
        sleep 0.1
      done
    done
    if [ "$masters" -eq 1 ] && [ "$replicas" -eq 0 ]; then
      # redis-cli refuses a cluster of one master: give it every slot by hand.
      redis-cli -p "$base_port" cluster addslotsrange 0 16383 > /dev/null
    else
      redis-cli --cluster create "${addresses[@]}" --cluster-replicas "$replicas" \
        --cluster-yes > "$dir/create.log"
    fi
    for _ in $(seq 100); do
      redis-cli -p "$base_port" cluster info | grep -q "cluster_state:ok" && break
      sleep 0.1
    done
    redis-cli -p "$base_port" cluster info | grep -q "cluster_state:ok" || {
      echo "redis-cluster: the cluster did not form; see $dir" >&2
      exit 1
    }
    # A replica can take over only once it holds its master's data.
    for address in "${addresses[@]}"; do
      for _ in $(seq 100); do
        info=$(redis-cli -p "${address#*:}" info replication)
        grep -q "role:master" <<< "$info" || grep -q "master_link_status:up" <<< "$info" && break
        sleep 0.1
      done
    done
    echo "redis://127.0.0.1:$base_port/plim"
    ;;
  stop) stop ;;
  status) redis-cli -p "$base_port" cluster nodes ;;
  *)
    echo "usage: scripts/redis-cluster.sh start [MASTERS] [REPLICAS_PER_MASTER] | stop | status" >&2
    exit 2
    ;;
esac
