#!/usr/bin/env bash
# fleet/merge_reports on hand-written discovery reports: the merged table, CSV and JSON, the
# narrowed reports handed back for install, hostile and malformed reports, the rollout summary.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
merge="$here/../fleet/merge_reports"
. "$here/fleet/report_lib.sh"
# The system interpreter, the one the script itself names.
py=/usr/bin/python3
[ -x "$py" ] || { echo "$py missing"; exit 77; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_same() {  # NAME EXPECTED_FILE ACTUAL_FILE
  diff -u "$2" "$3" >/dev/null || { fail "$1"; diff -u "$2" "$3"; }
}

two_adapters() {
  device 0000:05:00.0 8086 24F0 8086 2628 "HFI gen1" 2628 1.3.0 1.2.0 upgrade
  device 0000:81:00.0 8086 24F0 8086 2628 "HFI gen1" 2628 1.3.0 1.3.0 rewrite
}
no_image() { device 0000:02:00.0 8086 24F0 8086 E7E7 "" e7e7 "" 1.0.0 Nothing; }
older_image() { device 0000:03:00.0 8086 24F0 8086 2628 "HFI gen1" 2628 1.1.0 2.0.0 downgrade; }
report two_adapters >alpha.xml
report no_image >bravo.xml
report older_image >charlie.node.xml

# --- the merged view ------------------------------------------------------------------------
"$merge" alpha.xml bravo.xml charlie.node.xml --unreported delta=2 \
  --csv fleet.csv --json fleet.json >table.txt 2>err.txt
[ $? -eq 0 ] || fail "clean merge exits 0"
[ -s err.txt ] && fail "clean merge writes nothing on stderr: $(cat err.txt)"
cat >want.txt <<'EOF'
HOST          ADAPTER       INSTALLED  PACKAGE  ACTION     INSTALL
alpha         0000:05:00.0  1.2.0      1.3.0    upgrade    yes
alpha         0000:81:00.0  1.3.0      1.3.0    rewrite    yes
bravo         0000:02:00.0  1.0.0      -        Nothing    no
charlie.node  0000:03:00.0  2.0.0      1.1.0    downgrade  yes
delta         -             -          -        -          no: zanrex -d ended with status 2
EOF
expect_same "table" want.txt table.txt
cat >want.csv <<'EOF'
host,status,adapter,device_id,venid,devid,subvenid,subdevid,product_id,firmware_id,installed_version,package_version,action,install,message
alpha,ok,0000:05:00.0,0000:05:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.2.0,1.3.0,upgrade,yes,
alpha,ok,0000:81:00.0,0000:81:00.0,8086,24F0,8086,2628,HFI gen1,2628,1.3.0,1.3.0,rewrite,yes,
bravo,ok,0000:02:00.0,0000:02:00.0,8086,24F0,8086,E7E7,,e7e7,1.0.0,,Nothing,no,
charlie.node,ok,0000:03:00.0,0000:03:00.0,8086,24F0,8086,2628,HFI gen1,2628,2.0.0,1.1.0,downgrade,yes,
delta,no report,,,,,,,,,,,,,zanrex -d ended with status 2
EOF
expect_same "csv" want.csv fleet.csv
"$py" - <<'EOF' || fail "json"
import json
j = json.load(open("fleet.json"))
hosts = {h["host"]: h for h in j["hosts"]}
assert list(hosts) == ["alpha", "bravo", "charlie.node", "delta"], list(hosts)
assert [h["install"] for h in j["hosts"]] == [True, False, True, False]
assert hosts["delta"]["status"] == "no report" and hosts["delta"]["devices"] == []
d = hosts["alpha"]["devices"][0]
assert (d["address"], d["installed_version"], d["package_version"], d["action"]) == \
    ("0000:05:00.0", "1.2.0", "1.3.0", "upgrade"), d
assert hosts["bravo"]["devices"][0]["product_id"] == ""
EOF

# --- reports handed back for install --------------------------------------------------------
# Unfiltered, the handed-back report is the discovery report byte for byte; a host with
# nothing requested gets none.
"$merge" --no-table alpha.xml bravo.xml charlie.node.xml --install-dir all >/dev/null
cmp -s alpha.xml all/alpha.xml || fail "unfiltered install report is the report itself"
cmp -s charlie.node.xml all/charlie.node.xml || fail "downgrade handed back as is"
[ -e all/bravo.xml ] && fail "host with only Nothing gets no install report"

# Only upgrades: the rewrite is handed back as Nothing, the downgrade host gets no report.
"$merge" alpha.xml charlie.node.xml --only-actions upgrade --install-dir up --json up.json >up.txt
sed 's/<action value="rewrite"\/>/<action value="Nothing"\/>/' alpha.xml >want.xml
expect_same "only upgrade narrows rewrite to Nothing" want.xml up/alpha.xml
[ -e up/charlie.node.xml ] && fail "downgrade host skipped under --only-actions upgrade"
grep -q '^alpha .*rewrite  *no (filtered)$' up.txt || fail "filtered device shown as such"
"$py" -c 'import json,sys; j=json.load(open("up.json")); assert j["filters"]["only_actions"]==["upgrade"]; assert [h["install"] for h in j["hosts"]]==[True,False]' \
  || fail "json records the filter and the plan"

# One adapter by address, case-insensitively; a listed address not on the host requests nothing.
"$merge" --no-table alpha.xml --adapters 0000:81:00.0 --install-dir one >/dev/null
sed 's/<action value="upgrade"\/>/<action value="Nothing"\/>/' alpha.xml >want.xml
expect_same "adapters keeps only the listed adapter" want.xml one/alpha.xml
"$merge" --no-table alpha.xml --adapters 0000:AA:00.0 --install-dir none >/dev/null
[ -e none/alpha.xml ] && fail "no listed adapter on host: no install report"
"$merge" --no-table alpha.xml --only-actions upgrades >/dev/null 2>err.txt
[ $? -eq 2 ] && grep -q "unknown action" err.txt || fail "misspelt action is a usage error"

# Values with markup characters survive the round trip escaped as zanrex writes them.
odd() { device 0000:05:00.0 8086 24F0 8086 2628 'A &amp; B &lt;x&gt; &quot;q&quot;' 2628 1.3.0 1.2.0 upgrade; }
report odd >odd.xml
"$merge" --no-table odd.xml --install-dir odd >/dev/null
cmp -s odd.xml odd/odd.xml || fail "escaped values written back unchanged"
# An adapter in PCI domain 10000 (five digits) is taken like any other.
wide() { device 10000:e1:00.0 8086 24F0 8086 2628 "HFI gen1" 2628 1.3.0 1.2.0 upgrade; }
report wide >wide.xml
"$merge" wide.xml --install-dir wide >wide.txt || fail "domain 10000 accepted"
grep -q '^wide  10000:e1:00.0  1.2.0 ' wide.txt && cmp -s wide.xml wide/wide.xml || fail "domain 10000 listed and handed back"

# --- hostile and malformed reports ----------------------------------------------------------
bad() {  # NAME: write bad/NAME.xml from stdin
  mkdir -p bad
  cat >"bad/$1.xml"
}
printf '%s\n' '<?xml version="1.0"?>' '<!DOCTYPE r [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>' \
  '<tarvik_rom_discovery version="2.0.0.0"><type value="&d;"/><devices/></tarvik_rom_discovery>' | bad entities
printf '%s\n' '<?xml version="1.0"?>' '<!DOCTYPE r SYSTEM "file:///etc/passwd">' '<tarvik_rom_discovery version="2.0.0.0"/>' | bad external
printf '%s\n' '<tarvik_rom_discovery version="2.0.0.0"><type value="&undefined;"/><devices/></tarvik_rom_discovery>' | bad undefined
report two_adapters | head -30 | bad truncated
: | bad empty
report two_adapters | sed 's/tarvik_rom_discovery/other_report/' | bad root
report two_adapters | sed 's/version="2.0.0.0"/version="3.0.0.0"/' | bad version
report two_adapters | sed '0,/<action value="upgrade"\/>/{/<action value="upgrade"\/>/d}' | bad noaction
report two_adapters | sed 's#<busnumber value="0000:05"/>#<busnumber value="../../.."/>#' | bad traversal
report two_adapters | sed 's#<device_id value="0000:05:00.0"/>#<device_id value="0000:06:00.0"/>#' | bad mismatch
report two_adapters | sed 's#0000:81#0000:05#' | bad duplicate
report two_adapters | sed 's#0000:05#000:05#g' | bad shortdomain
report two_adapters | sed 's#<fw_item>#<fw_item><fw_item/>#' | bad nested
report two_adapters | sed 's#<type value="ROM"/>#<type value="OPROM"/>#' | bad type
report two_adapters | sed 's#<message value=""/>#<message value="" extra="1"/>#' | bad attribute
report two_adapters | sed 's#<shared value="no"/>#<shared value="no"/><shared value="no"/>#' | bad twice
report two_adapters | sed 's#<nictype value="INTEL_OPA"/>#<nictype value="INTEL_OPA"/>stray#' | bad text
report two_adapters | sed 's#<devices>#<devices><device/>#' | bad emptydevice
report two_adapters | sed 's#<takes_effect value="reboot"/>#<takes_effect value="reboot"/><action value="upgrade"/>#' | bad header

for f in bad/*.xml; do
  name="$(basename "$f" .xml)"
  timeout 10 "$merge" alpha.xml "$f" --install-dir "inst-$name" --json "j-$name.json" >out.txt 2>err.txt
  rc=$?
  [ $rc -eq 1 ] || fail "$name: rejected with status 1, got $rc"
  grep -q "^merge_reports: rejected $f: ." err.txt || fail "$name: message names the file: $(cat err.txt)"
  grep -q "^$name .*no: rejected $f: " out.txt || fail "$name: host listed as rejected in the table"
  [ -e "inst-$name/$name.xml" ] && fail "$name: no install report for a rejected report"
  cmp -s alpha.xml "inst-$name/alpha.xml" || fail "$name: the good host is still handed its report"
done
grep -q "document type declaration not allowed" <("$merge" bad/entities.xml 2>&1) \
  || fail "entity bomb refused as a DTD"
"$merge" missing.xml >/dev/null 2>err.txt
[ $? -eq 1 ] && grep -q "rejected missing.xml: No such file" err.txt || fail "missing report named"
"$merge" --json /nonexistent/dir/x.json alpha.xml >/dev/null 2>err.txt
[ $? -eq 2 ] || fail "unwritable output is status 2"

# --- rollout summary --------------------------------------------------------------------------
"$merge" --no-table alpha.xml bravo.xml charlie.node.xml bad/root.xml --unreported delta=2 \
  --json plan.json 2>/dev/null
mkdir -p acct
echo '{"rc": 0, "commands": [], "log": ["x [[INFO]     ] MAC              Upgrade SUCCESS"]}' >acct/alpha.json
t="Tue Dec  8 10:00:00 2026"
echo '{"rc": 2, "mode": "-su", "commands": [], "log": ["'"$t"' [[INFO]     ] Selecting a", "'"$t"' [[ERROR]    ] Firmware Upgrade failed", " image file ./nic_fw/a.bin not found", "'"$t"' [[ERROR]    ] Error at read_NIC_FW_xml_file"]}' >acct/charlie.node.json
"$merge" --summary plan.json --accounts acct --json summary.json >summary.txt
cat >want.txt <<'EOF'
HOST          RESULT     REBOOT  DETAIL
alpha         upgraded   yes     zanrex -su ended with status 0
bravo         untouched  no      nothing requested
charlie.node  failed     no      zanrex -su ended with status 2
root          untouched  no      rejected bad/root.xml: root element is <other_report>, expected <tarvik_rom_discovery>
delta         untouched  no      zanrex -d ended with status 2
upgraded: 1 (alpha)
failed: 1 (charlie.node)
untouched: 3 (bravo root delta)
reboot needed: 1 (alpha)
EOF
expect_same "summary" want.txt summary.txt
# Exit statuses as numbers; a failure's cause is its first error entry, every line of it.
"$py" -c 'import json; h={r["host"]: r for r in json.load(open("summary.json"))["hosts"]}
assert (h["alpha"]["rc"], h["alpha"]["cause"], h["bravo"]["rc"]) == (0, None, None), h
assert h["charlie.node"]["rc"] == 2, h
assert h["charlie.node"]["cause"] == "[[ERROR]    ] Firmware Upgrade failed | image file ./nic_fw/a.bin not found", h' \
  || fail "summary json"
rm acct/charlie.node.json
"$merge" --summary plan.json --accounts acct | grep -q '^charlie.node  untouched  no      not reached: the rollout stopped$' \
  || fail "a planned host without an account was not reached"

[ $failures -eq 0 ] && echo "fleet_merge_test: all passed"
[ $failures -eq 0 ]
