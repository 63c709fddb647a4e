#!/bin/sh
# Creates a Wine prefix for the tests, once: later calls return at once.
# usage: wine-prefix-init.sh win32|win64 PREFIX
#
# Headless: no display is needed for console programs. Mono and Gecko are not
# installed and no menu entries are written outside the prefix. Safe to call
# from parallel tests: the first caller builds the prefix, the others wait.
set -eu
arch=$1
prefix=$2
ready=$prefix/.tavo-ready
[ -f "$ready" ] && exit 0

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$ready" ] && exit 0

rm -rf "$prefix"
export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine_arch=$arch
. "$(dirname "$0")/wine-loader.sh"
start=$(date +%s)
"$loader" wineboot -i >/dev/null 2>&1
# Windows the dialog tests open stay under the window manager's (Xvfb's) control.
"$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
touch "$ready"
echo "wine prefix $prefix ($arch) ready in $(($(date +%s) - start)) s" >&2
