#!/usr/bin/env bash
# Builds the firmware package the way it is shipped (scripts/package: the static zanrex) and
# shows that it needs nothing from the system it runs on:
#  - the packaged executable has no interpreter, no dynamic section and no needed library;
#  - on the demonstration server, inside a minimal Debian 11 root (debootstrap --variant=minbase,
#    kept in build-static/ for the next run) where neither libpci nor libxml2 is installed, -c, -d
#    and -s give the expected listing, report and tool calls; the listing and the report are
#    the ones the development build gives on the same server;
#  - with strace at hand: zanrex opens no shared library, name-service or character-set file.
# The simulated server is the sysfs tree umockdev builds from demo/server.umockdev, bind-mounted
# over the root's /sys in a private mount namespace with a private /tmp; nothing stays mounted.
# lspci is a stand-in answering from that sysfs: Debian's lspci would bring libpci with it.
# Usage: static_package_test.sh ZANREX_BINARY   (the development build, for comparison)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 ZANREX_BINARY" >&2; exit 2; }
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
[ -n "${ZANREX_TEST_SCRUBBED:-}" ] ||
  exec env -i ZANREX_TEST_SCRUBBED=1 PATH=/usr/sbin:/usr/bin:/sbin:/bin "$0" "$binary"

skip() {
  echo "skipped: $*" >&2
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "a chroot and a private mount namespace need root"
for tool in makeself umockdev-run debootstrap unshare chroot readelf objdump file flock; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=script_checks.sh
. "$root/tests/script_checks.sh"

# --- the package and its executable -------------------------------------------------------------
package="$scratch/work/zanrex-demo.run"
mkdir -p "$scratch/work/site" "$scratch/work/bin"
status=0
"$root/scripts/package" "$root/demo" "$package" 2>"$scratch/build.err" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$scratch/build.err" >&2
  [ "$status" -ne 75 ] || skip "the Debian archive with the libraries' source packages is unreachable"
  echo "FAIL: scripts/package failed" >&2
  exit 1
fi
exe="$scratch/zanrex"
"$package" --tar xOf ./zanrex >"$exe"
readelf -lW "$exe" >"$scratch/headers"
readelf -d "$exe" >"$scratch/dynamic"
objdump -p "$exe" >"$scratch/private"
file -b "$exe" >"$scratch/file"
expect_no "program headers" "$scratch/headers" "INTERP"
expect_no "program headers" "$scratch/headers" "DYNAMIC"
expect_line "readelf -d" "$scratch/dynamic" "There is no dynamic section in this file."
expect_no "objdump -p" "$scratch/private" "NEEDED"
if ! grep -q "statically linked" "$scratch/file" || ! grep -q ", stripped" "$scratch/file"; then
  fail "file says: $(cat "$scratch/file")"
fi
grep -q "for GNU/Linux 3.2.0" "$scratch/file" || fail "not for kernel 3.2: $(cat "$scratch/file")"
size_kib=$(($(stat -c %s "$exe") / 1024))
[ "$size_kib" -le 5120 ] || fail "the executable has $size_kib KiB, more than 5 MiB"
echo "packaged zanrex: $size_kib KiB; $(cat "$scratch/file")"

# --- the Debian 11 root -----------------------------------------------------------------------------
debian11="$root/build-static/debian11-minbase"
unmount_below() {  # what a failed debootstrap may have left mounted in $1
  awk -v d="$1/" 'index($2, d) == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r m; do umount -l "$m"; done
}
make_debian11() {
  local new="$debian11.new" mirror log="$root/build-static/debian11-debootstrap.log"
  mirror="$("$root/scripts/debian-sources" --mirror 2>&1)" ||
    skip "no Debian archive in this machine's apt sources ($mirror)"
  echo "debootstrap: Debian 11 from $mirror into $debian11" >&2
  unmount_below "$new"
  rm -rf "$new"
  local started=$SECONDS
  if ! debootstrap --variant=minbase bullseye "$new" "$mirror" >"$log" 2>&1; then
    unmount_below "$new"
    rm -rf "$new"
    if grep -qE "Failed getting release file|Couldn't download|Temporary failure|Could not resolve" \
      "$log"; then
      skip "the Debian archive $mirror is unreachable (see $log)"
    fi
    tail -n 20 "$log" >&2
    echo "FAIL: debootstrap failed (whole output in $log)" >&2
    exit 1
  fi
  echo "debootstrap took $((SECONDS - started)) s" >&2
  mv "$new" "$debian11"
}
mkdir -p "$root/build-static"
exec 8>"$root/build-static/.debian11.lock"
flock 8
[ -x "$debian11/bin/sh" ] || make_debian11
flock -u 8
# libpci's place for pci.ids (scripts/static-deps builds it so), where the runs that show vendor
# names find it.
mkdir -p "$debian11/usr/share/misc"
for lib in libpci3 libxml2 pciutils pci.ids; do
  if chroot "$debian11" dpkg-query -W -f='${Status}' "$lib" 2>/dev/null | grep -q 'install ok installed'; then
    fail "the Debian 11 root has $lib installed"
  fi
done
if find "$debian11" -xdev \( -name 'libpci.so*' -o -name 'libxml2.so*' \) | grep -q .; then
  fail "the Debian 11 root holds libpci or libxml2"
fi

# --- the simulated server ---------------------------------------------------------------------------
# umockdev builds its testbed for the demonstration server; a copy of its sysfs tree is what
# the root's /sys shows.
TMPDIR="$scratch" umockdev-run -d "$root/demo/server.umockdev" -- \
  sh -c 'cp -a "$UMOCKDEV_DIR/sys" "$1"' sh "$scratch/sys"
[ -d "$scratch/sys/bus/pci/devices" ] || { echo "FAIL: no simulated sysfs" >&2; exit 1; }
cat >"$scratch/work/bin/lspci" <<'EOF'
#!/bin/sh
# Stand-in for "lspci -nv -s ADDR": the subsystem line, from sysfs.
while [ $# -gt 0 ]; do [ "$1" = -s ] && addr="$2"; shift; done
d="/sys/bus/pci/devices/$addr"
[ -n "${addr:-}" ] && [ -d "$d" ] || exit 0
id() { sed 's/^0x//' "$d/$1"; }
printf '%s:00.0 0208: %s:%s\n\tSubsystem: %s:%s\n\n' "$addr" "$(id vendor)" "$(id device)" \
  "$(id subsystem_vendor)" "$(id subsystem_device)"
EOF
chmod 0755 "$scratch/work/bin/lspci"
mkdir "$scratch/ids"
cp /usr/share/misc/pci.ids "$scratch/ids/"

# in_root NAME COMMAND...: runs COMMAND in the Debian 11 root on the simulated server, with
# $scratch/work as /mnt and, when $ids is set, pci.ids in /usr/share/misc; its output goes to
# $scratch/NAME.out and .err, its status to $status. The whole is started through
# "${tracer[@]}" when that is set.
tracer=()
ids="$scratch/ids"
in_root() {
  local name="$1"
  shift
  status=0
  "${tracer[@]}" unshare -m --propagation private /bin/sh -c '
    r="$1" sys="$2" work="$3" ids="$4"
    shift 4
    mount --bind "$sys" "$r/sys" && mount --bind "$work" "$r/mnt" &&
      mount -t tmpfs -o size=16m tmpfs "$r/tmp" && mount -t proc proc "$r/proc" || exit 125
    if [ -n "$ids" ]; then mount --bind "$ids" "$r/usr/share/misc" || exit 125; fi
    status=0
    env -i PATH=/mnt/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C chroot "$r" "$@" </dev/null || status=$?
    [ -z "$ids" ] || umount "$r/usr/share/misc"
    umount "$r/proc" "$r/tmp" "$r/mnt" "$r/sys"
    exit $status' sh "$debian11" "$scratch/sys" "$scratch/work" "$ids" "$@" \
    >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
}
run_package() {  # run_package NAME ARGS...: the package, from /mnt/site
  local name="$1"
  shift
  in_root "$name" /bin/sh -c 'cd /mnt/site && exec /mnt/zanrex-demo.run --quiet -- "$@"' sh "$@"
}

# --- -c, -d, -s in the Debian 11 root --------------------------------------------------------------
run_package list -c
expect_status list 0
out="$scratch/list.out"
expect_line list "$out" "[0] 0000:05:00.0 Intel Corporation"
expect_line list "$out" "[1] 0000:5e:00.0 QLogic, Corp."
expect_line list "$out" "[2] 0000:81:00.0 Intel Corporation"
expect_line list "$out" "8086-24F0-8086-2628 ${tab}OPA HFI 100 Series (demo) "
expect_line list "$out" "      ROM       1.5.0       ROM${tab}  1.7.0${tab}  0000:05:00.0"
expect_line list "$out" "      ROM       1.7.0       ROM${tab}  1.7.0${tab}  0000:81:00.0"
expect_no list "$out" "0000:3b:00.0"

run_package report -d
expect_status report 0
report="$scratch/work/site/zanrex-demo/nicdiscovery.xml"
[ -f "$report" ] || fail "report: -d wrote no nicdiscovery.xml"
for line in '<device_id value="0000:05:00.0"/>' '<active_version value="1.5.0"/>' \
  '<device_id value="0000:81:00.0"/>' '<active_version value="1.7.0"/>' \
  '<version value="1.8.1"/>' '<action value="upgrade"/>'; do
  grep -qF -- "$line" "$report" 2>/dev/null || fail "report: no $line"
done

# The development build on the same server under umockdev (with a private /tmp as well): the
# same listing and report. Only the name of the per-run error file differs.
# Everything it needs is copied beside it first: the tmpfs hides whatever lies below /tmp.
mkdir "$scratch/dev"
cp -a "$root/demo/nic_fw" "$scratch/dev/"
rm -rf "$scratch/dev/nic_fw/.flash"
cp "$binary" "$scratch/dev/zanrex-dev"
cp "$root/demo/server.umockdev" "$scratch/dev/"
unshare -m --propagation private /bin/sh -c '
  cd "$1" && mount -t tmpfs -o size=16m tmpfs /tmp || exit 125
  umockdev-run -d server.umockdev -- ./zanrex-dev -c >list.out 2>&1 &&
    umockdev-run -d server.umockdev -- ./zanrex-dev -d
  status=$?
  umount /tmp
  exit $status' sh "$scratch/dev" >/dev/null 2>&1 ||
  fail "the development build failed on the demonstration server"
same_listing() { cmp -s <(sed 's|/tmp/data......$|/tmp/data|' "$1") <(sed 's|/tmp/data......$|/tmp/data|' "$2"); }
same_listing "$scratch/dev/list.out" "$out" || fail "the listing differs from the development build's"
cmp -s "$scratch/dev/nicdiscovery.xml" "$report" ||
  fail "the report differs from the development build's"

# No pci.ids anywhere: the vendors are named by their IDs, and nothing else changes.
ids=""
run_package noids -c
ids="$scratch/ids"
expect_status noids 0
sed 's/ Intel Corporation$/ Vendor 8086/; s/ QLogic, Corp\.$/ Vendor 1fc1/' "$scratch/list.out" \
  >"$scratch/list-by-id.out"
same_listing "$scratch/list-by-id.out" "$scratch/noids.out" ||
  fail "without pci.ids, the listing differs otherwise"
expect_line noids "$scratch/noids.out" "[0] 0000:05:00.0 Vendor 8086"

run_package upgrade -s
expect_status upgrade 0
expect_demo_upgrade "$scratch/upgrade.out"

run_package relist -c
expect_status relist 0
expect_line relist "$scratch/relist.out" "      ROM       1.8.1       ROM${tab}  1.7.0${tab}  0000:05:00.0"
expect_line relist "$scratch/relist.out" "      ROM       1.8.1       ROM${tab}  1.7.0${tab}  0000:81:00.0"

# --- nothing from the system at run time ---------------------------------------------------------
if command -v strace >/dev/null; then
  tracer=(strace -f -o "$scratch/trace" -e trace=open,openat,execve)
  # A locale asked for in the environment changes nothing either: no catalogue, no converter.
  in_root trace /bin/sh -c 'cd /mnt/site/zanrex-demo && LC_ALL=de_DE.UTF-8 LANGUAGE=de exec ./zanrex -c'
  tracer=()
  expect_status trace 0
  # What the zanrex process opens from its start on (the tools it starts are other processes).
  pid="$(awk '/execve\("\.\/zanrex"/ { print $1; exit }' "$scratch/trace")"
  awk -v pid="${pid:-none}" '$1 == pid' "$scratch/trace" |
    sed -n '/execve("\.\/zanrex"/,$p' >"$scratch/zanrex-trace"
  [ -s "$scratch/zanrex-trace" ] || fail "strace: zanrex was not seen starting"
  for what in '\.so' nsswitch.conf gconv locale; do
    if grep -E "open(at)?\(.*$what" "$scratch/zanrex-trace" >&2; then fail "zanrex opened $what"; fi
  done
else
  echo "strace is not installed: the run-time file check is left out" >&2
fi

finish "static package test"
