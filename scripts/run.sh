#!/usr/bin/env bash
# Sets everything up (packages, build) and runs one patch run as a launcher would:
#   scripts/run.sh PROJECT_DIR SERVER [--timeout SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build} scripts/setup.sh >&2
exec "${BUILD_DIR:-build}/kztool" run "$@"
