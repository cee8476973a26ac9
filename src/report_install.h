// Installing the firmware a discovery report handed back by the deployment tooling asks for
// (-u): the report's devices checked, locked, looked up in the catalogue and flashed.
#pragma once

#include <string>

#include "run_context.h"

namespace zanrex {

// The -u mode with the adapters' sysfs directories under `sysfs_devices` (tests use their
// own); install_from_report(ctx) is this with /sys/bus/pci/devices.
int install_from_report(RunContext& ctx, const std::string& sysfs_devices);

// True for an address of the form sysfs uses, "dddd:bb:dd.f" in hexadecimal (a domain of four
// or more digits), function 0 to 7.
bool is_pci_address(const std::string& address);

}  // namespace zanrex
