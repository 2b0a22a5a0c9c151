#!/usr/bin/env bash
# Fails unless karvelon.exe carries what Windows reads from its resources: one application
# manifest, resource 1 of type RT_MANIFEST, well formed and asking for elevation in the
# namespaces Windows honours, and a VERSIONINFO that Explorer's Properties dialog can show.
# Given an expected complaint as 5th argument it checks itself instead: it passes only if that is
# the one complaint.
set -euo pipefail
windres=$1 xmllint=$2 exe=$3 version=$4 expected=${5-} # version as 2.0.0.0
complaints=()
complain() { echo "FAIL: $*"; complaints+=("$*"); }

rc=$("$windres" -i "$exe" -O rc)

manifests=$(grep -c '^[^ ]* 24 /\* RT_MANIFEST \*/$' <<<"$rc" || true)
[ "$manifests" = 1 ] || complain "$manifests manifest resources, expected exactly one"
grep -qx '1 24 /\* RT_MANIFEST \*/' <<<"$rc" || complain "the manifest is not resource 1"

# windres writes the manifest as quoted lines with "" for a quote and \n for a line end.
manifest=$(awk '
  /^1 24 \/\* RT_MANIFEST \*\/$/ { inside = 1; next }
  inside && /^END$/ { exit }
  inside && /^ *"/ {
    sub(/^ *"/, ""); sub(/"$/, ""); gsub(/""/, "\""); gsub(/\\n/, "\n"); printf "%s", $0 }' <<<"$rc")
if ! "$xmllint" --noout - <<<"$manifest"; then
  complain "the manifest is not well-formed XML"
fi

asm='urn:schemas-microsoft-com:asm'
el() { echo "*[local-name()='$1' and namespace-uri()='$2']"; }
root="/$(el assembly "$asm.v1")[@manifestVersion='1.0']"
# asm.v2, as Windows XP's side-by-side loader reads it: it predates Vista's asm.v3 extensions.
trust="$root/$(el trustInfo "$asm.v2")"
os="$root/$(el compatibility urn:schemas-microsoft-com:compatibility.v1)/*[local-name()='application']/*[local-name()='supportedOS']"
manifest_checks=(
  "assembly identity, version $version|$root/$(el assemblyIdentity "$asm.v1")[@type='win32' and @version='$version' and @processorArchitecture='x86']"
  "trustInfo in the asm.v2 namespace|$trust"
  "requireAdministrator without uiAccess|$trust/*[local-name()='security']/*[local-name()='requestedPrivileges']/*[local-name()='requestedExecutionLevel'][@level='requireAdministrator' and @uiAccess='false']"
  "a single requested execution level|count(//*[local-name()='requestedExecutionLevel']) = 1"
  "supported on Windows Vista|${os}[@Id='{e2011457-1546-43c5-a5fe-008deee3d3f0}']"
  "supported on Windows 7|${os}[@Id='{35138b9a-5d96-4fbd-8e2d-a2440225f93a}']"
  "supported on Windows 8|${os}[@Id='{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}']"
  "supported on Windows 8.1|${os}[@Id='{1f676c76-80e1-4239-95bb-83d0f6d0da78}']"
  "supported on Windows 10 and 11|${os}[@Id='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']"
)
for check in "${manifest_checks[@]}"; do
  what=${check%%|*} xpath=${check#*|}
  [ "$("$xmllint" --xpath "boolean($xpath)" - <<<"$manifest" 2>/dev/null)" = true ] ||
    complain "manifest: $what"
done

# The side-by-side loader refuses to start a program whose identity has an empty name, which is
# what an unset variable leaves. A name is parts of letters, digits, '-' and '_' joined by dots.
identity_name=$("$xmllint" --xpath "string($root/$(el assemblyIdentity "$asm.v1")/@name)" - <<<"$manifest" 2>/dev/null || true)
[[ $identity_name =~ ^[A-Za-z0-9_-]+(\.[A-Za-z0-9_-]+)*$ ]] ||
  complain "manifest: assembly name \"$identity_name\" is not well-formed"

# Lines of windres's rendering, as extended regular expressions.
commas=${version//./, }
version_lines=(
  "1 VERSIONINFO"
  " FILEVERSION $commas"
  " PRODUCTVERSION $commas"
  " FILEFLAGSMASK 0x3f"
  " FILEOS 0x40004"
  " FILETYPE 0x1"
  '    BLOCK "040904b0"'
  '      VALUE "CompanyName", "Karvelon Software Labs"'
  '      VALUE "FileDescription", "KARVELON TROJ_NAVIDAD\.A and TROJ_NAVIDAD\.E cleaner"'
  "      VALUE \"FileVersion\", \"$version\""
  '      VALUE "InternalName", "karvelon"'
  '      VALUE "LegalCopyright", "Copyright \(C\) [0-9]{4} Karvelon Software Labs"'
  '      VALUE "OriginalFilename", "karvelon.exe"'
  '      VALUE "ProductName", "KARVELON"'
  "      VALUE \"ProductVersion\", \"$version\""
  '    VALUE "Translation", 0x409, 1200'
)
for line in "${version_lines[@]}"; do
  grep -qxE -- "$line" <<<"$rc" || complain "version information lacks: $line"
done
# windres writes FILEFLAGS only when a flag is set, and a release sets none: no debug,
# pre-release, patched, private or special build.
flags=$(grep '^ FILEFLAGS ' <<<"$rc" || true)
[ -z "$flags" ] || complain "version information flags a special build:$flags"

if [ -n "$expected" ]; then
  [ ${#complaints[@]} -eq 1 ] && [ "${complaints[0]}" = "$expected" ] && { echo "rejected as expected"; exit 0; }
  echo "expected exactly one complaint: \"$expected\"" >&2
  exit 1
fi
if [ ${#complaints[@]} -ne 0 ]; then
  printf '%s\n' "--- resources as windres reads them:" "$rc"
  exit 1
fi
echo "manifest and version information present ($version)"
