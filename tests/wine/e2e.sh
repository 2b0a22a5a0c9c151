#!/usr/bin/env bash
# End-to-end tests of karvelon.exe under Wine: a real registry, real files and a real console.
# Each case runs in its own copy of a freshly booted 32-bit prefix (64-bit for the wow64 cases,
# where the program runs under WOW64 as on 64-bit Windows), and compares the output byte for
# byte, the exit status, and the registry hives and files before and after.
# Usage: e2e.sh NAME   with the environment that tests/wine/CMakeLists.txt gives each test (the
# programs and libraries under test, WORK, GOLDEN, CTEST). `e2e.sh --list` names every test this file holds, one per line: the case_ and
# test_ functions below. CMake makes its tests from that list, so none is left out or unknown.
set -euo pipefail

name=${1:?usage: e2e.sh NAME, or e2e.sh --list}
# On 64-bit Windows the 32-bit trojan and the 32-bit program meet in the 32-bit views: the
# registry's Wow6432Node and the SysWOW64 directory, both reached through their usual names.
case "$name" in
prefix64 | wow64-*) arch=win64 base_name=base-prefix64 sys_name=syswow64 run_hive='Software\\Wow6432Node\\Microsoft' ;;
*) arch=win32 base_name=base-prefix sys_name=system32 run_hive='Software\\Microsoft' ;;
esac
export WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The two keys of HKLM as system.reg names them: the auto-start key (HKLM\Software\Microsoft\
# Windows\CurrentVersion\Run, in the 32-bit view) and the open command of programs (HKCR\exefile\
# shell\open\command).
run_hive+='\\Windows\\CurrentVersion\\Run'
command_hive='Software\\Classes\\exefile\\shell\\open\\command'

# What the program's Wine wrote to standard error goes with a failure: Wine's own processes
# report their crashes there too.
fail() {
  echo "FAIL: $*" >&2
  if [ -s "${dir:-}/stderr" ]; then echo "standard error of the last run:" >&2; cat "$dir/stderr" >&2; fi
  exit 1
}

# --- Wine's own processes ---------------------------------------------------------------------

# shellcheck source=scripts/wine-boot
. "$(dirname "$0")/../../scripts/wine-boot"

# A case that CTest stopped at its time limit never ran its EXIT trap, and a boot may have hung:
# their prefixes stay, and so may servers, Wine's services and hung processes, idle but holding
# some 200 MB. Each test first ends those of its own directory (or base prefix): tests run at
# once, each in its own prefix. wine.i386, which runs before every test that uses Wine, ends all.
stop_leftovers() {
  end_processes "$1" || fail "leftover Wine processes under $1 outlived SIGKILL"
}

# --- fixtures and the tests of the harness itself ------------------------------------------------

# Whether 32-bit programs run at all: where they cannot, this one fails and says why. Every Wine
# test but its own (i386-*) requires it, so it starts every run: it removes the base prefixes of
# earlier runs, so that a test wired to the wrong fixture fails in a used build directory as in a
# fresh one.
test_i386() {
  # shellcheck source=scripts/i386-support
  . "$(dirname "$0")/../../scripts/i386-support"
  i386_runs || fail "this machine cannot run 32-bit x86 programs, which 32-bit Wine is ($(i386_failure)); \
run scripts/setup as root: where the kernel runs none, it runs them under qemu-user"
  rm -rf "$WORK/base-prefix" "$WORK/base-prefix64"
}

# The fixture above, handed a loader that starts, must remove both base prefixes, planted first;
# handed one that cannot start (a file of zeros, which no kernel runs), it must fail, with its one
# message. Its work is this test's own, not the run's.
test_i386-refused() {
  local output status=0
  mkdir -p "$dir/base-prefix" "$dir/base-prefix64"
  printf '#!/bin/sh\n' >"$dir/runs" && chmod +x "$dir/runs"
  WORK=$dir KARVELON_I386_LOADER=$dir/runs bash "$0" i386 >/dev/null || fail "handed a loader that starts, the fixture failed"
  [ ! -e "$dir/base-prefix" ] && [ ! -e "$dir/base-prefix64" ] || fail "the fixture left a base prefix: $(ls "$dir")"
  head -c 64 /dev/zero >"$dir/loader" && chmod +x "$dir/loader"
  output=$(WORK=$dir KARVELON_I386_LOADER=$dir/loader bash "$0" i386 2>&1) || status=$?
  [ "$status" = 1 ] && [ "$output" = "FAIL: this machine cannot run 32-bit x86 programs, which 32-bit Wine is \
(cannot execute binary file: Exec format error); run scripts/setup as root: where the kernel runs none, it runs \
them under qemu-user" ] || fail "handed a loader that cannot start, the fixture exited with $status and said: $output"
}

# The fixture's wiring, as CTest lists the tests of this directory (WORK lies in it): every Wine test
# but the fixture's own tests requires it.
test_i386-required() {
  local tests unwired
  tests=$("$CTEST" --test-dir "${WORK%/*}" --show-only=json-v1) || fail "ctest cannot list the tests"
  [ "$(jq '[.tests[].name | select(startswith("wine."))] | length' <<<"$tests")" = "$(bash "$0" --list | wc -l)" ] ||
    fail "CTest in ${WORK%/*} does not list a test for each that e2e.sh --list names"
  unwired=$(jq -r '.tests[] | select(.name | test("^wine\\.i386(-|$)") | not)
    | select([.properties[]? | select(.name == "FIXTURES_REQUIRED") | .value[]] | index("wine_i386") | not)
    | .name' <<<"$tests" | paste -sd' ')
  [ -z "$unwired" ] || fail "these do not require the fixture wine_i386: $unwired"
}

# The base prefixes start Wine's services on demand only, as no case uses them: each server start
# would otherwise start all five again, some 2 s under qemu-user.
test_prefix() {
  boot_prefix "$base" || fail "no prefix to test in"
  awk '/^\[/ { service = /^\[System\\\\CurrentControlSet\\\\Services\\\\[^\\]+\]/ }
    service && $0 == "\"Start\"=dword:00000002" { $0 = "\"Start\"=dword:00000003" } 1' "$base/system.reg" >"$base/system.new"
  mv "$base/system.new" "$base/system.reg"
  touch -d "@$((EPOCHSECONDS + 5))" "$base/drive_c/written"
  [ "$(written_in_base)" = "$base/drive_c/written" ] || fail "a file written into $base_name after its boot went unseen"
  rm "$base/drive_c/written"
}
test_prefix64() { test_prefix; }

# The boot retry itself: services.exe stopped (SIGSTOP) as the first try starts it, as a hung
# boot leaves it. The fixture must report it, end it, and boot a complete prefix the second time;
# a services.exe of a sibling prefix whose name begins with this one's (as base-prefix64 beside
# base-prefix), booting beside it, it must leave alone.
test_boot-retry() {
  local watcher stopped sibling report=$dir/boot.log
  base=$dir/prefix
  rm -rf "$dir" && mkdir -p "$dir"
  WINEPREFIX=${base}64 bash -c 'exec -a services.exe sleep 600' >/dev/null 2>&1 &
  sibling=$!
  (while sleep 0.2; do
    for pid in $(prefix_processes "$base"); do
      if grep -qas 'services\.exe' "/proc/$pid/cmdline"; then
        kill -STOP "$pid" && echo "$pid" >"$dir/stopped" && exit 0
      fi
    done
  done) &
  watcher=$!
  boot_prefix "$base" 30 2>&1 | tee "$report" || fail "the second try did not boot either"
  kill "$watcher" 2>/dev/null || true
  stopped=$(cat "$dir/stopped" 2>/dev/null) || fail "services.exe was never stopped: the first try booted"
  grep -qE "^ +$stopped +T[^ ]* .*services\.exe" "$report" || fail "the report does not show the stopped services.exe"
  [ "$(grep -c '^booting Wine, try' "$report")" = 1 ] || fail "expected exactly one failed try"
  if [ -n "$(prefix_processes "$base")" ]; then
    report_processes "$base" "left running"
    fail "processes of the booted prefix are left running"
  fi
  ! ps -o stat= -p "$stopped" | grep -q T || fail "the stopped services.exe is left behind"
  ! ps -o stat= -p "$sibling" | grep -q T && kill "$sibling" ||
    fail "the retry stopped or ended a process of the sibling prefix ${base}64"
  rm -rf "$dir"
}

# The files of the base prefix written since it was booted: through a hard link of some case's copy.
written_in_base() { find "$base" -type f -newer "$base/system.reg"; }

# Each case gets its own copy of the booted prefix, with karvelon.exe and the driver in it. The
# files of its drive_c are hard links to the base prefix's (copying its 600 MB took seconds):
# a case deletes and adds files, and replaces one only by deleting it first (cp
# --remove-destination), so that nothing writes into the base. The hives are copies.
enter_case() {
  [ -d "$base" ] || fail "no $base_name booted in this run: the test must require its fixture, wine_${base_name#base-}"
  rm -rf "$dir"
  mkdir -p "$prefix"
  cp -al "$base/drive_c" "$prefix/"
  find "$base" -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a -t "$prefix" {} +
  export WINEPREFIX="$prefix"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  cp "$KARVELON_EXE" "$prefix/drive_c/karvelon.exe"
  cp "$DRIVER_EXE" "$prefix/drive_c/driver.exe"
}

# --- helpers ------------------------------------------------------------------------------

# The registry is seeded through the hive files of the stopped prefix, which a server loads as it
# starts: no Wine process, no server. hive_set FILE KEY LINE sets the value LINE ("name"="data" or
# @="data", as the hive writes it) in the key KEY of FILE.reg (named as the hive names it, with
# each backslash doubled and each name in the case Wine keeps), adding the key where it is missing;
# hive_delete FILE KEY removes the key with its subkeys. Names compare regardless of case.
hive_edit() {
  KEY=$2 LINE=${3-} NOW=$EPOCHSECONDS awk '
    function name(line) { return tolower(substr(line, 1, index(line, "=") - 1)) }
    function add() { if (inside && ENVIRON["LINE"] != "") print ENVIRON["LINE"]; inside = 0 }
    BEGIN { key = tolower("[" ENVIRON["KEY"] "]"); below = substr(key, 1, length(key) - 1) "\\\\" }
    /^\[/ {
      add(); head = $0; sub(/\] [0-9]+$/, "]", head); head = tolower(head)
      gone = ENVIRON["LINE"] == "" && (head == key || index(head, below) == 1)
      if (head == key) { inside = 1; found = 1 }
    }
    gone { next }
    inside && /^$/ { add() }
    inside && $0 !~ /^[[#]/ && name($0) == name(ENVIRON["LINE"]) { next }
    { print }
    END { add(); if (!found && ENVIRON["LINE"] != "") printf "\n[%s] %s\n%s\n", ENVIRON["KEY"], ENVIRON["NOW"], ENVIRON["LINE"] }
  ' "$prefix/$1.reg" >"$prefix/$1.reg.new"
  mv "$prefix/$1.reg.new" "$prefix/$1.reg"
}
hive_set() { hive_edit "$1" "$2" "$3"; }
hive_delete() { hive_edit "$1" "$2"; }
# Data as the hive writes a string: in quotes, with backslashes and quotes escaped.
hive_string() { local text=${1//\\/\\\\}; printf '"%s"' "${text//\"/\\\"}"; }

# Runs "$@" with the prefix's server stopped, so that they can edit its hives; a server that was
# running is started again after them.
with_hives() {
  if wineserver -k >/dev/null 2>&1; then
    wineserver -w
    "$@"
    start_server
  else
    "$@"
  fi
}

# Seeds an infection: the auto-start value naming $1 (a file name in system32, or any text
# given with a backslash), the hijacked open command, both per-user keys and the files.
seed() { with_hives seed_hives "$1"; }
seed_hives() {
  local value=$1
  case "$value" in *\\*) ;; *) value="C:\\windows\\system32\\$value" ;; esac
  hive_set system "$run_hive" "\"Win32BaseServiceMOD\"=$(hive_string "$value")"
  hive_set system "$command_hive" "@=$(hive_string 'C:\windows\system32\WINSVRC.EXE "%1" %*')"
  hive_set user 'Software\\Navidad' '"Installed"="yes"'
  hive_set user 'Software\\Emanuel' '@=""'
  for f in WINSVRC.EXE WINSVRC.VXD WINTASK.EXE; do echo "sample $f" >"$sys/$f"; done
}

# The hives as sorted "key" and "key <tab> value" lines, without the times Wine keeps and
# without the display driver's date, which Wine rewrites each time its server starts.
flat_hive() {
  awk '/^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); print "K " key; next }
       /^(#|;;|WINE REGISTRY|$)/ { next }
       /^"DriverDateData"=/ { next }
       { print "V " key "\t" $0 }' "$1" | LC_ALL=C sort
}

snapshot() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  mkdir -p "$dir/$1"
  flat_hive "$prefix/system.reg" >"$dir/$1/system"
  flat_hive "$prefix/user.reg" >"$dir/$1/user"
  (cd "$prefix/drive_c" && find . -type f ! -name 'driver.*' ! -name captured.txt -printf '%p %s\n' | LC_ALL=C sort) \
    >"$dir/$1/files"
}

# What changed between the two snapshots, as "-"/"+" lines.
changes() {
  for part in system user files; do
    diff "$dir/before/$part" "$dir/after/$part" | sed -n 's/^< /- /p; s/^> /+ /p' || true
  done | LC_ALL=C sort
}

expect_changes() {
  local actual
  local expected
  actual=$(changes)
  expected=$(printf '%s\n' "$1" | sed '/^$/d' | LC_ALL=C sort)
  if [ "$actual" != "$expected" ]; then
    printf 'expected changes:\n%s\nactual changes:\n%s\n' "$expected" "$actual" >&2
    fail "the run changed something else than it should"
  fi
}

# Moves karvelon.exe into a folder of its own, C:\app, and puts library $1 beside it as $2.
plant_beside_program() {
  mkdir -p "$prefix/drive_c/app"
  mv "$prefix/drive_c/karvelon.exe" "$prefix/drive_c/app/karvelon.exe"
  cp "$1" "$prefix/drive_c/app/$2"
  program='C:\app\karvelon.exe'
}

# Runs karvelon.exe without a console (the key wait ends at once), output to a file.
program='C:\karvelon.exe'
run_program() {
  set +e
  wine "$program" "$@" </dev/null >"$dir/output" 2>"$dir/stderr"
  status=$?
  set -e
}

# The banner and prompt in CR LF, followed by the given lines.
expect_output() {
  { sed 's/$/\r/' "$GOLDEN/banner.txt"; for line in "$@"; do printf '%s\r\n' "$line"; done; } >"$dir/expected"
  cmp "$dir/expected" "$dir/output" || { diff <(cat -A "$dir/expected") <(cat -A "$dir/output") >&2; fail "output differs"; }
}

expect_status() { [ "$status" = "$1" ] || fail "exit status $status, expected $1"; }

# Runs the program (with any arguments given) and expects it to find nothing and change nothing.
expect_not_infected_and_untouched() {
  snapshot before
  run_program "$@"
  snapshot after
  expect_output "$not_infected"
  expect_status 0
  expect_changes ""
}

# Starts a lasting server and Wine's own services, so that none of them holds on to the
# pseudo-terminal of a driver run.
start_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

# Runs karvelon.exe alone with the DLL overrides $1 added; Wine's own services inherit the
# overrides of the program that starts them, so they are started first with the usual ones.
run_with_dll_overrides() {
  local overrides=$1
  start_server
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$overrides" run_program
}

# Runs karvelon.exe with shlwapi disabled on an infection by TROJ_NAVIDAD.A, and expects it to
# say what it lacks, keep the file, and still repair the open command and make the per-user
# changes $1.
expect_no_shlwapi_run() {
  run_with_dll_overrides shlwapi=
  snapshot after
  expect_output "$notice_a" "$not_cleaned" "$needs_shlwapi"
  expect_status 1
  expect_changes "- $hijacked
+ $repaired
$1"
}

# Runs the driver in a pseudo-terminal, so that it and karvelon.exe share a real console.
# The terminal's input stays open and silent until the driver is done: an end of input would
# reach the console as a key press (and script waits for it before it ends).
drive() {
  local line="wine 'C:\\driver.exe' 'C:\\driver.log'" arg keeper
  for arg in "$@"; do line+=" $(printf '%q' "$arg")"; done
  rm -f "$prefix/drive_c/driver.log" "$dir/terminal-input"
  mkfifo "$dir/terminal-input"
  sleep 300 >"$dir/terminal-input" &
  keeper=$!
  set +e
  SHELL=/bin/bash script -qfec "$line; status=\$?; kill $keeper; exit \$status" /dev/null \
    <"$dir/terminal-input" >>"$dir/terminal" 2>&1
  local driver_status=$?
  set -e
  kill "$keeper" 2>/dev/null || true
  cat "$prefix/drive_c/driver.log" >>"$dir/driver.log" 2>/dev/null || true
  cat "$prefix/drive_c/driver.log" 2>/dev/null || true
  [ "$driver_status" = 0 ] || fail "driver reported a failure ($driver_status)"
}

notice_a=" Your system is infected with TROJ_NAVIDAD.A."
notice_e=" Your system is infected with TROJ_EMMANUEL, new variant of navidad."
vxd_deleted=" Trojan file WINSVRC.VXD deleted."
task_deleted=" Trojan file WINTASK.EXE deleted."
cleaned=" System registry cleaned."
reboot=" Please reboot your system and scan using at least pattern file #806."
not_cleaned=" System registry could not be cleaned."
administrator=" Please log on as an administrator and run this program again."
needs_shlwapi=" This program needs shlwapi.dll, which Internet Explorer 4.0 or later installs."
not_infected=" Your system is not infected with TROJ_NAVIDAD.A or TROJ_NAVIDAD.E."
not_checked=" Your system could not be checked for TROJ_NAVIDAD.A or TROJ_NAVIDAD.E."

run_value="V [$run_hive]"
command_value="V [$command_hive]"
# The open command's line when it starts system32's $1 first.
hijacked_by() { printf '%s\t@="C:\\\\windows\\\\system32\\\\%s \\"%%1\\" %%*"' "$command_value" "$1"; }
hijacked=$(hijacked_by WINSVRC.EXE)
repaired="$command_value	@=\"\\\"%1\\\" %*\""
# The change line of the auto-start value naming system32's $1, deleted.
auto_start_gone() { printf -- '- %s\t"Win32BaseServiceMOD"="C:\\\\windows\\\\system32\\\\%s"' "$run_value" "$1"; }
emanuel_gone='- K [Software\\Emanuel]
- V [Software\\Emanuel]	@=""'
user_keys_gone="$emanuel_gone"'
- K [Software\\Navidad]
- V [Software\\Navidad]	"Installed"="yes"'

# --- cases ---------------------------------------------------------------------------------

clean_case() { # [how to run the program, default run_program]
  if [ "${name##*-}" = a ]; then marker=WINSVRC.EXE; else marker=WINTASK.EXE; fi
  seed "$marker"
  snapshot before
  "${1:-run_program}"
  snapshot after
  if [ "$marker" = WINSVRC.EXE ]; then
    expect_output "$notice_a" "$vxd_deleted" "$cleaned" "$reboot"
    removed_file="- ./windows/$sys_name/WINSVRC.VXD 19"
  else
    expect_output "$notice_e" "$task_deleted" "$cleaned" "$reboot"
    removed_file="- ./windows/$sys_name/WINTASK.EXE 19"
  fi
  expect_status 0
  expect_changes "$(auto_start_gone "$marker")
- $hijacked
+ $repaired
$user_keys_gone
$removed_file"
}
case_clean-a() { clean_case; }
case_clean-e() { clean_case; }
case_wow64-a() { clean_case; }
case_wow64-e() { clean_case; }

case_lower-case-value() {
  seed 'c:\windows\system32\winsvrc.exe'
  run_program
  expect_output "$notice_a" "$vxd_deleted" "$cleaned" "$reboot"
  expect_status 0
  [ -f "$sys/WINSVRC.EXE" ] && [ ! -f "$sys/WINSVRC.VXD" ] || fail "row 1 must delete WINSVRC.VXD and only that"
}

case_not-infected() {
  expect_not_infected_and_untouched
}

# Neither is the trojan's: a value that names its file in quotes, an open command that starts another program.
case_other-value() {
  seed '"C:\windows\system32\WINTASK.EXE"'
  hive_set system "$command_hive" "@=$(hive_string 'C:\windows\notepad.exe "%1" %*')"
  expect_not_infected_and_untouched /clean now
}

case_arguments-ignored() {
  seed WINTASK.EXE
  run_program /? --help "$(printf 'x%.0s' {1..300})"
  expect_output "$notice_e" "$task_deleted" "$cleaned" "$reboot"
  expect_status 0
}

case_file-missing() {
  seed WINTASK.EXE
  rm "$sys/WINTASK.EXE"
  run_program
  expect_output "$notice_e" "$cleaned" "$reboot"
  expect_status 0
}

case_command-absent() {
  seed WINSVRC.EXE
  hive_delete system "$command_hive"
  snapshot before
  run_program
  snapshot after
  expect_output "$notice_a" "$vxd_deleted" "$cleaned" "$reboot"
  expect_status 0
  expect_changes "$(auto_start_gone WINSVRC.EXE)
$user_keys_gone
- ./windows/system32/WINSVRC.VXD 19"
}

case_run-key-denied() {
  seed WINTASK.EXE
  snapshot before
  start_server
  drive deny HKLM 'software\microsoft\windows\currentversion\run'
  run_program
  snapshot after
  expect_output "$notice_e" "$not_cleaned" "$administrator"
  expect_status 1
  [ -f "$sys/WINTASK.EXE" ] || fail "the file must stay when its auto-start value could not be deleted"
  expect_changes "- $hijacked
+ $repaired
$user_keys_gone"
}

case_command-denied() {
  seed WINSVRC.EXE
  snapshot before
  start_server
  drive deny HKCR 'exefile\shell\open\command'
  run_program
  snapshot after
  expect_output "$notice_a" "$vxd_deleted" "$not_cleaned" "$administrator"
  expect_status 1
  expect_changes "$(auto_start_gone WINSVRC.EXE)
$user_keys_gone
- ./windows/system32/WINSVRC.VXD 19"
}

case_run-key-unreadable() {
  seed WINSVRC.EXE
  snapshot before
  start_server
  drive deny-read HKLM 'software\microsoft\windows\currentversion\run'
  run_program
  snapshot after
  expect_output "$not_checked" "$administrator"
  expect_status 2
  expect_changes ""
}

# A clean left half done by an open command that denies writing; the denial lasts only as long as
# Wine's server (it keeps a key's security in memory), and with it gone a second run finds the
# hijacked command although the auto-start value is gone, and repairs it.
partial_clean_case() {
  if [ "${name#*-clean-}" = a ]; then
    marker=WINSVRC.EXE notice=$notice_a deleted_line=$vxd_deleted removed=WINSVRC.VXD
  else
    marker=WINTASK.EXE notice=$notice_e deleted_line=$task_deleted removed=WINTASK.EXE
  fi
  seed "$marker"
  hive_set system "$command_hive" "@=$(hive_string "C:\\windows\\system32\\$marker \"%1\" %*")"
  snapshot before
  start_server
  drive deny HKCR 'exefile\shell\open\command'
  run_program
  expect_output "$notice" "$deleted_line" "$not_cleaned" "$administrator"
  expect_status 1
  snapshot first
  run_program
  snapshot after
  expect_output "$notice" "$cleaned" "$reboot"
  expect_status 0
  expect_changes "$(auto_start_gone "$marker")
- $(hijacked_by "$marker")
+ $repaired
$user_keys_gone
- ./windows/system32/$removed 19"
}
case_partial-clean-a() { partial_clean_case; }
case_partial-clean-e() { partial_clean_case; }

case_second-run() {
  seed WINTASK.EXE
  run_program
  expect_status 0
  expect_not_infected_and_untouched
}

case_library-planted() {
  # An impostor shlwapi.dll beside the program, found first if it were searched for by name.
  plant_beside_program "$PLANTED_DLL" shlwapi.dll
  marker="$prefix/drive_c/planted-shlwapi-loaded"
  snapshot before
  run_with_dll_overrides shlwapi=n,b
  snapshot after
  [ ! -e "$marker" ] || fail "the planted shlwapi.dll was loaded on a clean system"
  expect_output "$not_infected"
  expect_status 0
  expect_changes ""
  seed WINTASK.EXE
  snapshot before
  run_with_dll_overrides shlwapi=n,b
  snapshot after
  [ ! -e "$marker" ] || fail "the planted shlwapi.dll was loaded"
  expect_output "$notice_e" "$task_deleted" "$cleaned" "$reboot"
  expect_status 0
  expect_changes "$(auto_start_gone WINTASK.EXE)
- $hijacked
+ $repaired
$user_keys_gone
- ./windows/system32/WINTASK.EXE 19"
}

case_library-missing() {
  snapshot before
  run_with_dll_overrides shlwapi=
  snapshot after
  expect_output "$not_infected"
  expect_status 0
  expect_changes ""
  seed WINSVRC.EXE
  snapshot before
  expect_no_shlwapi_run "$user_keys_gone"
}

version_case() {
  # Wine's Windows-version modes, from 95 to 10. Navidad gets a subkey: RegDeleteKeyA of 95, 98
  # and ME takes a key with its subkeys, NT's leaves a key that has any.
  mode=${name#version-}
  hive_set user 'Software\\Wine' "\"Version\"=\"${mode%-no-shlwapi}\""
  [ "$mode" != "${mode%-no-shlwapi}" ] || expect_not_infected_and_untouched
  seed WINSVRC.EXE
  hive_set user 'Software\\Navidad\\Parts' '"Part"="one"'
  case "$mode" in
  win9* | winme*) per_user="$user_keys_gone"'
- K [Software\\Navidad\\Parts]
- V [Software\\Navidad\\Parts]	"Part"="one"' ;;
  *) per_user=$emanuel_gone ;;
  esac
  snapshot before
  if [ "$mode" = win95-no-shlwapi ]; then
    # Windows 95 as it ships, without Internet Explorer 4.0: no shlwapi.dll to delete the value.
    expect_no_shlwapi_run "$per_user"
  else
    run_program
    snapshot after
    expect_output "$notice_a" "$vxd_deleted" "$cleaned" "$reboot"
    expect_status 0
    expect_changes "$(auto_start_gone WINSVRC.EXE)
- $hijacked
+ $repaired
$per_user
- ./windows/system32/WINSVRC.VXD 19"
  fi
}
case_version-win95() { version_case; }
case_version-win95-no-shlwapi() { version_case; }
case_version-win98() { version_case; }
case_version-winme() { version_case; }
case_version-nt40() { version_case; }
case_version-win2k() { version_case; }
case_version-winxp() { version_case; }
case_version-win7() { version_case; }
case_version-win10() { version_case; }

case_start-hardening() {
  # The program's own calls (those that return into its image at 0x400000), from a relay trace:
  # the library search narrowed and DEP turned on first, and nothing read or changed before the
  # key test opens the console. Wine's own services start first, so that only the program traces.
  # Arguments that Wine does not enforce are held here: the console input's share mode (without
  # FILE_SHARE_WRITE Windows may refuse the open, and the run would not wait for a key), and
  # shlwapi loaded by its full path with LOAD_WITH_ALTERED_SEARCH_PATH (without it, shlwapi's
  # own imports would be searched for in the program's folder first).
  own_calls() { # runs the program under a relay trace and lists its own calls in $dir/own-calls
    set +e
    WINEDEBUG=+relay wine "$program" </dev/null >"$dir/output" 2>"$dir/relay"
    status=$?
    set -e
    sed -nE 's/^[0-9a-f]+:Call [A-Za-z0-9_]+\.([A-Za-z0-9_]+\(.*\)) ret=004[0-9a-f]{5}$/\1/p' "$dir/relay" >"$dir/own-calls"
  }
  seed WINTASK.EXE
  start_server
  own_calls
  expect_output "$notice_e" "$task_deleted" "$cleaned" "$reboot"
  expect_status 0
  grep -qE '^LoadLibraryExA\([0-9a-f]+ "C:\\\\windows\\\\system32\\\\shlwapi\.dll",00000000,00000008\)$' "$dir/own-calls" ||
    fail "shlwapi.dll not loaded by its full path with LOAD_WITH_ALTERED_SEARCH_PATH: $(grep '^LoadLibrary' "$dir/own-calls")"
  own_calls
  expect_output "$not_infected"
  expect_status 0
  grep -qE '^CreateFileA\([0-9a-f]+ "CONIN\$",c0000000,00000003,00000000,00000003,' "$dir/own-calls" ||
    fail "CONIN\$ not opened for reading and writing, shared for both, as an existing device: $(grep '^CreateFileA' "$dir/own-calls")"
  before_key_test=$(sed -n '/^CreateFileA([0-9a-f]* "CONIN\$"/q; p' "$dir/own-calls")
  [ "$(wc -l <"$dir/own-calls")" -gt "$(wc -l <<<"$before_key_test")" ] || fail "no CreateFileA of CONIN\$ in the trace"
  for call in 'SetDefaultDllDirectories(00000800)' 'SetSearchPathMode(00008001)' 'SetProcessDEPPolicy(00000001)'; do
    grep -qxF "$call" <<<"$before_key_test" || fail "$call is not called before the key test"
  done
  ! grep -q '^SetDllDirectoryA' "$dir/own-calls" || fail "SetDllDirectoryA called, though SetDefaultDllDirectories worked"
  looked_up=$(sed -n 's/^GetProcAddress([0-9a-f]*,[0-9a-f]* "\(.*\)")$/\1/p' "$dir/own-calls" | LC_ALL=C sort | paste -sd' ')
  [ "$looked_up" = "SetDefaultDllDirectories SetDllDirectoryA SetProcessDEPPolicy SetSearchPathMode" ] ||
    fail "looked up with GetProcAddress: $looked_up"
  touching=$(grep -E '^(Reg[A-Za-z]+|SHDeleteValueA|CreateFile[AW]|DeleteFile[AW]|GetSystemDirectory[AW]|LoadLibrary[A-Za-z]*)\(' <<<"$before_key_test" || true)
  [ -z "$touching" ] || fail "called before the key test: $touching"
  # Not infected: the auto-start value and then the open command's default value are read, each
  # through a key opened only to query values, and nothing else of the registry is touched.
  ! grep -q '^LoadLibrary.*user32' "$dir/own-calls" || fail "user32 loaded by a run without a console"
  registry=$(grep -oE '^Reg[A-Za-z]+' "$dir/own-calls" | paste -sd' ')
  [ "$registry" = "RegOpenKeyExA RegQueryValueExA RegCloseKey RegOpenKeyExA RegQueryValueExA RegCloseKey" ] ||
    fail "the not-infected run's registry calls: $registry"
  grep -qE '^RegOpenKeyExA\(80000000,[0-9a-f]+ "exefile\\\\shell\\\\open\\\\command",00000000,00000001,' "$dir/own-calls" &&
    grep -qE '^RegQueryValueExA\([0-9a-f]+,[0-9a-f]+ "",' "$dir/own-calls" ||
    fail "the open command's default value is not read through a key opened to query: $(grep '^Reg' "$dir/own-calls")"
  # With a console of its own on a window station that no one sees, traced alone (Wine's +pid tells it
  # from its console's host): user32 is loaded by its full path only once CONIN$ has opened, and
  # nothing of the registry is read before the wait has ended.
  CHILD_WINEDEBUG=+pid,+relay run_unattended karvelon-service 30
  expect_status 0
  pid=$(sed -n 's/^process \([0-9a-f]*\).*/\1/p' "$prefix/drive_c/driver.log")
  sed -nE "s/^$pid:[0-9a-f]+:Call [A-Za-z0-9_]+\.([A-Za-z0-9_]+\(.*\)) ret=004[0-9a-f]{5}\$/\1/p" "$dir/stderr" >"$dir/own-calls"
  line_of() { grep -nE "$1" "$dir/own-calls" | sed -n "$2s/:.*//p"; } # the line of the first (1) or last ($) match
  conin=$(line_of '^CreateFileA\([0-9a-f]+ "CONIN\$"' 1) user32=$(line_of '^LoadLibrary.*user32' 1)
  [ "$(grep -c '^LoadLibrary.*user32' "$dir/own-calls")" = 1 ] && [ -n "$conin" ] && [ "${user32:-0}" -gt "$conin" ] &&
    grep -qE '^LoadLibraryExA\([0-9a-f]+ "C:\\\\windows\\\\system32\\\\user32\.dll",00000000,00000008\)$' "$dir/own-calls" ||
    fail "user32 not loaded once, by its full path, after CONIN\$ opened: $(grep -E 'CONIN|user32' "$dir/own-calls")"
  wait_ended=$(line_of '^(GetNumberOfConsoleInputEvents|PeekConsoleInputA)\(' '$')
  ! head -n "${wait_ended:-0}" "$dir/own-calls" | grep -qE '^Reg' || fail "the registry was read before the wait ended"
}

case_wait-console() {
  seed WINTASK.EXE
  start_server
  drive wait 'C:\karvelon.exe' a console
  grep -q "exit status 0" "$dir/driver.log" || fail "exit status"
  [ ! -f "$sys/WINTASK.EXE" ] || fail "the run did not clean after the key press"
}

# Keys that end the wait by their extended code (F1, Up) or by a character above 127 (é on the key
# of 2, as on a French keyboard).
case_wait-extended-key() {
  start_server
  drive wait 'C:\karvelon.exe' f1 console
  drive wait 'C:\karvelon.exe' up console
  drive wait 'C:\karvelon.exe' e-acute console
}

case_typed-ahead() {
  start_server
  drive typeahead 'C:\karvelon.exe' esc
}

wait_redirected() {
  kind=${name#wait-}
  start_server
  drive wait 'C:\karvelon.exe' enter "$kind" 'C:\captured.txt'
  cp "$prefix/drive_c/captured.txt" "$dir/output"
  expect_output "$not_infected"
}
case_wait-pipe() { wait_redirected; }
case_wait-file() { wait_redirected; }

case_library-too-old() {
  # A shlwapi.dll older than 4.71, without SHDeleteValueA, where the program loads it from
  # (OLD_SHLWAPI_DLL): the value stays, and the library is freed once the program is done with it.
  cp --remove-destination "$OLD_SHLWAPI_DLL" "$sys/shlwapi.dll"
  seed WINSVRC.EXE
  snapshot before
  run_with_dll_overrides shlwapi=n
  snapshot after
  [ -e "$prefix/drive_c/old-shlwapi-loaded" ] || fail "the system directory's shlwapi.dll was not the one loaded"
  [ -e "$prefix/drive_c/old-shlwapi-freed" ] || fail "shlwapi.dll was not freed"
  expect_output "$notice_a" "$not_cleaned" "$needs_shlwapi"
  expect_status 1
  expect_changes "- $hijacked
+ $repaired
$user_keys_gone
+ ./old-shlwapi-freed 0
+ ./old-shlwapi-loaded 0"
}

case_library-dependency-planted() {
  # shcore.dll, which Wine's shlwapi imports and which is no known DLL, planted beside the
  # program (PLANTED_SHCORE_DLL) and preferred native: shlwapi's own dependencies must come
  # from the system directory, so the planted one never loads.
  plant_beside_program "$PLANTED_SHCORE_DLL" shcore.dll
  seed WINTASK.EXE
  run_with_dll_overrides shcore=n,b
  [ ! -e "$prefix/drive_c/planted-shcore-loaded" ] || fail "the planted shcore.dll was loaded"
  expect_output "$notice_e" "$task_deleted" "$cleaned" "$reboot"
  expect_status 0
}

case_contract() {
  # The platform contract (tests/platform_contract.h) against Windows' own calls; the program
  # is CONTRACT_EXE. Its rows run in a child process, whose summary must say that every row ran
  # and none failed: the exit status alone is the parent's. The check must refuse ok lines
  # without that summary, from a stand-in that exits 0.
  ! (contract_runs printf 'ok one\r\nok two\r\n') >/dev/null 2>&1 ||
    fail "the check passed a contract program that printed ok lines and no summary"
  cp "$CONTRACT_EXE" "$prefix/drive_c/contract.exe"
  contract_runs wine 'C:\contract.exe'
}
contract_runs() {
  set +e
  "$@" </dev/null >"$dir/contract.log" 2>"$dir/stderr"
  status=$?
  set -e
  tr -d '\r' <"$dir/contract.log" | tee "$dir/contract.txt"
  rows=$(grep -c '^ok ' "$dir/contract.txt" || true)
  [ "$rows" -gt 0 ] && [ "$(tail -n 1 "$dir/contract.txt")" = "0 of $rows rows failed" ] ||
    fail "the contract's last line is not \"0 of $rows rows failed\", with an ok line for each row"
  expect_status 0
}

# Only the open command names the trojan, its program followed by 5,000 spaces and one more
# character: a probe that read too little of it would call the machine clean.
case_command-padded() {
  local padding
  padding="$(printf '%5000s' '')x"
  hive_set system "$command_hive" "@=$(hive_string "C:\\windows\\system32\\WINTASK.EXE \"%1\" %*$padding")"
  echo "sample WINTASK.EXE" >"$sys/WINTASK.EXE"
  snapshot before
  run_program
  snapshot after
  expect_output "$notice_e" "$cleaned" "$reboot"
  expect_status 0
  expect_changes "- $(hijacked_by WINTASK.EXE | sed 's/"$//')$padding\"
+ $repaired"
}

# Runs karvelon.exe as services and schedulers do: with a console of its own that no key reaches, on
# window station $1 (WinSta0, or else one made for it that no one sees), for at most $2 seconds. Its
# status is "waiting" when it was still waiting then.
run_unattended() {
  start_server
  rm -f "$prefix/drive_c/driver.log"
  wine 'C:\driver.exe' 'C:\driver.log' unattended "$1" "$program" 'C:\captured.txt' "$2" </dev/null >/dev/null 2>"$dir/stderr" ||
    fail "driver: $(cat "$prefix/drive_c/driver.log")"
  status=$(sed -n 's/\r$//; s/^exit status //p; s/^still waiting .*/waiting/p' "$prefix/drive_c/driver.log")
  cp "$prefix/drive_c/captured.txt" "$dir/output"
}

# No one sees the station, so it cleans without a key; a user32.dll planted beside it is never loaded.
case_unattended-e() {
  plant_beside_program "$PLANTED_USER32_DLL" user32.dll
  hidden() { WINEDLLOVERRIDES="$WINEDLLOVERRIDES;user32=n,b" run_unattended karvelon-service 30; }
  clean_case hidden
  [ ! -e "$prefix/drive_c/planted-user32-loaded" ] || fail "the planted user32.dll was loaded"
}

case_unattended-visible() {
  seed WINTASK.EXE
  snapshot before
  run_unattended WinSta0 5
  snapshot after
  expect_status waiting
  expect_changes ""
}

# --- running one ---------------------------------------------------------------------------------

if [ "$name" = --list ]; then
  declare -F | sed -n 's/^declare -f \(case\|test\)_//p'
  exit 0
fi
dir="$WORK/cases/$name"
base="$WORK/$base_name"
prefix="$dir/prefix"
sys="$prefix/drive_c/windows/$sys_name"
if declare -F "test_$name" >/dev/null; then
  case "$name" in i386) stop_leftovers "$WORK" ;; prefix*) stop_leftovers "$base" ;; *) stop_leftovers "$dir" ;; esac
  "test_$name"
  echo "ok $name"
  exit 0
fi
declare -F "case_$name" >/dev/null || fail "unknown test $name: e2e.sh --list names them"
stop_leftovers "$dir"
enter_case
"case_$name"
written=$(written_in_base)
[ -z "$written" ] || fail "written into $base_name, whose files every case links to: $written"

echo "ok $name"
wineserver -k >/dev/null 2>&1 || true
trap - EXIT
rm -rf "$prefix"
