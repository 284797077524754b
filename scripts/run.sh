#!/usr/bin/env bash
# The main job: installs what is missing, builds, then shows the system at work on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default >/dev/null
bin=build/default
echo "== joulix config"
"$bin/cli/joulix" config
echo "== joulix sample"
"$bin/cli/joulix" sample
