#!/bin/sh
# Runs a command in a network namespace of its own: loopback plus a veth pair, 10.213.0.1 and
# 10.213.0.2, as two test hosts. WebRTC skips loopback candidates, and test traffic must never
# reach this machine's real interfaces; in here there is nothing else to reach.
set -e
if [ "$(id -u)" -eq 0 ]; then userns=""; else userns="-r"; fi
exec unshare $userns -n sh -c '
  ip link set lo up &&
  ip link add v0 type veth peer name v1 &&
  ip addr add 10.213.0.1/24 dev v0 &&
  ip addr add 10.213.0.2/24 dev v1 &&
  ip link set v0 up && ip link set v1 up &&
  exec "$@"' sh "$@"
