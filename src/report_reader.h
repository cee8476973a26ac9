// Reading a discovery report handed back by the deployment tooling (-u), and installing the
// firmware it asks for.
#pragma once

#include <string>
#include <vector>

#include "adapter.h"
#include "run_context.h"

namespace zanrex {

enum class ReportRead { kOk, kOpenFailed, kParseFailed };

// Reads the devices of the report at `path` into `devices`, one record per `device` element:
// a counting pass, then a filling pass. Logs an installed version met under an image type
// other than "ROM". A report that is not well-formed, or whose attribute values use entities
// it declares itself, gives kParseFailed; `devices` is then not to be used.
ReportRead read_report(RunContext& ctx, const std::string& path, std::vector<Adapter>& devices);

// The -u mode with the adapters' sysfs directories under `sysfs_devices` (tests use their
// own); install_from_report(ctx) is this with /sys/bus/pci/devices.
int install_from_report(RunContext& ctx, const std::string& sysfs_devices);

// Value of at most four leading hexadecimal digits of `text`; 0 without any.
int report_hex_value(const std::string& text);

// True for an address of the form sysfs uses, "dddd:bb:dd.f" in hexadecimal (a domain of four
// or more digits), function 0 to 7.
bool is_pci_address(const std::string& address);

// True when an action value asks for an install: it contains "upgrade", "rewrite" or
// "downgrade" (case-sensitive).
bool action_requests_install(const std::string& action);

}  // namespace zanrex
