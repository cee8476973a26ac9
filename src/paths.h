// Fixed names, all relative to the package directory the program runs from.
#pragma once

namespace zanrex {

constexpr const char kCatalogueFile[] = "nic_fw/NICFWData.xml";
constexpr const char kDefaultReportFile[] = "nicdiscovery.xml";
constexpr const char kFwDir[] = "./nic_fw/";
constexpr const char kEventLogFile[] = "intel_OPA.log";
constexpr const char kSysfsPciDevices[] = "/sys/bus/pci/devices";
constexpr int kFabricClass = 0x0208;

}  // namespace zanrex
