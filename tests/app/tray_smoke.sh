#!/bin/sh
# Starts the built program for a few seconds against a throw-away home folder and
# checks that it stays up without a window of its own, then ends it.
#   tray_smoke.sh <path to kestrune> [seconds]
# Uses the offscreen platform unless QT_QPA_PLATFORM is set (e.g. xcb under a
# desktop with a tray, to look at the icon and menu by hand).
set -eu

program=${1:?usage: tray_smoke.sh <path to kestrune> [seconds]}
seconds=${2:-3}
home=$(mktemp -d)
log="$home/smoke.log"
trap 'rm -rf "$home"' EXIT

HOME="$home" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$program" >"$log" 2>&1 &
pid=$!
sleep "$seconds"

if ! kill -0 "$pid" 2>/dev/null; then
    echo "kestrune exited early:" >&2
    cat "$log" >&2
    exit 1
fi
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true

# Nothing is written before the user asks for something.
if [ -e "$home/.halvenix" ]; then
    echo "kestrune created its state folder without being asked" >&2
    exit 1
fi
echo "kestrune stayed up for ${seconds}s"
