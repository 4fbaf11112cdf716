#!/bin/bash
# The built program on a real X server (run under xvfb-run): the notice while no
# tray host runs, one instance per user, and a QR window that scans as drawn.
#   desktop_test.sh <kestrune> <QR window program> <stand-in agent> <screenshot folder>
set -euo pipefail
app=$1 show_qr=$2 agent=$3 shots=$4
work=$(mktemp -d)
pids=()
trap 'kill -KILL "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$shots" "$work/home" "$work/run"
chmod 700 "$work/run"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
# Under AddressSanitizer: leaks are the unit tests' matter; here a start that
# leaves at once would report the X libraries' caches.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0

fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { # seconds, command...
    for _ in $(seq $(($1 * 10))); do "${@:2}" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1
}
notice() { xdotool search --onlyvisible --name '^Kestrune needs a system tray$'; }
no_notice() { ! notice; }
icons() { for w in $(xdotool search --onlyvisible --class trayer); do xwininfo -tree -id "$w"; done |
    grep -c '"kestrune": ("kestrune"' || true; }
one_icon() { [ "$(icons)" = 1 ]; }
launch() { "$app" 2>>"$work/app.log" & pids+=($!); }

# No tray host: the notice, and no icon.
launch; first=$!
wait_for 15 notice || fail "no notice window without a tray host"
import -window "$(notice)" "$shots/no-tray-notice.png"

# A second start leaves at once with one line, and the first carries on.
started=$(date +%s%N)
timeout 10 "$app" 2>"$work/second.log" || fail "a second start exited with status $?"
[ $((($(date +%s%N) - started) / 1000000)) -lt 3000 ] || fail "a second start took longer than 3 s to leave"
[ "$(cat "$work/second.log")" = "Kestrune is already running." ] || fail "second start said: $(cat "$work/second.log")"
kill -0 "$first" || fail "the first instance ended"

# A tray host appears: the icon docks, once, and the notice closes.
trayer --edge top --align right --widthtype request --height 28 --SetDockType true >/dev/null 2>&1 & pids+=($!)
wait_for 15 one_icon || fail "$(icons) icons docked, not 1"
wait_for 5 no_notice || fail "the notice stayed open"

# A killed instance's claim does not block the next start.
kill -KILL "$first"; wait "$first" || true
launch; third=$!
sleep 2
kill -0 "$third" || fail "a start after a killed instance did not stay up"
wait_for 15 one_icon || fail "the start after a killed instance docked $(icons) icons"
kill -KILL "$third"; wait "$third" || true

# Two starts at the same moment: exactly one stays, and the other leaves with 0.
launch; a=$!; launch; b=$!
sleep 3
if kill -0 "$a" 2>/dev/null; then loser=$b; else loser=$a; fi
! kill -0 "$loser" 2>/dev/null || fail "both simultaneous starts stayed up"
wait "$loser" || fail "the simultaneous start that left exited with status $?"
wait_for 15 one_icon || fail "simultaneous starts docked $(icons) icons"
[ ! -e "$HOME/.halvenix" ] || fail "starting wrote the state folder"

# The QR window, pictured pixel for pixel, decodes to the payload the agent encoded.
export HALVENIX_DEVICE_ID=dev-3f1c2a9e7b4d4e2a HALVENIX_JWT_SECRET=$(printf '%064d' 0) \
    HALVENIX_RELAY_SERVER_TOKEN=server HALVENIX_RELAY_CLIENT_TOKEN=Qm9pXr2Lw7Tz_k4Hs8Vd1Nc6Yb3Fg5Ja \
    HALVENIX_RELAY_URL=wss://relay.halvenix.example HALVENIX_PORT=8765 HALVENIX_ALLOWED_PATHS=/
"$agent" --print-qr >"$work/qr.txt"
"$show_qr" <"$work/qr.txt" 2>/dev/null & pids+=($!)
qr_window() { xdotool search --onlyvisible --name '^Kestrune Pairing QR$'; }
wait_for 15 qr_window || fail "no QR window"
sleep 1 # first paint
import -window "$(qr_window)" "$shots/pairing-qr.png"
[ "$(identify -format %wx%h "$shots/pairing-qr.png")" = 680x520 ] || fail "the QR window is not 680x520"
decoded=$(zbarimg -q "$shots/pairing-qr.png") || fail "the QR window's picture does not scan"
expected="QR-Code:halvenix-pair:v1?device=$HALVENIX_DEVICE_ID&token=$HALVENIX_RELAY_CLIENT_TOKEN&relay=wss%3A%2F%2Frelay.halvenix.example"
[ "$decoded" = "$expected" ] || fail "scanned '$decoded'"
echo "$decoded"
