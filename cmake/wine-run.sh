#!/bin/sh
# Runs a Windows program under Wine in the given prefix, creating the prefix
# on first use. CMake uses this as the emulator of the mingw builds.
# usage: wine-run.sh win32|win64 PREFIX PROGRAM [ARG...]
set -eu
arch=$1
prefix=$2
shift 2
"$(dirname "$0")/wine-prefix-init.sh" "$arch" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# Starting Wine costs about two seconds while its server is down, a tenth of
# that while it runs: keep the server up for a while between the tests' runs.
# When one is already running this start just fails.
wineserver -p60 2>/dev/null || true
# Debian's "wine" starts the 32-bit loader; 64-bit programs need wine64.
if [ "$arch" = win64 ]; then
  exec "$(command -v wine64 || echo /usr/lib/wine/wine64)" "$@"
fi
exec wine "$@"
