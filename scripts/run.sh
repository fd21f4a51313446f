#!/usr/bin/env bash
# Sets up, builds and starts the host. Arguments go to korvo-host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >&2
exec build/src/app/korvo-host "$@"
