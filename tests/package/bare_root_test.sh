#!/usr/bin/env bash
# Installs the demo package on a bare Debian 12 and runs what its menu entry and its
# autostart entry run, as a user would: Start, running, pairing QR, Stop, each under a
# real systemd user manager, provisioning from the relay stand-in the package carries.
set -euo pipefail
if [ "${1:-}" != --in-root ]; then
  source=$(cd "$(dirname "$0")/../.." && pwd)
  exec "$source/scripts/bare-root" "$("$source/scripts/package" package-demo)" /src/tests/package/bare_root_test.sh --in-root
fi
/usr/libexec/kestrune/relay-standin --port 8787 >/tmp/relay.log 2>&1 &
for entry in /usr/share/applications/app.halvenix.kestrune.desktop /etc/xdg/autostart/app.halvenix.kestrune.desktop; do
  read -ra command < <(sed -n 's/^Exec=//p' "$entry")
  /src/scripts/private-user-manager /src/scripts/drive-tray "/tmp/${entry//\//_}" "${command[@]}"
done
