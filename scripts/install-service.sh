#!/usr/bin/env bash
# Installs the privileged service on this machine: the daemon binary, its systemd unit, its
# D-Bus system policy, activation file and interface description, its polkit actions, and the
# group "joulix" whose members may call the privileged methods. Safe to run again. Run as root
# after a build.
# Usage: scripts/install-service.sh [--recorder] [build-dir]   (default: build/default)
# --recorder also installs `joulix`, and installs and enables the system unit
# joulix-recorder.service, which records the shared history as root (the package power counters
# are root-only); the user unit joulix-record.service (per-user history) is installed beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
recorder=0
[ "${1:-}" = "--recorder" ] && { recorder=1; shift; }
build=${1:-build/default}
daemon="$build/JoulixDaemon/JoulixDaemon"
[ -x "$daemon" ] || { echo "install-service: build first ($daemon is missing)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "install-service: run as root" >&2; exit 1; }

install -D -m 0755 "$daemon" /usr/local/libexec/joulix/JoulixDaemon
install -D -m 0644 packaging/joulix-metricsd.service /etc/systemd/system/joulix-metricsd.service
install -D -m 0644 packaging/com.joulix.metricsd.conf /usr/share/dbus-1/system.d/com.joulix.metricsd.conf
install -D -m 0644 packaging/com.joulix.metricsd.service \
  /usr/share/dbus-1/system-services/com.joulix.metricsd.service
install -D -m 0644 packaging/com.joulix.metricsd.BatteryMetrics.xml \
  /usr/share/dbus-1/interfaces/com.joulix.metricsd.BatteryMetrics.xml
install -D -m 0644 packaging/com.joulix.metricsd.policy \
  /usr/share/polkit-1/actions/com.joulix.metricsd.policy
getent group joulix >/dev/null || groupadd --system joulix
if [ "$recorder" -eq 1 ]; then
  [ -x "$build/cli/joulix" ] || { echo "install-service: build first ($build/cli/joulix is missing)" >&2; exit 1; }
  install -D -m 0755 "$build/cli/joulix" /usr/local/bin/joulix
  install -D -m 0644 packaging/joulix-record.service /etc/systemd/user/joulix-record.service
  install -D -m 0644 packaging/joulix-recorder.service /etc/systemd/system/joulix-recorder.service
fi
# The shared area the daemon and every user write to: created here with its modes, so that the
# daemon's first log line does not create it 0755 and shut other users out.
[ -d /Users/Shared ] || install -d -m 1777 /Users/Shared
[ -d /Users/Shared/Joulix ] || install -d -m 0777 /Users/Shared/Joulix

# Let running managers pick up the new files; either may be absent (containers, chroots).
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  systemctl enable joulix-metricsd.service >/dev/null 2>&1 || true
  [ "$recorder" -eq 0 ] || systemctl enable --now joulix-recorder.service
fi
if command -v busctl >/dev/null && [ -S /run/dbus/system_bus_socket ]; then
  busctl call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus ReloadConfig >/dev/null || true
fi
echo "Installed. Add users to the group with: usermod -aG joulix USER"
[ "$recorder" -eq 0 ] || echo "The shared history is recorded by joulix-recorder.service; a user may" \
  "also record a private one with: systemctl --user enable --now joulix-record.service"
