#!/bin/sh
# Makes sure a Linux locale such as ru_RU.UTF-8 can be used, and prints the
# LOCPATH to run with: nothing when the system has the locale, else FOLDER,
# where it is compiled with localedef on first use (about 10 s each; the
# sources come with Debian's locales package). Wine takes its ANSI code page
# from the locale (LC_ALL), and needs the locale itself to read UTF-8 names.
# Safe to call from parallel tests.
# usage: ensure-locale.sh LOCALE FOLDER
set -eu
name=$1
folder=$2
if locale -a 2>/dev/null | grep -qix "$(echo "$name" | sed 's/UTF-8$/utf-\\?8/')"; then
  exit 0
fi
if [ ! -f "$folder/$name/LC_CTYPE" ]; then
  mkdir -p "$folder"
  exec 9>"$folder/.lock"
  flock 9
  if [ ! -f "$folder/$name/LC_CTYPE" ]; then
    language=${name%%.*}
    charset=${name#*.}
    # localedef warns about some sources and still writes a usable locale.
    localedef -i "$language" -f "$charset" "$folder/$name" >/dev/null 2>&1 || true
    [ -f "$folder/$name/LC_CTYPE" ] || { echo "ensure-locale.sh: cannot make $name" >&2; exit 1; }
  fi
fi
echo "$folder"
