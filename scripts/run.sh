#!/usr/bin/env bash
# Sets everything up (packages, build) and runs one patch run with kzlaunch, the reference launcher:
#   scripts/run.sh PROJECT_DIR SERVER [--timeout SECONDS] [--json] [--limit-rate BYTES_PER_SECOND] ...
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build} scripts/setup.sh >&2
exec "${BUILD_DIR:-build}/kzlaunch" "$@"
