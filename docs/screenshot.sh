#!/bin/sh
# Takes the pictures of the dialog program in docs/, under Wine on a virtual
# display with a CJK font standing in for SimSun:
#   tavoui.png, tavoui-progress.png: the Chinese dialog and its progress
#     window (zh_CN.UTF-8, 100% scaling);
#   tavoui-en-200.png, tavoui-progress-en-200.png: the English ones
#     (en_US.UTF-8) at 200% scaling (192 dots per inch).
# The progress windows are those of the dialog driver's long runs, so the
# driver must be built too.
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

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine_arch=win32
file "$program" | grep -q x86-64 && wine_arch=win64
. "$root/cmake/wine-loader.sh"
export TAVO_LOADER="$loader" TAVO_PROGRAM="$program" TAVO_DRIVER="$driver"
export TAVO_WINDOWS_PROGRAM="Z:$(printf '%s' "$program" | tr / '\\')"

# shoot LOCALE DPI DIALOG.png PROGRESS.png
shoot() {
  locpath=$(sh "$root/cmake/ensure-locale.sh" "$1" "$build/locale")
  if [ -n "$locpath" ]; then export LOCPATH="$locpath"; fi
  export LC_ALL="$1" LANG="$1"
  # The scaling belongs to the prefix: one prefix for each.
  export WINEPREFIX=$build/wineprefix-screenshot-$2
  "$root/cmake/wine-prefix-init.sh" "$wine_arch" "$WINEPREFIX"
  "$TAVO_LOADER" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$2" /f >/dev/null 2>&1
  # The Chinese template asks for SimSun ("宋体"); let Wine draw it with WenQuanYi.
  for face in 宋体 SimSun; do
    "$TAVO_LOADER" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
  done
  wineserver -w

  export TAVO_OUT="$root/docs/$3"
  xvfb-run -a -s "-screen 0 2048x1536x24" sh -c '
    "$TAVO_LOADER" "$TAVO_PROGRAM" >/dev/null 2>&1 &
    geometry=""
    for i in $(seq 1 100); do
      geometry=$(xwininfo -root -tree | grep -E "\"tavoui(-| - encrypt)" | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -n 1)
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

  # The driver's long runs show the progress window several times; the one
  # still there two seconds after it appeared (a run going to its end) is taken.
  export TAVO_OUT="$root/docs/$4"
  xvfb-run -a -s "-screen 0 2048x1536x24" sh -c '
    "$TAVO_LOADER" "$TAVO_DRIVER" "$TAVO_WINDOWS_PROGRAM" long >/dev/null 2>&1 &
    progress() { xwininfo -root -tree | grep -E "\"tavoui - (正在处理|working)" | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -n 1; }
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
}

shoot zh_CN.UTF-8 96 tavoui.png tavoui-progress.png
shoot en_US.UTF-8 192 tavoui-en-200.png tavoui-progress-en-200.png
