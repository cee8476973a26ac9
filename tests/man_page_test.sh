#!/usr/bin/env bash
# The manual page renders without a single groff warning and documents every option the program
# accepts, every mode's exit status and the files it touches.
# Usage: man_page_test.sh ZANREX_BINARY (the binary is not needed here)
set -euo pipefail
page="$(cd "$(dirname "$0")/.." && pwd)/man/zanrex.1"
[ -n "${ZANREX_TEST_SCRUBBED:-}" ] || exec env -i ZANREX_TEST_SCRUBBED=1 PATH=/usr/bin:/bin \
  LC_ALL=C.UTF-8 "$0" "$@"
command -v groff >/dev/null || { echo "groff is not installed" >&2; exit 77; }

fail=0
warnings="$(groff -man -ww -z "$page" 2>&1)" || fail=1
if [ -n "$warnings" ]; then
  echo "groff warnings:" >&2
  echo "$warnings" >&2
  fail=1
fi

text="$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)"
need() {
  grep -qF -- "$1" <<<"$text" || { echo "man page does not mention: $1" >&2; fail=1; }
}
# Each option letter of the command line gets its own entry in OPTIONS.
for opt in -c -s -f -F -y -p -i -d -u -h --help --version; do
  grep -qE -- "^ {7}(-[A-Za-z], )*$opt( |,|$)" <<<"$text" || { echo "no entry for option $opt" >&2; fail=1; }
done
for section in SYNOPSIS "RUN MODES" OPTIONS "PACKAGE LAYOUT" FILES "EXIT STATUS" EXAMPLES; do
  grep -qx "$section" <<<"$text" || { echo "missing section $section" >&2; fail=1; }
done
for file in nic_fw/NICFWData.xml intel_OPA.log nicdiscovery.xml /tmp/dataXXXXXX resource0; do
  need "$file"
done
# The version query names the adapter, exactly as the program runs it.
need "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/addr/resource0 -V -o"
need "./nic_fw/opatmmtool -v -f ./nic_fw/fwFile3 update"
exit $fail
