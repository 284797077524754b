#!/usr/bin/env bash
# Installs what is missing, builds one preset (default: "default") and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/install-deps.sh --test
scripts/build.sh "$preset"
ctest --preset "$preset"
