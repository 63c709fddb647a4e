#!/bin/sh
# Fails unless every DLL that the given Windows programs import ships with
# Windows itself, so the programs run on a bare system with no runtime DLLs
# (libstdc++, libgcc, libwinpthread) beside them.
# usage: check_imports.sh OBJDUMP PROGRAM...
set -eu
objdump=$1
shift
status=0
for program in "$@"; do
  dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if [ -z "$dlls" ]; then
    echo "$program: no import table found" >&2
    status=1
    continue
  fi
  for dll in $dlls; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
      kernel32.dll | user32.dll | gdi32.dll | comdlg32.dll | comctl32.dll | shell32.dll | \
        advapi32.dll | ole32.dll | msvcrt.dll | api-ms-win-*.dll)
        echo "$program: $dll" ;;
      *)
        echo "$program: imports $dll, which is not part of Windows" >&2
        status=1 ;;
    esac
  done
done
exit $status
