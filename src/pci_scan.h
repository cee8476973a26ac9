// The PCI bus as the inventory sees it: functions of one class found through libpci, their
// address texts, and an adapter's identity read from sysfs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace zanrex {

// One entry of the scan: "%04x:%02x:%02x.%d", its vendor name as libpci's lookup gives it
// (shown only) and the vendor ID (which decides).
struct PciFunction {
  std::string address;
  std::string vendor_name;
  int vendor_id = 0;
};

// Where the scan looks; tests point libpci at a sysfs tree of their own.
struct PciScanOptions {
  std::string sysfs_root;  // libpci's "sysfs.path"; empty for the library's default
};

// A function whose sysfs attributes could not be read during the scan (removed meanwhile,
// say): its address and libpci's text.
struct UnreadableFunction {
  std::string address;
  std::string message;
};

// Outcome of a scan. `error` holds libpci's own error text when the library gave up on the
// whole bus, or its text for a faulty PCI ID file.
struct PciScanResult {
  std::vector<PciFunction> functions;  // one per device (its lowest function), address order
  std::vector<UnreadableFunction> passed_over;  // in libpci's order
  std::optional<std::string> error;
};

// Scans the bus for functions of `class_code`, of any vendor; a function that cannot be read
// is passed over. Vendor names come from libpci's lookup in its own PCI ID file; a vendor it
// does not list is named as libpci names it ("Vendor 8086"). Never exits: an error inside
// libpci outside one function's attributes ends the scan with `error` set and no functions.
PciScanResult scan_pci_class(int class_code, const PciScanOptions& options = {});

// "%04x:%02x:%02x.%d": a domain above 0xffff prints all its digits.
std::string format_pci_address(int domain, int bus, int slot, int func);

// The four PCI IDs of an adapter as its sysfs directory gives them.
struct PciIdentity {
  int ven_id = 0;
  int dev_id = 0;
  int sub_ven_id = 0;
  int sub_dev_id = 0;
};

// Reads vendor, device, subsystem_vendor and subsystem_device from `sysfs_devices`/`address`/.
// A file that cannot be opened stops the reading: its message goes to `err`, and nothing is
// returned. A file without a number gives 0.
std::optional<PciIdentity> read_pci_identity(const std::string& sysfs_devices,
                                             const std::string& address, FILE* err);

// What sysfs says a function is: its class code (base class, subclass, interface) and IDs.
struct FunctionIdentity {
  int class_code = 0;
  PciIdentity ids;
};

// Reads class, vendor, device, subsystem_vendor and subsystem_device of the function at
// `address` under `sysfs_devices`, saying nothing; nothing when the function does not exist or
// a file cannot be read or holds no number.
std::optional<FunctionIdentity> read_function_identity(const std::string& sysfs_devices,
                                                       const std::string& address);

}  // namespace zanrex
