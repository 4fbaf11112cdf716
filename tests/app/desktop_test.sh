#!/bin/bash
# The built program on a real X server (run under xvfb-run): the notice while no
# tray host runs, one instance per user, and a QR window that fits its screen and
# scans, in modules of the size called for, whatever the monospace font, the display
# scale and the zoom.
#   desktop_test.sh <kestrune> <QR window program> <stand-in agent> <screenshot folder>
set -euo pipefail
app=$1 show_qr=$2 agent=$3 shots=$4
work=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p -m 700 "$shots" "$work/run"
export HOME=$work XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb WAYLAND_DISPLAY=
# Under AddressSanitizer: leaks are the unit tests' matter; here a start that
# leaves at once would report the X libraries' caches.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0

fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { # seconds, command...
    local end=$((SECONDS + $1)); until "${@:2}" >/dev/null 2>&1; do ((SECONDS < end)) || return 1; sleep 0.1; done
}
window() { xdotool search --onlyvisible --name "^$1\$"; }
icons() { for w in $(xdotool search --onlyvisible --class trayer); do xwininfo -tree -id "$w"; done |
    grep -c '"kestrune": ("kestrune"' || true; }
one_icon() { [ "$(icons)" = 1 ]; }
icon_at() { xwininfo -root -tree | awk '/"kestrune": \("kestrune"/ { split($NF, at, "+"); print at[2] + 5, at[3] + 5; exit }'; }
notice='Kestrune needs a system tray'

# No tray host: the notice, and no icon.
"$app" & first=$!
wait_for 15 window "$notice" || fail "no notice window without a tray host"
import -window "$(window "$notice")" "$shots/no-tray-notice.png"

# A second start leaves at once with status 0 and one line.
said=$(timeout 3 "$app" 2>&1) || fail "a second start did not leave with status 0 within 3 s: $?"
[ "$said" = "Kestrune is already running." ] || fail "a second start said: $said"
# So does one that finds a copy of that claim, a minute old and without the native
# lock that some folders cannot hold: a live claim never ages out.
mkdir -m 700 "$work/run2" && cp "$work/run/kestrune.lock" "$work/run2/" && touch -d '1 minute ago' "$work/run2/kestrune.lock"
XDG_RUNTIME_DIR=$work/run2 timeout 3 "$app" 2>/dev/null || fail "a start beside a claim a minute old ran on (status $?)"

# A tray host appears: the first instance's icon docks, once, and the notice closes.
trayer --edge top --align right --widthtype request --height 28 --SetDockType true >/dev/null 2>&1 & tray=$!
wait_for 15 one_icon || fail "$(icons) icons docked, not 1"
wait_for 5 eval '! window "$notice"' || fail "the notice stayed open"

# A killed instance's claim goes to exactly one of two starts at the same moment;
# the other leaves with status 0.
kill -KILL "$first" && wait "$first" || true
for _ in 1 2; do "$app" & done
sleep 3
[ "$(jobs -rp | wc -l)" = 2 ] || fail "not the tray host and one instance but $(jobs -rp | wc -l) jobs run"
wait -n || fail "the start that left exited with status $?"
wait_for 15 one_icon || fail "the starts after a killed instance docked $(icons) icons"
[ ! -e "$HOME/.halvenix" ] || fail "starting wrote the state folder"

# Quit ends the process within the probe's grace, with status 0 and nothing on stderr
# but the agent log's lines for the Start under way and for the user manager that is
# not here to watch (no crash, no sanitizer report),
# twenty times in a row: while the health probe and Start's provisioning both wait on
# the agent's port, which takes connections and says nothing; provisioning reaches it
# as its proxy, in TLS or in plain HTTP by turns.
kill -KILL $(jobs -rp | grep -vx "$tray")
python3 -c 'import socket, time; s = socket.create_server(("127.0.0.1", 8765)); time.sleep(999)' &
windows() { [ "$(xdotool search --onlyvisible --class kestrune | wc -l)" = "$1" ]; }
# Clicks the icon, and once its menu shows, presses the keys; clicks at no icon are harmless.
menu() { xdotool mousemove $(icon_at) click 1 sleep 0.4; windows 2 && xdotool key "$@"; }
waiting() { [ "$(grep -c ' 0100007F:223D 01 ' /proc/net/tcp)" = 2 ]; } # connections to 127.0.0.1:8765
for run in $(seq 20); do
    https_proxy=$([ $((run % 2)) = 0 ] && echo http || echo https)://127.0.0.1:8765 "$app" 2>"$work/said" &
    wait_for 10 menu Down Down Down Return || fail "run $run: no Start"
    wait_for 6 waiting && wait_for 5 menu Up Return || fail "run $run: no probe and request at once, or no Quit"
    wait_for 3 eval '! kill -0 $!' || fail "run $run: running 3 s after Quit"
    wait $! && [ "$(grep -v "the agent's state is not watched meanwhile" "$work/said")" = "kestrune.agent: Starting agent..." ] ||
        fail "run $run: status $?, said: $(cat "$work/said")"
done

# The QR window, pictured with each monospace font that desktops ship made the
# desktop's own and at each display scale; and zoomed two whole steps in (keys) or out
# (wheel), after a login banner of 300 lines, on a 1366 by 768 screen at 150 %. The
# window lies on the screen and took the font; scrolled to its end, it shows the code,
# which decodes to the payload the agent encoded, in modules as wide as a space at that
# font, size and scale in device pixels (as the window's program measures a space).
# (The unit tests check what a copy gives back.)
export HALVENIX_DEVICE_ID=dev-3f1c2a9e7b4d4e2a HALVENIX_JWT_SECRET=$(printf '%064d' 0) HALVENIX_RELAY_SERVER_TOKEN=s \
    HALVENIX_RELAY_CLIENT_TOKEN=Qm9pXr2Lw7Tz_k4Hs8Vd1Nc6Yb3Fg5Ja HALVENIX_RELAY_URL=wss://relay.halvenix.example HALVENIX_PORT=8765 HALVENIX_ALLOWED_PATHS=/
"$agent" --print-qr >"$work/qr.txt" && { seq -f 'Last login %g' 300; cat "$work/qr.txt"; } >"$work/banner.txt"
expected="QR-Code:halvenix-pair:v1?device=$HALVENIX_DEVICE_ID&token=$HALVENIX_RELAY_CLIENT_TOKEN&relay=wss%3A%2F%2Frelay.halvenix.example"
# The window's picture scans, with finder patterns in runs of 1:1:3:1:1 modules of $1
# pixels (grep reads all of the picture: with pipefail, a pipe that it ended early fails).
shows() {
    echo "its program ended" >"$work/why" && kill -0 "$pid" && timeout 5 import -window "$id" "$shot" &&
        echo "scanned '$(zbarimg -q "$shot")'" >"$work/why" && grep -qxF "scanned '$expected'" "$work/why" &&
        echo "no finder pattern in modules of $1 pixels" >"$work/why" && convert "$shot" -threshold 50% -depth 8 gray:- |
        od -An -v -tx1 -w"$(identify -format %w "$shot")" | sed 's/ 00/#/g; s/ ff/./g' | grep -E "\.#{$1}\.{$1}#{$(($1 * 3))}\.{$1}#{$1}\." >/dev/null
}
failed=()
row() { # font, scale in %, zoom steps, text, X screen (0 is 2048 by 1536, 1 is 1366 by 768), the keys that zoom
    local name="$1 at $2 %, zoom $3, ${4##*/}, screen $5" shot="$shots/pairing-qr-${1// /-}-$2-$3-${4##*/}-$5.png" id pid X=-1 Y=-1 WIDTH=0 HEIGHT=0 width=0 height=0
    local -x DISPLAY=${DISPLAY%.*}.$5 FONTCONFIG_FILE=$work/fonts.conf QT_SCALE_FACTOR=$(($2 / 100)).$(($2 % 100))
    sed "s/DejaVu Sans Mono/$1/" "$(dirname "$0")/monospace-dejavu.conf" >"$work/fonts.conf"
    "$show_qr" "$3" <"$4" >"$work/shown" 2>/dev/null & pid=$!
    wait_for 10 window 'Kestrune Pairing QR' && id=$(window 'Kestrune Pairing QR') || { failed+=("$name: no window"); return; }
    xdotool mousemove --window "$id" 9 9 windowfocus --sync "$id" "${@:6}" key ctrl+End
    wait_for 10 shows "$(sed -n 2p "$work/shown")" || failed+=("$name: $(cat "$work/why")")
    eval "$(xdotool getwindowgeometry --shell "$id")" && read -r width height < <(xdotool getdisplaygeometry --screen "$5")
    ((X >= 0 && Y >= 0 && X + WIDTH <= width && Y + HEIGHT <= height)) || failed+=("$name: the window is not on the screen")
    [ "$(head -1 "$work/shown")" = "$1" ] || failed+=("$name: the window's font is $(head -1 "$work/shown")")
    kill $pid 2>/dev/null && wait $pid 2>/dev/null || true
}
for font in "DejaVu Sans Mono" "Liberation Mono" "Noto Sans Mono" Hack "Fira Code" Inconsolata "JetBrains Mono"; do
    for scale in 100 125 150 175 200 250; do row "$font" $scale 0 "$work/qr.txt" 0; done
done
row Inconsolata 125 2 "$work/qr.txt" 0 key ctrl+plus ctrl+equal
row Hack 200 -2 "$work/banner.txt" 0 keydown ctrl click --repeat 2 5 keyup ctrl
row "Noto Sans Mono" 150 0 "$work/qr.txt" 1
[ ${#failed[@]} = 0 ] || fail "$(printf '\n  %s' "${failed[@]}")"
