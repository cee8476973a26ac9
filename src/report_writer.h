// The discovery report written by -d: every usable adapter with its identity, its installed
// firmware, the newest firmware the package holds for it and a recommended action.
#pragma once

#include <string>
#include <vector>

#include "adapter.h"
#include "run_context.h"

namespace zanrex {

// Root element and the fixed header values of the report.
constexpr const char kReportRoot[] = "tarvik_rom_discovery";
constexpr const char kReportDocVersion[] = "2.0.0.0";
constexpr const char kReportComponentType[] = "INTEL_NIC";
constexpr const char kReportTitle[] = "Quillon Online Firmware Upgrade Utility for Linux";
constexpr const char kReportComponentVersion[] = "1.6.0";
constexpr const char kReportTakesEffect[] = "reboot";
constexpr const char kReportNicType[] = "INTEL_OPA";
constexpr const char kReportImageType[] = "ROM";
constexpr const char kReportDuration[] = "210";

// The three parts of a PCI address "domain:bus:device.function" as the report splits it:
// "domain:bus", "device" and "function". Parts the text does not have are empty.
struct PciAddressParts {
  std::string bus;
  std::string device;
  std::string function;
};
PciAddressParts split_pci_address(const std::string& address);

// Display form of the image whose version has the greatest sort key; empty without images.
std::string newest_version_text(const Adapter& adapter);

// "upgrade" when an image is newer than the installed firmware, else "rewrite" when one has
// exactly the installed version, else "downgrade" when there are images, else "Nothing".
std::string recommended_action(const Adapter& adapter);

// Writes the report for the usable adapters of ctx.adapters to `path`, replacing an earlier
// file only once the new one is complete. Logs what went wrong; returns 0, or 2 on failure.
int save_discovery_report(RunContext& ctx, const std::string& path);

}  // namespace zanrex
