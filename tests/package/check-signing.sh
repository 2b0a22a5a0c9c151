#!/usr/bin/env bash
# Signs a release with a throwaway self-signed certificate and fails unless the signature holds
# and catches a changed byte, scripts/verify-release rebuilds the signed exe from source, the
# signed exe still runs under Wine, the zip holds it with checksums that verify, and a signing
# that cannot succeed fails and leaves no release behind.
set -euo pipefail
source=$1 build=$2 work=$3 base_prefix=$4 cmake=$5 version=$6
name=karvelon-$version-win32
fail=0
complain() { echo "FAIL: $*"; fail=1; }

rm -rf "$work" && mkdir -p "$work" && cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Karvelon Throwaway Signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -in cert.pem -inkey key.pem -passout pass:right -out cert.p12
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
expect pass "osslsigncode verify, signed exe" osslsigncode verify -CAfile cert.pem -in "$exe"
grep -q "Message digest algorithm *: *SHA256" "check-$n.log" || complain "the exe is not signed with SHA-256"
expect fail "osslsigncode verify, one byte changed" osslsigncode verify -CAfile cert.pem -in tampered.exe
expect pass "verify-release, signed exe" "$verify_release" --CAfile cert.pem "$exe" "$exe.p7s"
grep -q "signed by: .*CN *= *Karvelon Throwaway Signer" "check-$n.log" ||
  complain "verify-release does not name the signer"
expect fail "verify-release, one byte changed" "$verify_release" --CAfile cert.pem tampered.exe "$exe.p7s"
expect fail "verify-release, root not trusted" "$verify_release" "$exe" "$exe.p7s"
# A source one byte away from the release's must not verify: the signature goes on the rebuild.
# The copy lies inside this checkout's build/, where git would see no files: it is told to stop.
bash "$source/scripts/copy-source-tree" changed-source
sed -i 's/ System registry cleaned\./ System registry cleaneD./' changed-source/cleaner/removal.h
expect fail "verify-release, one source byte changed" env GIT_CEILING_DIRECTORIES="$work" \
  changed-source/scripts/verify-release --CAfile cert.pem "$exe" "$exe.p7s"
grep -qiE "mismatch|is not this source's build" "check-$n.log" ||
  complain "verify-release of a changed source did not fail on the comparison"
expect pass "sign --pfx" env KARVELON_SIGN_PASSWORD=right "$source/scripts/sign" --pfx cert.p12 \
  --build-dir "$build" --output pfx-release

# Signings that cannot succeed, each over a copy of a complete release, which must be gone after.
# password | arguments | what
while IFS='|' read -r password arguments what; do
  rm -rf stale && cp -a release stale
  expect fail "sign with $what" env KARVELON_SIGN_PASSWORD="$password" "$source/scripts/sign" $arguments \
    --build-dir "$build" --output stale
  [ ! -e stale ] || complain "sign with $what left a release behind"
  ! compgen -G "stale.partial.*" >/dev/null || complain "sign with $what left its staging folder behind"
done <<'EOF'
|--cert cert.pem --key missing-key.pem|a missing key
wrong|--pfx cert.p12|a wrong password
|--cert cert.pem --key cert.pem|a file that is no key
|--cert cert.pem --key key.pem --timestamp http://127.0.0.1:9/|an unreachable timestamp server
EOF

# An osslsigncode whose attach-signature gives back one byte changed: sign must refuse a
# detached signature that does not reproduce the signed exe.
mkdir -p wrapped
cat >wrapped/osslsigncode <<'EOF'
#!/usr/bin/env bash
"$REAL_OSSLSIGNCODE" "$@" || exit
[ "$1" = attach-signature ] || exit 0
while [ "$1" != -out ]; do shift; done
at=$(($(stat -c %s "$2") / 2))
byte=$(od -An -tu1 -j "$at" -N1 "$2" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0xff)))" | dd of="$2" bs=1 seek="$at" conv=notrunc status=none
EOF
chmod +x wrapped/osslsigncode
expect fail "sign, the reattached signature differing" env PATH="$work/wrapped:$PATH" \
  REAL_OSSLSIGNCODE="$(command -v osslsigncode)" "$source/scripts/sign" --cert cert.pem --key key.pem \
  --build-dir "$build" --output wrapped-release
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
expected=$(printf "./$name/%s\n" LICENSE.txt README.txt SHA256SUMS.txt karvelon.exe)
[ "$listing" = "$expected" ] || complain "the zip holds"$'\n'"$listing"
cmp -s "unpacked/$name/karvelon.exe" "$exe" || complain "the zip's karvelon.exe is not the signed one"
(cd release && sha256sum --quiet -c "$name.zip.sha256") || complain "the zip's .sha256 does not verify"
(cd "unpacked/$name" && sha256sum --quiet -c SHA256SUMS.txt) ||
  complain "the zip's SHA256SUMS.txt does not verify"

wineserver -k >/dev/null 2>&1 || true
trap - EXIT
rm -rf "$WINEPREFIX"
[ $fail -eq 0 ] && echo "signed: $(stat -c %s "$exe") bytes, unsigned $(stat -c %s "$build/karvelon.exe")"
exit $fail
