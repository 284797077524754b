#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and runs with; with --test, also those only
# the tests use (real peers the tests start: Chromium, Prometheus, power-profiles-daemon, the
# D-Bus mocks). Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  libsqlite3-dev nlohmann-json3-dev libplist-dev libutf8proc-dev
  libsdbus-c++-dev libsystemd-dev libcli11-dev prometheus-cpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
  dbus-daemon dbus-bin systemd procps util-linux passwd
)
test_packages=(
  chromium prometheus power-profiles-daemon python3-dbusmock sqlite3
)
[ "${1:-}" = "--test" ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
