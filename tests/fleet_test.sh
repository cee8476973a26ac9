#!/usr/bin/env bash
# fleet/rollout.yml end to end: five "hosts" on this machine (local connection), each with its
# own work directory and its own simulated server (umockdev testbed, stand-in tools that keep
# a per-host simulated flash and record every call), all rolled out from one package.
#   fleet_test.sh ZANREX_BINARY
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/.."
zanrex="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
for tool in ansible-playbook umockdev-run; do
  command -v "$tool" >/dev/null || { echo "$tool missing: skipped"; exit 77; }
done
py=/usr/bin/python3

work="$(mktemp -d)"
trap '[ -n "${ZANREX_KEEP_FLEET:-}" ] && echo "kept $work" || rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- the package: zanrex, a catalogue of two image sets, stand-in tools -------------------
pkg="$work/pkg"
mkdir -p "$pkg/nic_fw"
cp "$zanrex" "$pkg/zanrex"
cat >"$pkg/nic_fw/NICFWData.xml" <<'EOF'
<NICFWData>
  <nic name="HFI gen1" venid="8086" devid="24f0" subvenid="8086" DEVICE_TYPE="2628" subdevid="2628" rom="1.3.0" fwFile1="a.bin" fwFile2="b.bin" fwFile3="c.bin"/>
  <nic name="HFI gen2" venid="8086" devid="24f0" subvenid="8086" DEVICE_TYPE="2629" subdevid="2629" rom="2.0.0" fwFile1="d.bin" fwFile2="e.bin" fwFile3="f.bin"/>
</NICFWData>
EOF
# The first image of a set carries its version; writing it sets the simulated flash.
for f in a b c; do echo 1.3.0 >"$pkg/nic_fw/$f.bin"; done
for f in d e f; do echo 2.0.0 >"$pkg/nic_fw/$f.bin"; done
cat >"$pkg/nic_fw/hfi1_eprom" <<'EOF'
#!/bin/sh
sim="${ZANREX_SIM:?}"
echo "hfi1_eprom $*" >>"$sim/calls"
addr="${2#/sys/bus/pci/devices/}"
addr="${addr%/resource0}"
case "$3 $4" in
  "-V -o") [ -f "$sim/flash/$addr" ] || exit 1
           echo "loader file version: $(cat "$sim/flash/$addr")" ;;
  "-w -o") cp "$5" "$sim/flash/$addr" ;;
  "-w -b") ;;
  *) exit 1 ;;
esac
EOF
cat >"$pkg/nic_fw/opatmmtool" <<'EOF'
#!/bin/sh
[ $# -gt 0 ] && echo "opatmmtool $*" >>"${ZANREX_SIM:?}/calls"
# -h N names the hfi1 driver's unit N - 1 (the first without -h); it must be there.
[ "$2" = -h ] && unit=$(($3 - 1)) || unit=0
[ $# -eq 0 ] || [ -e "/sys/class/infiniband/hfi1_$unit" ] || { echo "no HFI $((unit + 1))" >&2; exit 1; }
exit 0
EOF
chmod +x "$pkg/nic_fw/hfi1_eprom" "$pkg/nic_fw/opatmmtool"

# --- five hosts -------------------------------------------------------------------------
# host: ADDRESS:SUBSYSTEM_DEVICE:CLASS:INSTALLED ...   (installed "-" = not an adapter of ours)
declare -A layout=(
  [h1]="0000:05:00.0:2628:020800:1.2.0 0000:81:00.0:2628:020800:1.3.0"
  [h2]="0000:03:00.0:2628:020800:1.0.0"
  [h3]="0000:04:00.0:2628:020800:1.3.0"
  [h4]="0000:00:19.0:0000:020000:-"
  [h5]="0000:02:00.0:e7e7:020800:1.0.0 0000:06:00.0:2629:020800:1.9.0"
)
hosts=(h1 h2 h3 h4 h5)

write_devices() {  # HOST: the umockdev device file of its PCI functions
  "$py" - "$work/hosts/$1/devices" ${layout[$1]} <<'EOF'
import sys
out = []
unit = 0
for func in sys.argv[2:]:
    addr = func[:12]
    subdev, cls, _ = func[13:].split(":")
    vendor, device, subven = 0x8086, 0x24F0 if cls == "020800" else 0x1533, 0x8086
    c = bytearray(64)
    c[0:2], c[2:4] = vendor.to_bytes(2, "little"), device.to_bytes(2, "little")
    c[4:6], c[6:8], c[8] = (0x0406).to_bytes(2, "little"), (0x10).to_bytes(2, "little"), 0x11
    c[9:12] = int(cls, 16).to_bytes(3, "little")
    c[0x2C:0x2E], c[0x2E:0x30] = subven.to_bytes(2, "little"), int(subdev, 16).to_bytes(2, "little")
    out.append("P: /devices/pci%s/%s\nE: SUBSYSTEM=pci\nE: PCI_SLOT_NAME=%s\n" % (addr[:7], addr, addr)
               + "A: class=0x%s\nA: vendor=0x%04x\nA: device=0x%04x\n" % (cls, vendor, device)
               + "A: subsystem_vendor=0x%04x\nA: subsystem_device=0x%s\nA: irq=16\n" % (subven, subdev)
               + "A: resource=0x00000000f0000000 0x00000000f3ffffff 0x000000000014220c\\n"
               + "0x0000000000000000 0x0000000000000000 0x0000000000000000\\n\n"
               + "A: resource0=\nH: config=%s\n" % c.hex().upper())
    if cls == "020800":  # the hfi1 driver's unit of each fabric adapter, in bus order
        out.append("P: /devices/pci%s/%s/infiniband/hfi1_%d\nE: SUBSYSTEM=infiniband\n" % (addr[:7], addr, unit))
        unit += 1
open(sys.argv[1], "w").write("\n".join(out))
EOF
}

reset_hosts() {  # fresh flash contents, empty call records, no work directories
  rm -rf "$work/hosts" "$work/reports"
  for h in "${hosts[@]}"; do
    mkdir -p "$work/hosts/$h/flash"
    : >"$work/hosts/$h/calls"
    for func in ${layout[$h]}; do
      installed="${func##*:}"
      [ "$installed" = "-" ] || echo "$installed" >"$work/hosts/$h/flash/${func:0:12}"
    done
    write_devices "$h"
  done
}

inventory() {  # [HOST WRAPPER_PREFIX]: the inventory, one host optionally behind an extra wrapper
  {
    echo "[fleet]"
    for h in "${hosts[@]}"; do
      d="$work/hosts/$h"
      extra=""
      [ "${1:-}" = "$h" ] && extra="$2 "
      echo "$h zanrex_workdir=$d/work zanrex_wrapper=\"${extra}env ZANREX_SIM=$d umockdev-run -d $d/devices --\""
    done
    echo "[fleet:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=$py"
  } >"$work/inventory"
}

export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=5
export ANSIBLE_LOCAL_TEMP="$work/.ansible/tmp" ANSIBLE_REMOTE_TEMP="$work/.ansible/tmp"
export ANSIBLE_PIPELINING=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_DEPRECATION_WARNINGS=0
: >"$work/ansible.cfg"

rollout() {  # NAME ARGS...: runs the playbook, output in NAME.out, status in $rc
  local name=$1
  shift
  ansible-playbook -i "$work/inventory" "$root/fleet/rollout.yml" \
    -e zanrex_package="$pkg" -e zanrex_reports_dir="$work/reports" "$@" >"$work/$name.out" 2>&1
  rc=$?
}
writes() { grep -E -- ' -w | update$' "$work/hosts/$1/calls"; }
flash() { cat "$work/hosts/$1/flash/$2"; }
show() { echo "--- $1 output:"; tail -n 60 "$work/$1.out"; }

fresh_view='host,status,adapter,device_id,venid,devid,subvenid,subdevid,product_id,firmware_id,installed_version,package_version,action,install,message
h1,ok,0000:05:00.0,0000:05:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.2.0,1.3.0,upgrade,yes,
h1,ok,0000:81:00.0,0000:81:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.3.0,1.3.0,rewrite,yes,
h2,ok,0000:03:00.0,0000:03:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.0.0,1.3.0,upgrade,yes,
h3,ok,0000:04:00.0,0000:04:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.3.0,1.3.0,rewrite,yes,
h4,no report,,,,,,,,,,,,,zanrex -d ended with status 2
h5,ok,0000:02:00.0,0000:02:00.0,8086,24F0,8086,E7E7,,e7e7,1.0.0,,Nothing,no,
h5,ok,0000:06:00.0,0000:06:00.0,8086,24F0,8086,2629,HFI gen2,2629,1.9.0,2.0.0,upgrade,yes,'

# --- check mode: the fleet view, and nothing written or flashed ---------------------------
# This run takes the package as a self-extracting .run when makeself is there to build one.
check_pkg="$pkg"
if command -v makeself >/dev/null; then
  makeself --quiet --nox11 --notemp "$pkg" "$work/fw.run" "fleet test package" ./zanrex >/dev/null
  check_pkg="$work/fw.run"
fi
# It also takes the reports directory as a relative path: from the directory the playbook is
# run in ($work), not from the playbook's own directory in the checkout.
reset_hosts
inventory
checkout_before="$(git -C "$root" status --porcelain 2>&1)"
rollout check --check -e zanrex_package="$check_pkg" -e zanrex_reports_dir=reports
[ $rc -eq 0 ] || { fail "check run ends 0 ($rc)"; show check; }
[ -e "$work/reports/fleet.csv" ] || fail "check: relative reports directory taken from the working directory"
[ "$(git -C "$root" status --porcelain 2>&1)" = "$checkout_before" ] || fail "check: the checkout changed"
[ -e "$root/fleet/reports" ] && fail "check: reports written beside the playbook"
# By default the current adapters (rewrite) are not to be installed.
[ "$(cat "$work/reports/fleet.csv" 2>/dev/null)" = "$(sed 's/,rewrite,yes,/,rewrite,no,/' <<<"$fresh_view")" ] \
  || { fail "check: merged view"; cat "$work/reports/fleet.csv"; }
grep -q 'h1 .*0000:05:00.0 .*1.2.0 .*1.3.0 .*upgrade' "$work/check.out" || fail "check: table on the console"
for h in "${hosts[@]}"; do
  [ -z "$(writes $h)" ] || fail "check: $h flashed: $(writes $h)"
  [ -e "$work/hosts/$h/work" ] && fail "check: $h work directory created"
done
grep -q -- '-V -o' "$work/hosts/h1/calls" || fail "check: discovery queried the adapters"
[ -e "$work/reports/install" ] && fail "check: no install plan"

# --- a failure in the canary batch stops the rollout -----------------------------------------
# Two hosts in the canary batch, one of them failing (its install finds an image missing from
# the package): the other one's install has run beside it and is accounted for, and no later
# batch starts. By default only newer firmware is flashed: h1's current adapter is left alone.
reset_hosts
cat >"$work/lose-image" <<'EOF'
#!/bin/sh
# Runs the command; an install (-su) first loses the package's first image.
for a; do [ "$a" = -su ] && rm -f nic_fw/a.bin; done
exec "$@"
EOF
chmod +x "$work/lose-image"
inventory h2 "$work/lose-image"
rollout canary -e zanrex_canary=2
[ $rc -ne 0 ] || fail "failed canary: playbook fails"
[ -z "$(writes h2)" ] || { fail "canary: h2 wrote nothing"; writes h2; }
# Two writes for the upgraded adapter, and its thermal update.
[ "$(writes h1 | grep -c 0000:05:00.0)/$(writes h1 | wc -l)" = 2/3 ] || fail "canary: h1 upgraded, its current adapter not"
for h in h3 h4 h5; do
  [ -z "$(writes $h)" ] || fail "canary: $h touched: $(writes $h)"
done
grep -qF 'zanrex -su ended with status 2 on h2: [[ERROR]    ] Firmware Upgrade failed | image file ./nic_fw/a.bin not found in the package' \
  "$work/canary.out" || { fail "canary: the failure's message quotes its cause"; show canary; }
grep -q 'h2 .*failed .*zanrex -su ended with status 2' "$work/canary.out" || fail "canary: summary names the failure"
grep -q 'h1 .*upgraded .*yes' "$work/canary.out" || fail "canary: summary shows h1 upgraded"
grep -q 'h5 .*untouched .*not reached: the rollout stopped' "$work/canary.out" || fail "canary: later hosts not reached"
grep -q 'h3 .*untouched .*nothing requested' "$work/canary.out" || fail "canary: current host h3 not asked"
"$py" - "$work/reports/install" <<'EOF' || fail "canary: accounts of h1 and h2"
import json, sys
a = json.load(open(sys.argv[1] + "/h2.json"))
assert (a["rc"], a["mode"], a["commands"]) == (2, "-su", []), a
assert any("not found in the package" in l for l in a["log"]), a
a = json.load(open(sys.argv[1] + "/h1.json"))
assert a["rc"] == 0 and len(a["commands"]) == 3, a
assert sum("Upgrade SUCCESS" in l for l in a["log"]) == 3, a
EOF

# --- narrowed: only upgrades, only listed adapters ------------------------------------------
# h1's rewrite adapter and the rewrite-only host h3 are listed but not upgrades; h5's upgrade
# adapter is not listed, so h5 has nothing left to install.
reset_hosts
inventory
rollout upgrade -e zanrex_only_actions=upgrade \
  -e zanrex_adapters=0000:05:00.0,0000:81:00.0,0000:03:00.0,0000:04:00.0
[ $rc -eq 0 ] || { fail "narrowed rollout ends 0 ($rc)"; show upgrade; }
[ "$(writes h1 | grep -c 0000:05:00.0)" = 2 ] || fail "narrowed: h1 05:00.0 flashed"
writes h1 | grep -q 0000:81:00.0 && fail "narrowed: h1 81:00.0 (rewrite) left alone"
[ -z "$(writes h3)" ] || fail "narrowed: rewrite host h3 untouched"
[ -z "$(writes h5)" ] || fail "narrowed: h5, whose adapter is not listed, untouched"
[ "$(flash h2 0000:03:00.0)" = "1.3.0" ] || fail "narrowed: h2 upgraded"
grep -q 'h3 .*untouched .*nothing requested' "$work/upgrade.out" || fail "narrowed: summary shows h3 untouched"
grep -q 'upgraded: 2 (h1 h2)' "$work/upgrade.out" || { fail "narrowed: summary"; show upgrade; }

# --- full rollout, one host's report damaged on the way -------------------------------------
reset_hosts
cat >"$work/truncate-report" <<'EOF'
#!/bin/sh
# Runs the command, then cuts the discovery report it wrote (ends in "-d REPORT") short.
"$@"
rc=$?
for a; do prev="${last:-}"; last="$a"; done
[ "$prev" = "-d" ] && head -n 20 "$last" >"$last.cut" && mv "$last.cut" "$last"
exit $rc
EOF
chmod +x "$work/truncate-report"
inventory h3 "$work/truncate-report"
# Re-flashing current firmware and downgrades are asked for by name.
rollout full -e zanrex_only_actions=upgrade,rewrite,downgrade
[ $rc -eq 0 ] || { fail "full rollout ends 0 ($rc)"; show full; }
for target in h1:0000:05:00.0 h1:0000:81:00.0 h2:0000:03:00.0 h5:0000:06:00.0; do
  h=${target%%:*} a=${target#*:}
  [ "$(writes $h | grep -c "$a")" = 2 ] || fail "full: $h $a flashed"
done
[ "$(flash h1 0000:05:00.0)/$(flash h2 0000:03:00.0)/$(flash h5 0000:06:00.0)" = "1.3.0/1.3.0/2.0.0" ] \
  || fail "full: new versions on the flash"
writes h5 | grep -q 0000:02:00.0 && fail "full: adapter without image left alone"
[ "$(grep -c 'update$' "$work/hosts/h1/calls")" = 2 ] || fail "full: third step once per adapter"
[ -z "$(writes h3)" ] || fail "full: host with a malformed report not installed"
[ -e "$work/reports/install/h3.xml" ] && fail "full: no install report for h3"
grep -q "rejected $work/reports/h3.xml: line 21: no element found" "$work/full.out" \
  || { fail "full: malformed report named"; show full; }
[ "$(grep -v '^h3,' "$work/reports/fleet.csv")" = "$(grep -v '^h3,' <<<"$fresh_view")" ] \
  || { fail "full: merged view"; cat "$work/reports/fleet.csv"; }
grep -q '^h3,malformed,' "$work/reports/fleet.csv" || fail "full: h3 listed as malformed"
grep -q 'upgraded: 3 (h1 h2 h5)' "$work/full.out" || fail "full: summary upgraded"
# Default batches: a canary of one host, then 25 % of the three hosts to install: one each.
[ "$(grep -c 'TASK \[zanrex_rollout : zanrex -su\]' "$work/full.out")" = 3 ] || fail "full: three batches"
grep -q 'untouched: 2 (h3 h4)' "$work/full.out" || fail "full: summary untouched"
grep -q 'reboot needed: 3 (h1 h2 h5)' "$work/full.out" || fail "full: summary reboot"
grep -q 'Upgrade SUCCESS' "$work/hosts/h2/work/intel_OPA.log" || fail "full: event log on the host"

# --- resuming with the defaults: hosts already up to date are left alone -----------------------
inventory
for h in "${hosts[@]}"; do : >"$work/hosts/$h/calls"; done
rollout resume
[ $rc -eq 0 ] || { fail "resume ends 0 ($rc)"; show resume; }
for h in "${hosts[@]}"; do
  [ -z "$(writes $h)" ] || fail "resume: $h flashed again"
done
grep -q 'upgraded: 0' "$work/resume.out" || fail "resume: nothing upgraded"
[ "$(grep -c '^h[0-9],ok,.*,rewrite,' "$work/reports/fleet.csv")" = 5 ] || fail "resume: all rewrite now"

[ $failures -eq 0 ] && echo "fleet_test: all passed"
[ $failures -eq 0 ]
