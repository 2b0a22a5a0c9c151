#!/usr/bin/env bash
# Builds the release archive with CPack into a scratch directory and fails unless it holds
# exactly karvelon.exe (the one just built), the guide, the licence, the third-party notices and
# a checksum file that verifies; the texts must have Windows line ends, and the archive's own
# checksum must verify. The notices must list exactly the third-party files that the link map of
# karvelon.exe shows. Beside the archive must lie the SPDX bill of materials of that exe, which
# gives KARVELON the licence that LICENSE.txt names, and whose versions are those of the installed
# Debian packages. (packaging/third-party.py's own logic is
# tested on the host, against fixtures: tests/notices_test.py.)
set -euo pipefail
cmake=$1 cpack=$2 build=$3 work=$4 version=$5 jq=$6
name=karvelon-$version-win32
fail=0
complain() { echo "FAIL: $*"; fail=1; }

rm -rf "$work" && mkdir -p "$work"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" || { cat "$work/cpack.log"; exit 1; }
cd "$work"
[ -f "$name.zip" ] || { cat cpack.log; echo "FAIL: no $name.zip"; exit 1; }
sha256sum --quiet -c "$name.zip.sha256" || complain "the archive's checksum file does not match it"

listing=$("$cmake" -E tar tf "$name.zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$name/"{LICENSE.txt,README.txt,SHA256SUMS.txt,THIRD-PARTY-NOTICES.txt,karvelon.exe,karvelon-$version.spdx.json} | sort)
[ "$listing" = "$expected" ] || complain "archive holds"$'\n'"$listing"$'\n'"expected"$'\n'"$expected"

mkdir unpacked && (cd unpacked && "$cmake" -E tar xf "../$name.zip")
cd "unpacked/$name"
cmp -s karvelon.exe "$build/karvelon.exe" || complain "the archive's karvelon.exe is not the one built"
sha256sum --quiet -c SHA256SUMS.txt || complain "SHA256SUMS.txt does not verify"
for f in karvelon.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
  grep -q "  $f"$'\r'"\$" SHA256SUMS.txt || complain "SHA256SUMS.txt has no line for $f"
done
for f in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt SHA256SUMS.txt; do
  if grep -qv $'\r$' "$f"; then complain "$f has lines without a Windows line end"; fi
  if LC_ALL=C grep -q $'[^\t\r -~]' "$f"; then complain "$f is not plain ASCII"; fi
done
grep -qF "KARVELON $version" README.txt || complain "README.txt does not name version $version"

# The third-party files of the link, as "file" or "archive(member)": those that are not in the build
# directory, or are in the runtime it builds.
map_inputs=$(awk '
  /^Archive member included/ { section = "members"; next }
  /^(Allocating common symbols|Discarded input sections|Memory Configuration)/ { section = ""; next }
  /^Linker script and memory map/ { section = "load"; next }
  section == "members" && /^[^ \t]/ { sub(/\).*/, ")"); print; next }
  section == "load" && /^LOAD / { sub(/^LOAD /, ""); if ($0 !~ /\.a$/ && $0 != "dll stuff") print }' \
  "$build/karvelon.map" | while IFS= read -r input; do
    path=${input%%(*}
    [[ $path == /* ]] || path=$build/$path
    [[ $path != "$build"/* || $path == "$build"/mingw-runtime/* ]] || continue
    archive=${input%%(*}
    echo "${path##*/}${input:${#archive}}"
  done | sort -u)
notices=THIRD-PARTY-NOTICES.txt
noticed=$(tr -d '\r' <"$notices" | sed -n '/^What the link took/,$ s/^    \([^ ].*\)$/\1/p' | sort)
[ "$noticed" = "$map_inputs" ] ||
  complain "the notices list other files than the link took:"$'\n'"$(diff <(echo "$map_inputs") <(echo "$noticed"))"
grep -q $'^   2. Redistributions in binary form must reproduce the accompanying\r$' "$notices" ||
  complain "the notices lack the ZPL 2.1 text"

sbom=$work/karvelon-$version.spdx.json
if [ ! -f "$sbom" ]; then
  complain "no karvelon-$version.spdx.json beside the archive"
elif ! cmp -s "$sbom" "karvelon-$version.spdx.json"; then
  complain "the SBOM in the archive is not the one beside it"
elif ! "$jq" -e '.spdxVersion == "SPDX-2.3"' "$sbom" >/dev/null; then
  complain "$sbom is not an SPDX 2.3 document"
else
  [ "$("$jq" -r '.packages[] | select(.SPDXID == "SPDXRef-karvelon") | .checksums[] | select(.algorithm == "SHA256")
        | .checksumValue' "$sbom")" = "$(sha256sum <karvelon.exe | cut -d' ' -f1)" ] ||
    complain "the SBOM does not give the archive's karvelon.exe's SHA-256"
  licence=$(sed -n '1s/^KARVELON licence (\(.*\))\r$/\1/p' LICENSE.txt)
  [ -n "$licence" ] && [ "$("$jq" -r '.packages[] | select(.SPDXID == "SPDXRef-karvelon")
      | "\(.licenseDeclared) \(.licenseConcluded)"' "$sbom")" = "$licence $licence" ] ||
    complain "the SBOM does not give KARVELON the licence that LICENSE.txt names (${licence:-none})"
  # Versions are those of the installed Debian packages (for a source package: one built from it),
  # whole: a version that the installed one merely contains is refused, as the planted ones below.
  # Pipes are read to their end: under pipefail a reader that stops early fails its writer.
  installed() { # package|version|arch lines
    local package version arch status=0
    while IFS='|' read -r package version arch; do
      if [ "$arch" = source ]; then
        dpkg-query -W -f='${source:Package}|${source:Version}\n' | grep -xF "$package|$version" >/dev/null ||
          { echo "no installed package is built from $package $version"; status=1; }
      elif [ "$(dpkg-query -W -f='${Version}' "$package")" != "$version" ]; then
        echo "the SBOM gives $package $version, but $(dpkg-query -W -f='${Version}' "$package") is installed"; status=1
      fi
    done
    return $status
  }
  purls=$("$jq" -r '.packages[].externalRefs[]? | select(.referenceType == "purl") | .referenceLocator
      | capture("^pkg:deb/debian/(?<p>[^@]+)@(?<v>[^?]+)[?]arch=(?<a>.*)$") | "\(.p)|\(.v)|\(.a)"' "$sbom")
  problems=$(installed <<<"$purls") || complain "$problems"
  while IFS='|' read -r package source_version _; do
    for planted in "${source_version:1}" "${source_version%?}"; do
      ! installed <<<"$package|$planted|source" >/dev/null || complain "the version check takes $package $planted"
    done
  done < <(grep '|source$' <<<"$purls")
fi

[ $fail -eq 0 ] && echo "$name.zip: $(paste -sd' ' <<<"$listing")"
exit $fail
