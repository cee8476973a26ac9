// The discovery report exactly as zanrex -d writes it, for the unit and end-to-end tests that
// compare whole documents.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace expected_report {

// One listed adapter 8086:24F0 with subsystem 8086:`type` (the device type, upper case as the
// subsystem ID); the address gives the bus, device and function numbers.
struct Device {
  std::string address;
  std::string type = "2628";
  std::string product;  // the catalogue entry's name, escaped as written
  std::string version;  // the package's image version, "" without one
  std::string active;
  std::string action;
};

inline std::string leaf(int depth, const std::string& name, const std::string& value) {
  return std::string(4 * static_cast<size_t>(depth), ' ') + "<" + name + " value=\"" + value +
         "\"/>\n";
}

inline std::string device(const Device& d) {
  size_t colon = d.address.rfind(':');
  size_t dot = d.address.rfind('.');
  std::string upper = d.type;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return "        <device>\n" + leaf(3, "device_id", d.address) + leaf(3, "venid", "8086") +
         leaf(3, "devid", "24F0") + leaf(3, "subvenid", "8086") + leaf(3, "subdevid", upper) +
         leaf(3, "macaddress", "") + leaf(3, "product_id", d.product) +
         leaf(3, "busnumber", d.address.substr(0, colon)) +
         leaf(3, "devicenumber", d.address.substr(colon + 1, dot - colon - 1)) +
         leaf(3, "funcnumber", d.address.substr(dot + 1)) + leaf(3, "slotnumber", "") +
         leaf(3, "nictype", "INTEL_OPA") + "            <fw_item>\n" + leaf(4, "type", "ROM") +
         leaf(4, "firmware_id", d.type) + leaf(4, "version", d.version) +
         leaf(4, "active_version", d.active) + leaf(4, "action", d.action) +
         leaf(4, "duration", "210") + leaf(4, "message", "") + leaf(4, "shared", "no") +
         "            </fw_item>\n        </device>\n";
}

// The whole document around the given device elements; none gives an empty <devices/>.
inline std::string document(const std::string& devices) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<tarvik_rom_discovery version=\"2.0.0.0\">\n" +
         leaf(1, "type", "INTEL_NIC") +
         leaf(1, "alt_name", "Quillon Online Firmware Upgrade Utility for Linux") +
         leaf(1, "version", ZANREX_VERSION) + leaf(1, "takes_effect", "reboot") +
         (devices.empty() ? "    <devices/>\n" : "    <devices>\n" + devices + "    </devices>\n") +
         "</tarvik_rom_discovery>\n";
}

inline std::string document(const std::vector<Device>& devices) {
  std::string text;
  for (const Device& d : devices) text += device(d);
  return document(text);
}

}  // namespace expected_report
