#!/usr/bin/env bash
# systemd's own reader of autostart entries, as a session at login runs it: the
# installed entry starts the app, and the README's way of turning that off, run as
# written there, stops it.
#   autostart_test.sh <README> <autostart entry> <folder of kestrune>
set -euo pipefail
readme=$1 entry=$2 bin=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/etc/xdg/autostart" && cp "$entry" "$work/etc/xdg/autostart/"
units() {
    rm -rf "$work/units" && mkdir "$work/units"
    env -u XDG_CONFIG_HOME HOME="$work/home" XDG_CONFIG_DIRS="$work/etc/xdg" PATH="$bin:$PATH" \
        /usr/lib/systemd/user-generators/systemd-xdg-autostart-generator "$work/units" "$work/units" "$work/units"
    find "$work/units" -name '*.service' -path '*.wants/*' -printf '%f\n'
}
[ "$(units)" = "app-app.halvenix.kestrune@autostart.service" ] || { echo "FAIL: at login: $(units)"; exit 1; }
HOME=$work/home bash -euc "$(sed -n '/^    mkdir -p ~\/.config\/autostart$/,/^ *>.*autostart\/.*\.desktop$/s/^    //p' "$readme")"
[ -z "$(units)" ] || { echo "FAIL: turned off as the README says, still at login: $(units)"; exit 1; }
