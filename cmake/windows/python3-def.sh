#!/usr/bin/env bash
# Prints the python3.def that the compiled module objects need: every C API
# name they import, marked DATA when the headers declare it as data
# (PyAPI_DATA), so that dlltool makes no code thunk for it.
#
#   cmake/windows/python3-def.sh STAGED_INCLUDE_DIR OBJECT...
#
# Writes to standard output; redirect into cmake/windows/python3.def after a
# change of the module's C API use. .ci/windows runs it to check the
# committed file.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 STAGED_INCLUDE_DIR OBJECT..." >&2
  exit 2
fi
include=$1
shift
nm=${NM:-x86_64-w64-mingw32-nm}

data_names=$(grep -rhoP 'PyAPI_DATA\((?:[^()]|\([^)]*\))*\)\s*\**\s*\K\w+' "$include" | sort -u)
# With dllimport every use is a reference to __imp_NAME; a plain NAME would
# come from code that bypasses the declarations, and is needed all the same.
used=$("$nm" -u "$@" | awk '{print $NF}' | sed -n -E 's/^(__imp_)?(_?Py[A-Za-z0-9_]*)$/\2/p' | sort -u)

cat <<'HEAD'
; The names of python3.dll (the stable ABI) that the _kelvar module uses, and
; no others: the import library is made from this list, so a name missing
; here fails the link, and .ci/windows fails on a name listed but not used.
; Regenerate with cmake/windows/python3-def.sh.
LIBRARY python3.dll
EXPORTS
HEAD
for name in $used; do
  if grep -qxF "$name" <<<"$data_names"; then
    echo "  $name DATA"
  else
    echo "  $name"
  fi
done
