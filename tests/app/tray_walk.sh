#!/bin/bash
# The built program on the trays of today's desktops, driven over D-Bus as their
# panels drive it: a StatusNotifierItem host on X11, sway with waybar's tray, and
# sway with no tray at all. Run under scripts/private-user-manager (the agent needs
# a real service manager); each mode enters its desktop session itself.
#   tray_walk.sh sni|wayland|wayland-without-tray <kestrune> <screenshot folder>
set -euo pipefail
mode=$1 app=$2 shots=$3 scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
if [ -z "${PRIVATE_USER_MANAGER:-}" ]; then
    echo "SKIP: no private user manager: ${PRIVATE_USER_MANAGER_UNAVAILABLE:-not run under it}"
    [ "${KESTRUNE_REQUIRE_SYSTEMD:-}" = 1 ] && exit 1 || exit 77
fi
if [ -z "${TRAY_SESSION:-}" ]; then
    export TRAY_SESSION=$mode
    [ "$mode" = sni ] && exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$scripts/sni-session" "$0" "$@"
    id kestrune-desktop &>/dev/null || useradd --system --user-group kestrune-desktop # sway refuses root
    exec "$scripts/sway-session" $([ "$mode" = wayland ] && echo --bar) --as kestrune-desktop "$0" "$@"
fi
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
fail() { echo "FAIL: $mode: $*" >&2; exit 1; }
wait_for() { for _ in $(seq $(($1 * 10))); do "${@:2}" &>/dev/null && return 0; sleep 0.1; done; return 1; }
tray() { "$scripts/tray_protocol.py" "$@"; }
notice='Kestrune needs a system tray' qr='Kestrune Pairing QR'
# At 100 %, with the monospace font whose blocks are known to scan.
unset QT_SCALE_FACTOR
printf '<fontconfig><include>/etc/fonts/fonts.conf</include><match><test name="family"><string>monospace</string></test><edit name="family" mode="prepend_first" binding="strong"><string>DejaVu Sans Mono</string></edit></match></fontconfig>' >"$HOME/fonts.conf"
export FONTCONFIG_FILE=$HOME/fonts.conf ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0
mkdir -p "$shots"
if [ "$mode" = sni ]; then
    export QT_QPA_PLATFORM=xcb
    window() { xdotool search --onlyvisible --name "^$1\$"; }
    shoot() { import -window "$(window "$1")" "$2"; }
    # Every window the program maps, by name (polled: a notice shows for a second at least).
    (xdotool search --sync --name "^$notice\$" && echo "$notice") >"$HOME/windows" &
else
    export QT_QPA_PLATFORM=wayland
    window() { swaymsg -t get_tree | jq -er --arg name "$1" '.. | select(.name? == $name) | .rect | "\(.x),\(.y) \(.width)x\(.height)"'; }
    shoot() { grim -g "$(window "$1")" "$2"; }
    swaymsg -t subscribe -m '["window"]' >"$HOME/windows" &
fi
if [ "$mode" = wayland-without-tray ]; then
    "$app" &
    wait_for 15 window "$notice" || fail "no notice where no tray exists"
    sleep 1 # first paint
    shoot "$notice" "$shots/wayland-without-tray.png"
    exit 0
fi

# A first run done already: the walk is the tray's, provisioning is the end-to-end test's.
device=dev-5c2e8a7f1b3d4c6e token=Zt4Kq9Wm2Xp7Lr5Vn8Hs3Bd6Fg1Jc0Ya
mkdir -m 700 "$HOME/.halvenix"
printf '%s\n' HALVENIX_DEVICE_ID=$device HALVENIX_JWT_SECRET=$(printf '%064d' 0) HALVENIX_RELAY_SERVER_TOKEN=s \
    HALVENIX_RELAY_CLIENT_TOKEN=$token HALVENIX_RELAY_URL=wss://relay.halvenix.example HALVENIX_PORT=8765 \
    HALVENIX_ALLOWED_PATHS=/ >"$HOME/.halvenix/config.env"
"$app" &
app_pid=$!
sizes=$(tray icon-sizes) # waits until exactly one item registers
grep -qx 64x64 <<<"$sizes" || fail "the item's icon comes in $(echo $sizes)"
tray wait-status "Status: Local agent stopped" 10
expected=$(printf '0\tStatus: Local agent stopped\n'; printf '1\t%s\n' '' 'Open Web Dashboard' 'Show Pairing QR' '' \
    'Start Agent' 'Stop Agent' 'Restart Agent' '' 'View Logs' 'Open Settings Folder' '' 'Quit Kestrune')
[ "$(tray entries | cut -f2-)" = "$expected" ] || fail "the menu holds: $(tray entries)"
tray click "Start Agent"
tray wait-status "Status: Local agent running" 30
curl -fsS http://127.0.0.1:8765/healthz >/dev/null || fail "the agent does not answer"
tray click "Show Pairing QR"
wait_for 20 window "$qr" || fail "no QR window"
sleep 1 # first paint
shoot "$qr" "$shots/$mode-pairing-qr.png"
decoded=$(zbarimg -q --raw "$shots/$mode-pairing-qr.png" 2>/dev/null || true)
[ "$decoded" = "halvenix-pair:v1?device=$device&token=$token&relay=wss%3A%2F%2Frelay.halvenix.example" ] ||
    fail "scanned '$decoded'"
tray click "Stop Agent"
tray wait-status "Status: Local agent stopped" 30
tray click "Quit Kestrune"
wait_for 5 eval '! kill -0 $app_pid' || fail "running 5 s after Quit"
wait $app_pid || fail "Quit ended with status $?"
wait_for 5 eval '[ "$(tray items-count)" = 0 ]' || fail "the item stayed registered after Quit"
! grep -q "$notice" "$HOME/windows" || fail "the tray notice showed"
