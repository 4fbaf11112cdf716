#!/bin/bash
# The built program on the trays of today's desktops, driven over D-Bus as their
# panels drive it (scripts/tray_protocol.py). Runs inside the desktop's session
# (scripts/sni-session on X11, scripts/sway-session on Wayland), under
# scripts/private-user-manager: the agent needs a real service manager.
#   tray_walk.sh sni|wayland <kestrune> <screenshot folder>: one item, its menu,
#       Start, the pairing QR scanned from the screen, Stop and Quit; no tray notice
#   tray_walk.sh wayland-without-tray <kestrune> <screenshot folder>: the notice
set -euo pipefail
mode=$1 app=$2 shots=$3 scripts=$(dirname "$0")/../../scripts
[ -n "${PRIVATE_USER_MANAGER:-}" ] || { echo "SKIP: ${PRIVATE_USER_MANAGER_UNAVAILABLE:-no private user manager}"
    exit $([ "${KESTRUNE_REQUIRE_SYSTEMD:-}" = 1 ] && echo 1 || echo 77); }
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
fail() { echo "FAIL: $mode: $*" >&2; exit 1; }
wait_for() { for _ in $(seq $(($1 * 10))); do "${@:2}" &>/dev/null && return 0; sleep 0.1; done; return 1; }
tray() { "$scripts/tray_protocol.py" "$@"; }
notice='Kestrune needs a system tray' qr='Kestrune Pairing QR'
mkdir -p "$shots"
# Every window that shows is recorded by name (on X11 polled; a notice stays a second at least).
if [ "$QT_QPA_PLATFORM" = xcb ]; then
    window() { xdotool search --onlyvisible --name "^$1\$"; }
    shoot() { import -window "$(window "$1")" "$2"; }
    (xdotool search --sync --name "^$notice\$" && echo "$notice") >"$HOME/windows" &
else
    window() { swaymsg -t get_tree | jq -er --arg name "$1" '.. | select(.name? == $name) | .rect | "\(.x),\(.y) \(.width)x\(.height)"'; }
    shoot() { grim -g "$(window "$1")" "$2"; }
    swaymsg -t subscribe -m '["window"]' >"$HOME/windows" &
fi
"$app" & app_pid=$!
if [ "$mode" = wayland-without-tray ]; then # the notice, and its picture once painted
    wait_for 15 window "$notice" && sleep 1 && shoot "$notice" "$shots/$mode.png" && exit; fail "no notice where no tray exists"
fi

# Waits until exactly one item registers; Qt sends its icon's pixmaps up to 64 px.
tray icon-sizes | grep -qx 64x64 || fail "the item shows no icon"
# A first run done already: provisioning is the end-to-end test's matter.
device=dev-5c2e8a7f1b3d4c6e token=Zt4Kq9Wm2Xp7Lr5Vn8Hs3Bd6Fg1Jc0Ya
mkdir -m 700 "$HOME/.halvenix"
printf 'HALVENIX_%s\n' DEVICE_ID=$device JWT_SECRET=$(printf '%064d' 0) RELAY_SERVER_TOKEN=s RELAY_CLIENT_TOKEN=$token \
    RELAY_URL=wss://relay.halvenix.example PORT=8765 ALLOWED_PATHS=/ >"$HOME/.halvenix/config.env"
tray click "Start Agent"
tray wait-status "Status: Local agent running" 30
curl -fsS http://127.0.0.1:8765/healthz >/dev/null || fail "the agent does not answer"
tray click "Show Pairing QR"
wait_for 20 window "$qr" && sleep 1 || fail "no QR window" # and its first paint
shoot "$qr" "$shots/$mode-pairing-qr.png"
[ "$(zbarimg -q --raw "$shots/$mode-pairing-qr.png" 2>/dev/null)" = \
    "halvenix-pair:v1?device=$device&token=$token&relay=wss%3A%2F%2Frelay.halvenix.example" ] || fail "the QR does not scan"
tray click "Stop Agent"
tray wait-status "Status: Local agent stopped" 30
expected=$(printf '0\tStatus: Local agent stopped\n'; printf '1\t%s\n' '' 'Open Web Dashboard' 'Show Pairing QR' '' \
    'Start Agent' 'Stop Agent' 'Restart Agent' '' 'View Logs' 'Open Settings Folder' '' 'Quit Kestrune')
[ "$(tray entries | cut -f2-)" = "$expected" ] || fail "the menu holds: $(tray entries)"
tray click "Quit Kestrune"
wait_for 5 eval '! kill -0 $app_pid' && wait $app_pid || fail "Quit: still running after 5 s, or status $?"
wait_for 5 eval '[ "$(tray items-count)" = 0 ]' || fail "the item stayed registered after Quit"
! grep -q "$notice" "$HOME/windows" || fail "the tray notice showed"
