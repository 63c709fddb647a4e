#!/bin/sh
# Takes docs/tavoui.png: the dialog program under Wine on a virtual display,
# in a Chinese (PRC) locale with a CJK font standing in for SimSun; and
# docs/tavoui-progress.png: its progress window during the dialog driver's
# long runs (so the driver must be built too).
# usage: docs/screenshot.sh [BUILD_DIR]     (default: build/mingw-i686;
#        build/mingw-x86_64 also works where 32-bit programs cannot run)
# Needs: wine, xvfb-run, xwininfo, ImageMagick, fonts-wqy-microhei, localedef.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/mingw-i686}" && pwd)
program=$build/dialog/tavoui.exe
driver=$build/tests/dialog/tavo_dialog_driver.exe
for built in "$program" "$driver"; do
  [ -f "$built" ] || { echo "screenshot.sh: $built not built" >&2; exit 1; }
done

# A zh_CN.UTF-8 locale of our own if the system has none.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  export LOCPATH=$build/locale
  [ -d "$LOCPATH/zh_CN.UTF-8" ] || { mkdir -p "$LOCPATH" && localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8"; }
fi
export LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8

export WINEPREFIX=$build/wineprefix-screenshot WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine_arch=win32
file "$program" | grep -q x86-64 && wine_arch=win64
. "$root/cmake/wine-loader.sh"
export TAVO_LOADER="$loader"
"$root/cmake/wine-prefix-init.sh" "$wine_arch" "$WINEPREFIX"
# The dialog asks for SimSun ("宋体"); let Wine draw it with WenQuanYi.
for face in 宋体 SimSun; do
  "$TAVO_LOADER" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
done
wineserver -w

out=$root/docs/tavoui.png
export TAVO_PROGRAM="$program" TAVO_OUT="$out"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  "$TAVO_LOADER" "$TAVO_PROGRAM" >/dev/null 2>&1 &
  geometry=""
  for i in $(seq 1 100); do
    geometry=$(xwininfo -root -tree | grep "\"tavoui-" | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -n 1)
    [ -n "$geometry" ] && break
    sleep 0.2
  done
  sleep 2
  import -window root "$TAVO_OUT.full.png"
  wineserver -k
  [ -n "$geometry" ] || { echo "screenshot.sh: no dialog window" >&2; exit 1; }
  convert "$TAVO_OUT.full.png" -crop "$geometry" +repage "$TAVO_OUT"
  rm -f "$TAVO_OUT.full.png"
  echo "$TAVO_OUT ($geometry)"
'

# The progress window: the driver's long runs show it several times; the one
# still there two seconds after it appeared (a run going to its end) is taken.
export TAVO_DRIVER="$driver" TAVO_OUT="$root/docs/tavoui-progress.png"
export TAVO_WINDOWS_PROGRAM="Z:$(printf '%s' "$program" | tr / '\\')"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  "$TAVO_LOADER" "$TAVO_DRIVER" "$TAVO_WINDOWS_PROGRAM" long >/dev/null 2>&1 &
  progress() { xwininfo -root -tree | grep "\"tavoui - " | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -n 1; }
  geometry=""
  for i in $(seq 1 300); do
    if [ -n "$(progress)" ]; then
      sleep 2
      geometry=$(progress)
      [ -n "$geometry" ] && break
    fi
    sleep 0.1
  done
  [ -n "$geometry" ] && import -window root "$TAVO_OUT.full.png"
  wineserver -k
  [ -n "$geometry" ] || { echo "screenshot.sh: no progress window" >&2; exit 1; }
  convert "$TAVO_OUT.full.png" -crop "$geometry" +repage "$TAVO_OUT"
  rm -f "$TAVO_OUT.full.png"
  echo "$TAVO_OUT ($geometry)"
'
