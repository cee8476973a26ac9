# Checks shared by the package script tests; sourced, not run. The caller sets $scratch (where
# NAME.err of each run lies) and $status (the exit status of the last run).
failures=0
tab=$'\t'
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_line() {  # expect_line WHAT FILE LINE: FILE holds LINE as a whole line
  grep -qxF -- "$3" "$2" || fail "$1: no line '$3'"
}
expect_no() {  # expect_no WHAT FILE TEXT: TEXT appears nowhere in FILE
  if grep -qF -- "$3" "$2"; then fail "$1: unexpected '$3'"; fi
}
expect_status() {  # expect_status NAME CODE: the last run, NAME, ended with CODE
  [ "$status" -eq "$2" ] || { fail "$1: exit status $status, expected $2"; cat "$scratch/$1.err" >&2; }
}
# expect_demo_upgrade FILE: the console of a silent upgrade of the demo server, which writes the
# newest image set to both fabric adapters and leaves the Ethernet function alone.
expect_demo_upgrade() {
  local addr dev
  for addr in 0000:05:00.0 0000:81:00.0; do
    dev="/sys/bus/pci/devices/$addr/resource0"
    expect_line upgrade "$1" "Command Executed: ./nic_fw/hfi1_eprom -d $dev -w -o ./nic_fw/loader-1.8.1.rom"
    expect_line upgrade "$1" "Command Executed: ./nic_fw/hfi1_eprom -d $dev -w -b ./nic_fw/driver-1.8.1.efi"
  done
  # Two fabric adapters of Intel: the thermal tool is told which one, by its hfi1 unit.
  for n in 1 2; do
    [ "$(grep -cxF "Command Executed: ./nic_fw/opatmmtool -v -h $n -f ./nic_fw/thermal-1.8.1.bin update" "$1")" -eq 1 ] ||
      fail "upgrade: opatmmtool not run once for adapter $n"
  done
  expect_no upgrade "$1" "0000:5e:00.0"
}
# Ends the test: status 1 with the count of failures, or 0.
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
  echo "$1 passed"
}
