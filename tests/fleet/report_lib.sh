# Writes discovery reports in the byte layout zanrex -d produces, for the fleet tests.
#   report DEVICES_FN [ARGS]   the whole document; DEVICES_FN prints the <device> elements
#   device ADDR VENID DEVID SUBVENID SUBDEVID PRODUCT FIRMWARE_ID VERSION ACTIVE ACTION
device() {
  local addr=$1
  cat <<X
        <device>
            <device_id value="$addr"/>
            <venid value="$2"/>
            <devid value="$3"/>
            <subvenid value="$4"/>
            <subdevid value="$5"/>
            <macaddress value=""/>
            <product_id value="$6"/>
            <busnumber value="${addr%:*}"/>
            <devicenumber value="$(echo "$addr" | cut -d: -f3 | cut -d. -f1)"/>
            <funcnumber value="${addr##*.}"/>
            <slotnumber value=""/>
            <nictype value="INTEL_OPA"/>
            <fw_item>
                <type value="ROM"/>
                <firmware_id value="$7"/>
                <version value="$8"/>
                <active_version value="$9"/>
                <action value="${10}"/>
                <duration value="210"/>
                <message value=""/>
                <shared value="no"/>
            </fw_item>
        </device>
X
}
report() {
  cat <<X
<?xml version="1.0" encoding="UTF-8"?>
<tarvik_rom_discovery version="2.0.0.0">
    <type value="INTEL_NIC"/>
    <alt_name value="Quillon Online Firmware Upgrade Utility for Linux"/>
    <version value="1.6.0"/>
    <takes_effect value="reboot"/>
    <devices>
X
  "$@"
  cat <<X
    </devices>
</tarvik_rom_discovery>
X
}
