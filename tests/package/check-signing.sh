#!/usr/bin/env bash
# Signs a release with a throwaway self-signed certificate and fails unless the signature holds
# and catches a changed byte, scripts/verify-release rebuilds the signed exe from source, the
# signed exe still runs under Wine, the zip holds it with checksums that verify, one for each
# file, the notices lie in and beside the zip and the bill of materials beside it names the signed
# exe, and a signing that cannot succeed fails and leaves no release behind; and that sign signs a
# fresh build, keeps the password off command lines, and leaves alone an --output that is not a
# release.
set -euo pipefail
source=$1 build=$2 work=$3 base_prefix=$4 cmake=$5 version=$6 jq=$7
name=karvelon-$version-win32
fail=0
complain() { echo "FAIL: $*"; fail=1; }

rm -rf "$work" && mkdir -p "$work" && cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Karvelon Throwaway Signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem 2>/dev/null
# Unlike any word, so that finding it among osslsigncode's arguments means it was put there.
secret=right-Pa55-7q2x
openssl pkcs12 -export -in cert.pem -inkey key.pem -passout "pass:$secret" -out cert.p12
unsigned_before=$(sha256sum <"$build/karvelon.exe")
"$source/scripts/sign" --cert cert.pem --key key.pem --build-dir "$build" --output release >sign.log 2>&1 ||
  { cat sign.log; echo "FAIL: scripts/sign"; exit 1; }
[ "$(sha256sum <"$build/karvelon.exe")" = "$unsigned_before" ] || complain "signing changed the unsigned exe"
exe=$work/release/karvelon.exe

cp "$exe" tampered.exe
offset=$(($(stat -c %s "$build/karvelon.exe") / 2))
byte=$(od -An -tu1 -j "$offset" -N1 tampered.exe | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0xff)))" | dd of=tampered.exe bs=1 seek="$offset" conv=notrunc status=none

# Runs a command that should pass or fail; its output stays in the log for a failure.
n=0
expect() {
  local wanted=$1 what=$2 got=fail
  shift 2
  n=$((n + 1))
  if "$@" >"check-$n.log" 2>&1; then got=pass; fi
  [ "$got" = "$wanted" ] || { cat "check-$n.log"; complain "$what: expected $wanted, got $got"; }
}
verify_release=$source/scripts/verify-release
# Whether every digest of every signature that the last check's osslsigncode verify showed, a nested
# one's too, is SHA-256 ($digests): Windows no longer trusts SHA-1 in code signing.
sha256_alone() {
  digests=$(sed -n 's/^Message digest algorithm *: *//p' "check-$n.log" | sort -u | paste -sd' ')
  [ "$digests" = SHA256 ]
}
expect pass "osslsigncode verify, signed exe" osslsigncode verify -CAfile cert.pem -in "$exe"
sha256_alone || complain "the exe is not signed with SHA-256 alone: ${digests:-no digest shown}"
# The rule itself refuses SHA-1 beside SHA-256: nested in the release's signature, and as the primary
# signature with SHA-256 nested in it (dual signing).
signed_with() { osslsigncode sign -certs cert.pem -key key.pem -h "$1" "${@:2}" >/dev/null; }
signed_with sha1 -nest -in "$exe" -out nested.exe
signed_with sha1 -in "$build/karvelon.exe" -out sha1.exe && signed_with sha256 -nest -in sha1.exe -out dual.exe
for mixed in nested.exe dual.exe; do
  expect pass "osslsigncode verify, $mixed" osslsigncode verify -CAfile cert.pem -in "$mixed"
  ! sha256_alone || complain "SHA-1 beside SHA-256 ($mixed: $digests) passes for SHA-256 alone"
done
expect fail "osslsigncode verify, one byte changed" osslsigncode verify -CAfile cert.pem -in tampered.exe
expect pass "verify-release, signed exe" "$verify_release" --CAfile cert.pem "$exe" "$exe.p7s"
grep -q "signed by: .*CN *= *Karvelon Throwaway Signer" "check-$n.log" ||
  complain "verify-release does not name the signer"
expect fail "verify-release, one byte changed" "$verify_release" --CAfile cert.pem tampered.exe "$exe.p7s"
expect fail "verify-release, root not trusted" "$verify_release" "$exe" "$exe.p7s"
# A source one byte away from the release's must not verify: the signature goes on the rebuild.
# The copy lies inside this checkout's build/, which git ignores: it gets a repository of its
# own, where the changed byte is an uncommitted change.
bash "$source/scripts/copy-source-tree" changed-source
git -C changed-source init -q && git -C changed-source add -A
git -C changed-source -c user.name=test -c user.email=test@invalid -c commit.gpgsign=false commit -qm copy
sed -i 's/ System registry cleaned\./ System registry cleaneD./' changed-source/cleaner/removal.h
expect fail "verify-release, one source byte changed" \
  changed-source/scripts/verify-release --CAfile cert.pem "$exe" "$exe.p7s"
grep -qiE "mismatch|is not this source's build" "check-$n.log" ||
  complain "verify-release of a changed source did not fail on the comparison"
grep -q "^source: .* with uncommitted changes" "check-$n.log" ||
  complain "verify-release did not say that the source has uncommitted changes"

# The exe that verify-release just built is stale once its source is changed back; sign must sign
# the rebuild, which (the build being reproducible) is this build's exe.
tree=$work/changed-source/build/verify-release/tree
sed -i 's/ System registry cleaneD\./ System registry cleaned./' "$tree/cleaner/removal.h"
expect pass "sign after a source change" "$tree/scripts/sign" --cert cert.pem --key key.pem \
  --build-dir "$tree/build/release" --output rebuilt-release
osslsigncode remove-signature -in rebuilt-release/karvelon.exe -out rebuilt-unsigned.exe >/dev/null 2>&1 || true
cmp -s rebuilt-unsigned.exe "$build/karvelon.exe" || complain "sign did not rebuild the changed source"

# Signings that cannot succeed, each over a copy of a complete release, which must be gone after;
# or kept, where sign refuses its arguments before it does anything.
# password | arguments | what | the earlier release
while IFS='|' read -r password arguments what earlier; do
  rm -rf stale && cp -a release stale
  expect fail "sign with $what" env KARVELON_SIGN_PASSWORD="$password" "$source/scripts/sign" $arguments \
    --build-dir "$build" --output stale
  if [ "$earlier" = kept ]; then
    cmp -s stale/karvelon.exe release/karvelon.exe || complain "sign with $what did not keep the earlier release"
  else
    [ ! -e stale ] || complain "sign with $what left a release behind"
  fi
  ! compgen -G "stale.partial.*" >/dev/null || complain "sign with $what left its staging folder behind"
done <<EOF
|--cert cert.pem --key missing-key.pem|a missing key|gone
wrong|--pfx cert.p12|a wrong password|gone
|--cert cert.pem --key cert.pem|a file that is no key|gone
|--cert cert.pem --key key.pem --timestamp http://127.0.0.1:9/|an unreachable timestamp server|gone
$secret|--pfx cert.p12 --cert cert.pem|a .p12 file and a certificate|kept
$secret|--pfx cert.p12 --key key.pem|a .p12 file and a key|kept
EOF

# Someone else's directory as --output, even one with only hidden files: sign refuses it, names
# it, and leaves it as it was.
for file in notes.txt .git/HEAD; do
  rm -rf occupied && mkdir -p "$(dirname "occupied/$file")" && echo "not a release" >"occupied/$file"
  expect fail "sign into a directory holding $file" "$source/scripts/sign" --cert cert.pem --key key.pem \
    --build-dir "$build" --output occupied
  grep -q "^sign: .*occupied" "check-$n.log" || complain "sign did not name the --output it refused"
  [ "$(cat "occupied/$file" 2>/dev/null)" = "not a release" ] || complain "sign emptied an --output holding $file"
done

# An osslsigncode that fails when it finds the password among its arguments, where any user could
# read it, and with CHANGE_REATTACHED set, gives back attach-signature's output one byte changed.
mkdir -p wrapped
cat >wrapped/osslsigncode <<'EOF'
#!/usr/bin/env bash
[[ " $* " != *"${PASSWORD:?}"* ]] || { echo "osslsigncode: the password is on the command line" >&2; exit 1; }
"$REAL_OSSLSIGNCODE" "$@" || exit
[ "$1" = attach-signature ] && [ -n "${CHANGE_REATTACHED:-}" ] || exit 0
while [ "$1" != -out ]; do shift; done
at=$(($(stat -c %s "$2") / 2))
byte=$(od -An -tu1 -j "$at" -N1 "$2" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0xff)))" | dd of="$2" bs=1 seek="$at" conv=notrunc status=none
EOF
chmod +x wrapped/osslsigncode
wrapped=(env PATH="$work/wrapped:$PATH" REAL_OSSLSIGNCODE="$(command -v osslsigncode)" PASSWORD="$secret")
expect pass "sign --pfx" "${wrapped[@]}" KARVELON_SIGN_PASSWORD="$secret" "$source/scripts/sign" --pfx cert.p12 \
  --build-dir "$build" --output pfx-release
expect fail "sign, the reattached signature differing" "${wrapped[@]}" CHANGE_REATTACHED=1 \
  "$source/scripts/sign" --cert cert.pem --key key.pem --build-dir "$build" --output wrapped-release
grep -q "does not give back the signed exe" "check-$n.log" || complain "sign failed, but not on the comparison"
[ ! -e wrapped-release ] || complain "sign with a differing reattached signature left a release behind"
! compgen -G "wrapped-release.partial.*" >/dev/null || complain "sign left its staging folder behind"

# Signed, it runs as before: no console, so no wait, and the not-infected outcome.
export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cp -a "$base_prefix" "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
cp "$exe" "$WINEPREFIX/drive_c/karvelon.exe"
status=0
wine 'C:\karvelon.exe' </dev/null >wine.out 2>wine.err || status=$?
[ "$status" = 0 ] || complain "the signed exe exited with $status"
{ sed 's/$/\r/' "$source/tests/golden/banner.txt"
  printf '%s\r\n' " Your system is not infected with TROJ_NAVIDAD.A or TROJ_NAVIDAD.E."; } >wine.expected
cmp -s wine.expected wine.out ||
  { diff <(cat -A wine.expected) <(cat -A wine.out); complain "the signed exe's output differs"; }

mkdir unpacked && (cd unpacked && "$cmake" -E tar xf "../release/$name.zip")
listing=$(cd unpacked && find . -type f | sort)
expected=$(printf "./$name/%s\n" LICENSE.txt README.txt SHA256SUMS.txt THIRD-PARTY-NOTICES.txt \
  "karvelon-$version.spdx.json" karvelon.exe)
[ "$listing" = "$expected" ] || complain "the zip holds"$'\n'"$listing"
cmp -s "unpacked/$name/karvelon.exe" "$exe" || complain "the zip's karvelon.exe is not the signed one"
(cd release && sha256sum --quiet -c "$name.zip.sha256") || complain "the zip's .sha256 does not verify"
(cd "unpacked/$name" && sha256sum --quiet -c SHA256SUMS.txt) ||
  complain "the zip's SHA256SUMS.txt does not verify"
for file in karvelon.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
  grep -q "  $file"$'\r'"\$" "unpacked/$name/SHA256SUMS.txt" || complain "the zip's SHA256SUMS.txt has no line for $file"
done
for notices in "unpacked/$name/THIRD-PARTY-NOTICES.txt" release/THIRD-PARTY-NOTICES.txt; do
  cmp -s "$notices" "$build/package/THIRD-PARTY-NOTICES.txt" || complain "$notices is not the build's notices"
done
sbom=release/karvelon-$version.spdx.json
[ "$("$jq" -r '.packages[] | select(.SPDXID == "SPDXRef-karvelon") | .checksums[].checksumValue' "$sbom" 2>&1)" = \
  "$(sha256sum <"$exe" | cut -d' ' -f1)" ] || complain "$sbom does not give the signed exe's SHA-256"
cmp -s "$sbom" "unpacked/$name/${sbom#release/}" || complain "the zip's SBOM is not the release's"

wineserver -k >/dev/null 2>&1 || true
trap - EXIT
rm -rf "$WINEPREFIX"
[ $fail -eq 0 ] && echo "signed: $(stat -c %s "$exe") bytes, unsigned $(stat -c %s "$build/karvelon.exe")"
exit $fail
