#!/usr/bin/env bash
# Fails unless an exe loads on Windows 2000: PE subsystem version 5.0 or lower, no delay-loaded
# or by-ordinal imports, and every imported DLL and name on the allowlist. Given an expected
# complaint as 4th argument it checks itself instead: it passes only if that is the one complaint.
set -euo pipefail
objdump=$1 allowlist=$2 exe=$3 expected=${4-}

header=$("$objdump" -p "$exe")
complaints=()

major=$(awk '$1 == "MajorSubsystemVersion" { print $2 }' <<<"$header")
minor=$(awk '$1 == "MinorSubsystemVersion" { print $2 }' <<<"$header")
if [ -z "$major" ] || [ -z "$minor" ]; then
  echo "no subsystem version in the PE header of $exe" >&2
  exit 2
fi
if [ "$major" -gt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -gt 0 ]; }; then
  complaints+=("subsystem version $major.$minor is above 5.0")
fi

# The delay-load table is not listed by objdump, so its names would escape the allowlist.
if ! grep -Eq '^Entry d 0+ 0+ Delay Import Directory' <<<"$header"; then
  complaints+=("delay-loaded imports are present")
fi

# "<dll> <name>" for every import, the DLL name folded to lower case as Windows compares it.
imports=$(awk '
  /^\tDLL Name: / { dll = tolower($3); next }
  /^$/ { dll = ""; next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll, $3 }' <<<"$header")
if [ -z "$imports" ]; then
  echo "no import table found in $exe" >&2
  exit 2
fi

declare -A allowed
while read -r dll name; do
  [ -n "$dll" ] && [ "${dll:0:1}" != "#" ] && allowed["${dll,,} $name"]=1
done <"$allowlist"

while read -r dll name; do
  if [ "$name" = "<none>" ]; then
    complaints+=("imported by ordinal from $dll")
  elif [ -z "${allowed["$dll $name"]-}" ]; then
    complaints+=("not in the Windows 2000 allowlist: $dll $name")
  fi
done <<<"$imports"

echo "$(wc -l <<<"$imports") imports from: $(cut -d' ' -f1 <<<"$imports" | sort -u | paste -sd' ')"
for c in "${complaints[@]}"; do echo "$c"; done

if [ -n "$expected" ]; then
  if [ ${#complaints[@]} -eq 1 ] && [ "${complaints[0]}" = "$expected" ]; then
    echo "rejected as expected"
    exit 0
  fi
  echo "expected exactly one complaint: \"$expected\"" >&2
  exit 1
fi
[ ${#complaints[@]} -eq 0 ]
