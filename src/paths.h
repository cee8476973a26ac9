// Fixed names, all relative to the package directory the program runs from.
#pragma once

#include <string>

namespace zanrex {

constexpr const char kCatalogueFile[] = "nic_fw/NICFWData.xml";
constexpr const char kDefaultReportFile[] = "nicdiscovery.xml";
constexpr const char kFwDir[] = "./nic_fw/";
constexpr const char kEventLogFile[] = "intel_OPA.log";
constexpr const char kSysfsPciDevices[] = "/sys/bus/pci/devices";
constexpr int kFabricClass = 0x0208;

// The sysfs resource file through which the EEPROM tool reaches the adapter at `address`.
inline std::string resource_file(const std::string& address) {
  return std::string(kSysfsPciDevices) + "/" + address + "/resource0";
}

}  // namespace zanrex
