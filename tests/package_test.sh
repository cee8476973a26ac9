#!/usr/bin/env bash
# Builds the demonstration package around the given zanrex binary and runs it on the simulated
# demo server: the listing, a silent upgrade that changes what the adapters report, a second
# silent run with nothing left to do, and a run in a directory chosen with --target; and the
# package's own messages and --help. (tests/static_package_test.sh runs the shipped, static
# build of the package; this one packages the development build, which umockdev can reach.)
# Usage: package_test.sh ZANREX_BINARY
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 ZANREX_BINARY" >&2; exit 2; }
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
[ -n "${ZANREX_TEST_SCRUBBED:-}" ] ||
  exec env -i ZANREX_TEST_SCRUBBED=1 PATH=/usr/sbin:/usr/bin:/sbin:/bin "$0" "$binary"
for tool in makeself umockdev-run; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 77; }
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
server="$root/demo/server.umockdev"
# shellcheck source=script_checks.sh
. "$root/tests/script_checks.sh"
# run NAME ARGS...: runs the package with ARGS on the simulated server from $scratch/site, keeping its
# standard output in $scratch/NAME.out and its exit status in $status; standard input is $input.
input=""
run() {
  local name="$1"
  shift
  status=0
  (cd "$scratch/site" && umockdev-run -d "$server" -- "$package" "$@") \
    >"$scratch/$name.out" 2>"$scratch/$name.err" <<<"$input" || status=$?
}

# --- building ---------------------------------------------------------------------------------
package="$scratch/zanrex-demo.run"
ZANREX_BINARY="$binary" "$root/scripts/package" "$root/demo" "$package" 2>"$scratch/build.err" ||
  { cat "$scratch/build.err" >&2; echo "FAIL: scripts/package failed" >&2; exit 1; }
[ -x "$package" ] || { echo "FAIL: no executable $package" >&2; exit 1; }
"$package" --list >"$scratch/list.out"
for f in ./zanrex ./zanrex.1 ./nic_fw/NICFWData.xml ./nic_fw/hfi1_eprom ./nic_fw/opatmmtool \
  ./nic_fw/loader-1.8.1.rom ./nic_fw/driver-1.8.1.efi ./nic_fw/thermal-1.8.1.bin; do
  grep -q " $f\$" "$scratch/list.out" || fail "package lacks $f"
done
for f in libpsm2 .umockdev .flash; do expect_no "package contents" "$scratch/list.out" "$f"; done
cmp -s "$binary" <("$package" --tar xOf ./zanrex) || fail "the package holds another binary"
cmp -s "$root/man/zanrex.1" <("$package" --tar xOf ./zanrex.1) || fail "the package holds another man page"

mkdir "$scratch/site"
unpacked="$scratch/site/zanrex-demo"

# The package's own options are makeself's, on standard output, and then the way to zanrex's
# help and manual page; neither --info nor --list names a path of the machine that built it.
"$package" --help >"$scratch/help.out" 2>"$scratch/help.err" || fail "--help: exit status $?"
grep -qF -- "--target dir" "$scratch/help.out" || fail "--help: no --target in the help text"
[ "$(tail -n 4 "$scratch/help.out")" = " 3) zanrex, which the package runs (its options go after --):
  $package -- --help   zanrex's options and what each does (-- -h: its short usage)
  $package --tar xOf ./zanrex.1 | man -l -
                        zanrex's manual page (zanrex.1 in the unpacked directory)" ] ||
  fail "--help: the way to zanrex's help: $(tail -n 4 "$scratch/help.out")"
"$package" --info >"$scratch/info.out"
for f in info list; do
  for path in "$scratch" /tmp/ "$root" "Build command"; do expect_no "--$f" "$scratch/$f.out" "$path"; done
done

# --- the listing --------------------------------------------------------------------------------
run list -- -c
expect_status list 0
# The unpacking messages: no progress count, and the directory is named when it is made.
expect_line list "$scratch/list.err" "Creating directory zanrex-demo"
expect_no list "$scratch/list.out" "%"
[ -x "$unpacked/zanrex" ] && [ -f "$unpacked/nic_fw/NICFWData.xml" ] ||
  fail "not unpacked into zanrex-demo beside the place it was run from"
out="$scratch/list.out"
expect_line list "$out" "[0] 0000:05:00.0 Intel Corporation"
expect_line list "$out" "[1] 0000:5e:00.0 QLogic, Corp."
expect_line list "$out" "[2] 0000:81:00.0 Intel Corporation"
expect_line list "$out" "Interface 0000:5e:00.0 is not Intel OPA one."
expect_no list "$out" "0000:3b:00.0"
expect_line list "$out" "8086-24F0-8086-2628 ${tab}OPA HFI 100 Series (demo) "
expect_line list "$out" "      ROM       1.5.0       ROM${tab}  1.7.0${tab}  0000:05:00.0"
expect_line list "$out" "                    ${tab}${tab}${tab}  1.8.1${tab}  0000:05:00.0"
expect_line list "$out" "      ROM       1.7.0       ROM${tab}  1.7.0${tab}  0000:81:00.0"

# --- a silent upgrade writes the newest image set to both adapters -------------------------------
run upgrade -- -s
expect_status upgrade 0
expect_no upgrade "$scratch/upgrade.err" "Creating directory"  # it is there already
expect_demo_upgrade "$scratch/upgrade.out"
expect_no upgrade "$scratch/upgrade.out" "Firmware Flashed"  # silenced

# The same directory is used again: the adapters now report the new firmware and the event log
# still holds the earlier runs.
run relist -- -c
expect_status relist 0
expect_line relist "$scratch/relist.out" "      ROM       1.8.1       ROM${tab}  1.7.0${tab}  0000:05:00.0"
expect_line relist "$scratch/relist.out" "      ROM       1.8.1       ROM${tab}  1.7.0${tab}  0000:81:00.0"
[ "$(grep -c "Upgrade SUCCESS" "$unpacked/intel_OPA.log")" -eq 6 ] ||
  fail "the event log does not hold the upgrade's six successful steps"

# Nothing left to do: a silent run ends with status 1 and writes nothing.
run again -- -s
expect_status again 1
expect_no again "$scratch/again.out" "Command Executed"

# zanrex's own help, as the package's --help says.
run zhelp -- --help
expect_status zhelp 0
expect_line zhelp "$scratch/zhelp.out" "Usage: zanrex [OPTION] [FILE]"

# The operator's reply reaches zanrex through the package: quitting at the first question.
input="q"
run quit --
input=""
expect_status quit 3
expect_line quit "$scratch/quit.out" "Firmware upgrade cancelled by User "
expect_no quit "$scratch/quit.out" "Command Executed"

# --- another directory, chosen with --target -------------------------------------------------------
run target --quiet --target "$scratch/elsewhere" -- -c
expect_status target 0
[ -f "$scratch/elsewhere/intel_OPA.log" ] || fail "--target: no event log in the chosen directory"
expect_line target "$scratch/target.out" "      ROM       1.5.0       ROM${tab}  1.7.0${tab}  0000:05:00.0"
expect_no target "$scratch/target.out" "Uncompressing"

finish "package test"
