#!/usr/bin/env bash
# Builds the release archive with CPack into a scratch directory and fails unless it holds
# exactly karvelon.exe (the one just built), the guide, the licence and a checksum file that
# verifies; the texts must have Windows line ends, and the archive's own checksum must verify.
set -euo pipefail
cmake=$1 cpack=$2 build=$3 work=$4 version=$5
name=karvelon-$version-win32
fail=0
complain() { echo "FAIL: $*"; fail=1; }

rm -rf "$work" && mkdir -p "$work"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" || { cat "$work/cpack.log"; exit 1; }
cd "$work"
[ -f "$name.zip" ] || { cat cpack.log; echo "FAIL: no $name.zip"; exit 1; }
sha256sum --quiet -c "$name.zip.sha256" || complain "the archive's checksum file does not match it"

listing=$("$cmake" -E tar tf "$name.zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$name/"{LICENSE.txt,README.txt,SHA256SUMS.txt,karvelon.exe} | sort)
[ "$listing" = "$expected" ] || complain "archive holds"$'\n'"$listing"$'\n'"expected"$'\n'"$expected"

mkdir unpacked && (cd unpacked && "$cmake" -E tar xf "../$name.zip")
cd "unpacked/$name"
cmp -s karvelon.exe "$build/karvelon.exe" || complain "the archive's karvelon.exe is not the one built"
sha256sum --quiet -c SHA256SUMS.txt || complain "SHA256SUMS.txt does not verify"
for f in karvelon.exe README.txt LICENSE.txt; do
  grep -q "  $f"$'\r'"\$" SHA256SUMS.txt || complain "SHA256SUMS.txt has no line for $f"
done
for f in README.txt LICENSE.txt SHA256SUMS.txt; do
  if grep -qv $'\r$' "$f"; then complain "$f has lines without a Windows line end"; fi
  if LC_ALL=C grep -q $'[^\t\r -~]' "$f"; then complain "$f is not plain ASCII"; fi
done
grep -qF "KARVELON $version" README.txt || complain "README.txt does not name version $version"

[ $fail -eq 0 ] && echo "$name.zip: $(paste -sd' ' <<<"$listing")"
exit $fail
