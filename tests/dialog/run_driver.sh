#!/bin/sh
# Runs the dialog driver against tavoui.exe under Wine on a private Xvfb
# display, in a Wine prefix of the dialog tests' own (so no other test's Wine
# processes share its windows).
# usage: run_driver.sh win32|win64 PREFIX DRIVER.exe TAVOUI.exe LOCALE [DPI]
# DPI: the display's scaling in dots per inch (96 is 100%, 144 150%).
set -eu
arch=$1
prefix=$2
driver=$3
program=$4
language=$5
dpi=${6:-96}
root=$(cd "$(dirname "$0")/../.." && pwd)

if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "run_driver.sh: xvfb-run not found (Debian package xvfb)" >&2
  exit 1
fi

# The locale gives Wine the display language, which picks the dialog's
# texts, and the code page: en_US.UTF-8 gives 1252, where best fit would make
# "Lodz.txt" of "Łodz.txt" and most names the driver types cannot be
# written; zh_CN.UTF-8 gives 936.
locpath=$(sh "$root/cmake/ensure-locale.sh" "$language" "$(dirname "$prefix")/locale")
export LC_ALL="$language" LANG="$language"
if [ -n "$locpath" ]; then export LOCPATH="$locpath"; fi

# Wine shows the Linux root as drive Z:.
windows_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

"$root/cmake/wine-run.sh" "$arch" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
  /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
# The driver's Wine starts afresh on the private display.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true

export TAVO_WINE_RUN="$root/cmake/wine-run.sh"
export TAVO_PREFIX="$prefix" TAVO_ARCH="$arch"
export TAVO_DRIVER="$driver" TAVO_PROGRAM="$(windows_path "$program")"
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  status=0
  "$TAVO_WINE_RUN" "$TAVO_ARCH" "$TAVO_PREFIX" "$TAVO_DRIVER" "$TAVO_PROGRAM" || status=$?
  # Stop this prefix'"'"'s Wine before its display goes away.
  WINEPREFIX="$TAVO_PREFIX" wineserver -k 2>/dev/null || true
  exit $status
'
