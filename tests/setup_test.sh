#!/usr/bin/env bash
# scripts/setup's decisions, without root or network: `setup_test.sh NAME` runs the table's row
# NAME (the CTest test setup.NAME). A copy of setup with its paths moved into a scratch directory
# is sourced, and one step (or the copy as a program) runs against stand-ins for apt-get, apt-cache,
# dpkg, mount and the Wine loader.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/apt/sources.list.d" "$work/binfmt"

cat >"$work/bin/stand-in" <<'EOF'
#!/usr/bin/env bash
# Answers as the command it is named after would, in the state the row gives (stub_*).
me=${0##*/}
echo "$me $*" >>"$stub_dir/calls"
case "$me $*" in
  'apt-get update'*) [ "$stub_update" != mirror-sync ] || { echo 'E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
E: Some index files failed to download. They have been ignored, or old ones used instead.' >&2; exit 100; } ;;
  'apt-get install'*Dir::Etc::Preferences=*) file=${*}; file=${file#*Preferences=}; cp "${file%% *}" "$stub_dir/preferences"; [ "$stub_install" != fails ] ;;
  'apt-get install'*) [ "$stub_install" = ok ] ;;
  'apt-cache policy wine'|'apt-cache policy mingw-w64-i686-dev') echo ' *** 8.0~repack-4 500'; [ "$stub_archive" = none ] || echo '        500 http://deb.debian.org/debian bookworm/main amd64 Packages'; echo '        100 /var/lib/dpkg/status' ;;
  'apt-cache policy') echo ' 500 http://deb.debian.org/debian bookworm/main amd64 Packages' ;;
  'apt-cache showsrc mingw-w64') [ "$stub_showsrc" = stale ] || echo 'Version: 10.0.0-3' ;;
  'apt-get source'*) mkdir mingw-w64-10.0.0 ;;
  'dpkg-query -W -f=${Version} mingw-w64-i686-dev') echo 10.0.0-3 ;;
  'dpkg --compare-versions'*) exec /usr/bin/dpkg "$@" ;;
  'dpkg --print-foreign-architectures') echo i386 ;;
  'dpkg-query -W -f=${Version} qemu-user-static') [ -n "$stub_qemu" ] && echo "$stub_qemu" ;;
  "dpkg-query -W -f=\${Status} $stub_missing") exit 1 ;;
  'dpkg-query -W -f=${Status} '*) printf 'install ok installed' ;;
  mount*) [ "$stub_binfmt" != unmountable ] && : >"$stub_dir/binfmt/register" ;;
  wine-loader*) [ "$stub_loader" = runs ] || grep -qs '^:qemu-i386:' "$stub_dir/binfmt/register" ;;
esac
EOF
chmod +x "$work/bin/stand-in"
for name in apt-get apt-cache dpkg dpkg-query mount qemu-i386-static wine-loader; do ln -s stand-in "$work/bin/$name"; done

ok() { [ "$status" = 0 ]; }
called() { grep -qx -- "$1" calls; }
same() { [ "$(cat "$1")" = "$(printf "$2")" ]; }
replaced() { [ "$(cat binfmt/qemu-i386)" = -1 ] && grep -q '^:qemu-i386:' binfmt/register; }
hex() { printf '%b' "$1" | od -An -v -tx1 | tr -d ' \n'; }
registration() { # name, type, offset, magic and mask in hex, interpreter, flags
  IFS=: read -r _ name type offset magic mask interpreter flags <binfmt/register || true
  echo "$name $type $offset $(hex "$magic") $(hex "$mask") $interpreter $flags"
}

# name | the stand-ins' state where it is not the default below (stub_*), or setup's environment |
# step | what holds after it. No ';' in a row: CMake reads the names. The registration's magic and
# mask are QEMU's for i386 (i386_magic, i386_mask in its scripts/qemu-binfmt-conf.sh).
while IFS='|' read -r name given step expect; do [ "${name// /}" != "$1" ] || break; done <<'EOF'
update-mirror-sync | update=mirror-sync install=pinned-only | apt_update && apt_install wine | ok && same preferences 'Package: *\nPin: release n=bookworm-security\nPin-Priority: 100\n\nPackage: *\nPin: release a=bookworm-security\nPin-Priority: 100'
install-fails      | install=fails missing=shellcheck | install_packages | ! ok && [ "$(grep -c 'apt-get install' calls)" = 1 ]
retry-fails        | update=mirror-sync install=fails | apt_update && apt_install wine | ! ok && [ -s preferences ]
wine32             | missing=wine32:i386 | install_packages | ok && called 'apt-get install .* wine32:i386'
runtime-missing    | | fetch_runtime_source | ok && called 'apt-get source -qq mingw-w64=10.0.0-3' && same src/mingw-w64-10.0.0/.debian-version 10.0.0-3
runtime-differs    | runtime=10.0.0-2 | fetch_runtime_source | ok && called 'apt-get source .*' && same src/mingw-w64-10.0.0/.debian-version 10.0.0-3
runtime-deb-src    | showsrc=stale | fetch_runtime_source | ok && grep -qx 'Types: deb-src' apt/sources.list.d/karvelon-deb-src.sources && [ "$(grep -o '^apt-get [a-z]*' calls | paste -sd,)" = 'apt-get update,apt-get source' ]
runtime-matches    | runtime=10.0.0-3 | fetch_runtime_source | ok && ! called 'apt-get .*'
copy-deb822        | | copy_entries http://deb.debian.org/debian deb bookworm-backports out | same out.sources 'Types: deb\nURIs: http://deb.debian.org/debian/\nSuites: bookworm-backports\nComponents: main\nSigned-By: /on.gpg' && [ ! -e out.list ]
copy-one-line      | | copy_entries http://ftp.de.debian.org/debian deb bookworm-backports out | same out.list 'deb [signed-by=/on.gpg] http://ftp.de.debian.org/debian/ bookworm-backports main' && [ ! -e out.sources ]
copy-plain-line    | | copy_entries http://security.debian.org/debian-security deb-src '' out | same out.list 'deb-src http://security.debian.org/debian-security bookworm-security main' && [ ! -e out.sources ]
backports-codename | qemu= | install_qemu | ok && called 'apt-get install .* -t bookworm-backports qemu-user-static' && grep -qx 'Suites: bookworm-backports' apt/sources.list.d/karvelon-backports.sources
no-archive         | qemu= archive=none | install_qemu | ! ok && ! called 'apt-get .*'
qemu-7.2           | qemu=1:7.2+dfsg-7+deb12u7 | install_qemu | ok && called 'apt-get install .* qemu-user-static'
qemu-10            | qemu=1:10.0.2+ds-1~bpo12+1 | install_qemu | ok && ! called 'apt-get .*'
binfmt-unmounted   | binfmt=unmounted | set_up_i386 | ok && called "mount -t binfmt_misc binfmt_misc $PWD/binfmt" && grep -q '^:qemu-i386:' binfmt/register
binfmt-unmountable | binfmt=unmountable | set_up_i386 | ! ok && grep -q 'cannot run 32-bit x86 programs' output
entry-disabled     | binfmt=disabled | set_up_i386 | ok && replaced
entry-not-running  | binfmt=enabled | set_up_i386 | ok && replaced
entry-running      | binfmt=enabled loader=runs KARVELON_EMULATE_I386=1 | set_up_i386 | ok && ! replaced && ! called 'apt-get .*'
program            | missing=cmake | bash scripts/setup | ok && called 'apt-get install .* cmake' && called 'apt-get source .*' && grep -q '^:qemu-i386:' binfmt/register
runs-natively      | loader=runs | set_up_i386 | ok && [ ! -s binfmt/register ] && ! called 'apt-get .*'
registration       | | set_up_i386 | [ "$(registration)" = "qemu-i386 M  7f454c4601010100000000000000000002000300 fffffffffffefe00fffffffffffffffffeffffff $PWD/bin/qemu-i386-static F" ]
EOF
[ "${name// /}" = "$1" ] || { echo "no row $1" >&2; exit 2; }

# apt reads its indexes and installs, every package is installed, qemu 10 too, binfmt_misc is
# mounted and holds no qemu-i386 entry, the loader starts only once qemu is registered, and the
# runtime's source is not there yet, but apt's source index knows its version.
export KARVELON_EMULATE_I386='' KARVELON_I386_LOADER=$work/bin/wine-loader PATH="$work/bin:$PATH" stub_dir=$work stub_update=ok \
  stub_install=ok stub_missing='' stub_archive=debian stub_qemu=1:10.0.2+ds-1~bpo12+1 stub_loader=fails stub_binfmt='' stub_runtime='' \
  stub_showsrc=''
for assignment in $given; do case $assignment in [A-Z]*) export "${assignment?}" ;; *) export "stub_$assignment" ;; esac; done
printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_ID="12"\nVERSION_CODENAME=bookworm\nID=debian\n' >"$work/os-release"
printf 'Types: deb\nURIs: http://deb.debian.org/debian/\nSuites: bookworm\nComponents: main\nEnabled: no\nSigned-By: /off.gpg\n
Types: deb\nURIs: http://deb.debian.org/debian/\nSuites: bookworm\nComponents: main\nSigned-By: /on.gpg\n' >"$work/apt/sources.list.d/debian.sources"
printf 'deb http://security.debian.org/debian-security bookworm-security main\ndeb [signed-by=/on.gpg] http://ftp.de.debian.org/debian/ bookworm main\n' >"$work/apt/sources.list"
[[ $stub_binfmt == unmount* ]] || : >"$work/binfmt/register"
[[ -z $stub_binfmt || $stub_binfmt == unmount* ]] || printf '%s\ninterpreter /usr/bin/qemu-i386-static\n' "$stub_binfmt" >"$work/binfmt/qemu-i386"
[ -z "$stub_runtime" ] || { mkdir -p "$work/src/mingw-w64-10.0.0" && echo "$stub_runtime" >"$work/src/mingw-w64-10.0.0/.debian-version"; }

# Setup and its helper with their paths moved into the scratch directory: sourced here, and run as a
# program by a row.
mkdir "$work/scripts"
for file in setup i386-support; do
  sed -e "s|^apt_dir=/.*|apt_dir=$work/apt|; s|^os_release=/.*|os_release=$work/os-release|" \
    -e "s|^runtime_parent=/.*|runtime_parent=$work/src|; s|^binfmt_misc=/.*|binfmt_misc=$work/binfmt|" \
    "$source_dir/scripts/$file" >"$work/scripts/$file"
done
# shellcheck source=scripts/setup
. "$work/scripts/setup"
# A system path that setup holds anywhere else would be changed for real: this may run as root.
if { declare -p; declare -f; } | grep -E '/proc/sys/fs/binfmt_misc|/etc/apt|/etc/os-release|/usr/local/src'; then
  echo "setup names a system path that this test does not move: not run" >&2; exit 2
fi

cd "$work"
set +e; (set -e; eval "$step") >output 2>&1; status=$?; set -e
eval "$expect" || { echo "FAIL: $1: after '$step' (status $status), not: $expect" >&2; cat output calls >&2 2>/dev/null; exit 1; }
