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
wine_arch=$arch
. "$(dirname "$0")/wine-loader.sh"

# Starting Wine costs about two seconds while its server is down and a tenth
# of that while it runs, so keep the server up for a minute between runs.
# The first program of a server's life starts Wine's service processes, which
# keep that program's standard handles until the server ends; a test runner
# reading our output would wait for them. So a silent program goes first,
# under the prefix's lock, so that no parallel test slips in ahead of it.
exec 9>"$prefix.lock"
flock 9
if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
  "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-
exec "$loader" "$@"
