#!/usr/bin/env bash
# Checks the export table of doip.dll: every C function that include/doip.h declares with DOIP_API is
# exported under its plain name (no leading underscore, no @n suffix), and the exported C++ classes
# (doip_message_raii and the uilitylib classes with out-of-line members) are there too.
# Usage: scripts/check-exports.sh OBJDUMP DLL HEADER
# Exits non-zero and lists what is missing on any failure.
set -euo pipefail

if [ $# -ne 3 ]; then
  sed -n '5p' "$0" >&2
  exit 2
fi
objdump=$1
dll=$2
header=$3

# The export table as plain names, one per line.
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  awk '/^\t\[/ {print $NF}')
if [ -z "$exports" ]; then
  echo "no export table found in $dll" >&2
  exit 1
fi

# Declarations may span lines: join the header into one line, cut it at every ';', and keep each
# DOIP_API declaration that has a parameter list. The function name is the word before the first '('.
names=$(tr '\n' ' ' <"$header" | tr ';' '\n' | grep -E '(^|[^A-Za-z0-9_])DOIP_API[[:space:]][^{]*\(' |
  sed -E 's/^.*DOIP_API[[:space:]]//; s/\(.*$//; s/[[:space:]]+$//; s/^.*[^A-Za-z0-9_]//' | sort -u)

# Cross-check the extraction itself: one name per DOIP_API function declaration of the header.
declared=$(tr '\n' ' ' <"$header" | grep -oE '(class[[:space:]]+)?DOIP_API[[:space:]]+[A-Za-z_]+' |
  grep -cv '^class' || true)
count=$(printf '%s\n' "$names" | grep -c . || true)
if [ "$count" -ne "$declared" ] || [ "$count" -eq 0 ]; then
  echo "read $count function names from $header, but it declares $declared DOIP_API functions" >&2
  exit 1
fi

missing=0
for name in $names; do
  if ! grep -qxF "$name" <<<"$exports"; then
    echo "not exported under its plain name: $name" >&2
    missing=$((missing + 1))
  fi
done

# One constructor or member of each exported class is enough to show that the class is exported. Itanium
# names: _ZN<len><name>..., e.g. _ZN17doip_message_raiiC1Ev.
classes="17doip_message_raii 9uilitylib9Timestamp 9uilitylib5Timer 9uilitylib10TimerQueue 9uilitylib9EventLoop
9uilitylib5Latch 9uilitylib9StdThread 9uilitylib15ThreadEventLoop"
for class in $classes; do
  if ! grep -qE "^_ZN(K)?${class}" <<<"$exports"; then
    echo "no member of class ${class} exported" >&2
    missing=$((missing + 1))
  fi
done

if [ "$missing" -ne 0 ]; then
  echo "$missing export(s) missing from $dll" >&2
  exit 1
fi
echo "$dll exports all $count C functions of $(basename "$header") undecorated and the C++ classes"
