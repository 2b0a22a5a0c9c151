#!/usr/bin/env bash
# Every script that git keeps executable under scripts/ must answer -h and --help with its usage
# (exit 0) and refuse an unknown argument (exit 2) before it changes anything, from a copy of
# scripts/ beside stand-ins for the commands that change things; one kept not executable must say
# that it is sourced. check-reproducible must refuse a directory that holds another's file.
# Usage: tests/scripts_test.sh
set -euo pipefail
usage() { sed -n '/^# Usage:/,/^[^#]/s/^# \{0,1\}//p' "$0"; }
case "$*" in '') ;; -h | --help) usage; exit 0 ;; *) usage >&2; exit 2 ;; esac
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -a "$source_dir/scripts" "$work/scripts" && mkdir "$work/bin" "$work/planted" && echo kept >"$work/planted/file"
for name in apt-get apt-cache dpkg dpkg-query mount cmake ctest git wine wineserver osslsigncode shellcheck rm mkdir cp mv tar install; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 1\n' "$name" "$work" >"$work/bin/$name" && chmod +x "$work/bin/$name"
done
tree=$(find "$work" | sort)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
run() { # $1: the expected status; then the script and its arguments
  local expected=$1 status=0
  shift
  (cd "$work" && PATH=$work/bin:$PATH "$@" >"$work/out" 2>&1) || status=$?
  [ "$status" = "$expected" ] && grep -q '^Usage: ' "$work/out" || fail "$* exited $status: $(head -n 3 "$work/out")"
  [ ! -e "$work/called" ] || fail "$* called $(cat "$work/called")"
  rm -f "$work/called" "$work/out"
  [ "$(find "$work" | sort)" = "$tree" ] || fail "$* changed $work"
}
while read -r mode _ _ path; do
  [ "$mode" = 100755 ] || { head -n 3 "$work/$path" | grep -q '[Ss]ourced' || fail "$path: not executable, nor sourced"; continue; }
  run 0 "$work/$path" -h
  run 0 "$work/$path" --help
  run 2 "$work/$path" --no-such-option
done < <(git -C "$source_dir" ls-files -s -- scripts)
run 2 "$work/scripts/check-reproducible" "$work/planted"
[ "$(cat "$work/planted/file")" = kept ] || fail "check-reproducible changed a directory that holds another's file"
[ "$failures" = 0 ] && echo "every script answers --help and refuses what it does not know"
