// The adapter table every mode but -u works on: PCI scan, tool queries, catalogue match.
#pragma once

#include <string>

#include "paths.h"
#include "pci_scan.h"
#include "run_context.h"

namespace zanrex {

// Fills ctx.adapters (one record per scan entry) and ctx.intel_ports. Returns 0 when at least
// one Intel adapter had its version and device type read, 1 when no Intel adapter was found,
// 2 when every Intel adapter's queries failed. Ends the run with status 1 (ExitRequest) when
// the catalogue or an adapter's sysfs identity cannot be read. The catalogue is read once, after
// the last adapter's queries, for all adapters together.
int build_nic_list(RunContext& ctx);

// Removes the per-run error file at the end of the run when nothing was written to it; one
// that holds failure lines stays for the operator.
void remove_empty_error_file(RunContext& ctx);

// Where the builder reads from besides the tools; tests substitute their own.
struct InventorySources {
  std::string sysfs_devices = kSysfsPciDevices;
  std::string catalogue = kCatalogueFile;
  std::string error_file_template = "/tmp/dataXXXXXX";
};

// The builder on a scan already made.
int build_nic_list(RunContext& ctx, const PciScanResult& scan, const InventorySources& sources);

// PCI vendor ID of Intel.
constexpr int kIntelVendorId = 0x8086;

// True for a function of Intel: decided by its vendor ID alone. Its vendor name is only shown
// (a name test takes "Intellon" or "Intelliprop" for Intel).
inline bool is_intel_function(const PciFunction& function) {
  return function.vendor_id == kIntelVendorId;
}

}  // namespace zanrex
