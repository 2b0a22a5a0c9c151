#!/usr/bin/env bash
# Fails unless an exe loads and runs on every 32-bit Windows from 95 and NT 4.0 on, on an
# i486 or later: OS and subsystem version 4.0 or lower in the PE header, no delay-loaded or
# by-ordinal imports, every imported DLL and name on the allowlist, and no instruction that
# came after the i486; and unless its header asks the Windows that can for what hardens it.
# Given an expected complaint as 4th argument it checks itself instead: it passes only if that
# is the one complaint.
set -euo pipefail
objdump=$1 allowlist=$2 exe=$3 expected=${4-}

header=$("$objdump" -p "$exe")
complaints=()

# The loaders of Windows 95 and NT 4.0 refuse an image that asks for more than their own 4.0:
# 4.10 is Windows 98's number.
for field in "OSystem OS" "Subsystem subsystem"; do
  read -r name label <<<"$field"
  major=$(awk -v f="Major${name}Version" '$1 == f { print $2 }' <<<"$header")
  minor=$(awk -v f="Minor${name}Version" '$1 == f { print $2 }' <<<"$header")
  if [ -z "$major" ] || [ -z "$minor" ]; then
    echo "no $label version in the PE header of $exe" >&2
    exit 2
  fi
  if [ "$major" -gt 4 ] || { [ "$major" -eq 4 ] && [ "$minor" -gt 0 ]; }; then
    complaints+=("$label version $major.$minor is above 4.0")
  fi
done

# Address space layout randomization, data execution prevention, and no compatibility shims
# of a terminal server; older Windows ignore the flags.
for flag in DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do
  awk '/^DllCharacteristics/ { inside = 1; next } inside && /^\t\t/ { print $1; next } { inside = 0 }' <<<"$header" |
    grep -qx "$flag" || complaints+=("the header lacks $flag")
done

# "<dll> <name>" for every import, the DLL name folded to lower case as Windows compares it.
imports=$(awk '
  /^\tDLL Name: / { dll = tolower($3); next }
  /^$/ { dll = ""; next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll, $3 }' <<<"$header")
if [ -z "$imports" ]; then
  echo "no import table found in $exe" >&2
  exit 2
fi

# The delay-load table is not listed by objdump, so its names would escape the allowlist. GNU ld
# leaves its directory empty, and dlltool's delay-import libraries put their address tables
# among the ordinary ones: so the import address table may hold no more than a slot for each
# listed import and the null that ends each DLL's list.
iat_size=$(awk '$1 == "Entry" && $2 == "c" { print $4 }' <<<"$header")
iat_listed=$(awk '/^\tDLL Name: / { n++ } END { print n }' <<<"$header")
iat_listed=$((iat_listed + $(wc -l <<<"$imports")))
if ! grep -Eq '^Entry d 0+ 0+ Delay Import Directory' <<<"$header" ||
  [ $((16#${iat_size:-0} / 4)) -gt "$iat_listed" ]; then
  complaints+=("delay-loaded imports are present")
fi

declare -A allowed
while read -r dll name; do
  [ -n "$dll" ] && [ "${dll:0:1}" != "#" ] && allowed["${dll,,} $name"]=1
done <"$allowlist"

while read -r dll name; do
  if [ "$name" = "<none>" ]; then
    complaints+=("imported by ordinal from $dll")
  elif [ -z "${allowed["$dll $name"]-}" ]; then
    complaints+=("not exported by both Windows 95 and NT 4.0: $dll $name")
  fi
done <<<"$imports"

# Instructions of later processors, as objdump names them: the Pentium's (rdtsc, cmpxchg8b,
# cpuid, which not every 486 has), the Pentium Pro's (conditional moves, fcomi, the long nop,
# ud2, sysenter), and every MMX, SSE and AVX instruction (those that name an %mm, %xmm or %ymm
# register, and the rest by name). The .ctors and .dtors lists that the linker puts in .text
# disassemble as "(bad)"; they are data, never run. objdump writes an instruction's prefixes as
# words before its mnemonic ("lock", "repz", "cs", "data16", ...), any number of them.
prefixes='((lock|rep[a-z]*|[c-gs]s|data(16|32)|addr(16|32)|bnd|notrack|xacquire|xrelease) )*'
later="^$prefixes(f?cmov[a-z]*|f(u)?comip?|rdtscp?|rdpmc|cmpxchg(8|16)b|cpuid|nop[wl]|ud[0-2]|sys(enter|exit|call|ret)|emms|femms|prefetch[a-z0-9]*|[lms]fence|clflush[a-z]*|movnti|fxsave|fxrstor|ldmxcsr|stmxcsr|fisttp[a-z]*)( |$)"
registers='%[xy]?mm[0-9]'
offending=$("$objdump" -d "$exe" | awk -F'\t' -v later="$later" -v registers="$registers" '
  NF >= 3 && $1 ~ /^ *[0-9a-f]+:$/ && ($3 ~ later || $3 ~ registers) { print $3 "\t" $1 }')
if [ -n "$offending" ]; then
  echo "instructions beyond the i486:"
  sed 's/^/  /' <<<"$offending"
  complaints+=("instructions beyond the i486: $(sed -E "s/^$prefixes//" <<<"$offending" | cut -d' ' -f1 | cut -f1 |
    sort -u | paste -sd' ')")
fi

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
