// The PCI bus as the inventory sees it: functions of one class found through libpci, address
// texts and their filter form, and an adapter's identity read from sysfs.
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

// The places distributions keep the PCI ID database in, in the order they are tried.
inline const std::vector<std::string> kPciIdsPlaces = {
    "/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids", "/usr/share/pci.ids"};

// Where the scan looks; tests point libpci at a sysfs tree and ID files of their own.
struct PciScanOptions {
  std::string sysfs_root;  // libpci's "sysfs.path"; empty for the library's default
  // Vendor names come from the first of these files that can be read; with none, each vendor
  // is named by its ID ("Vendor 8086"), as libpci names it.
  std::vector<std::string> pci_ids_places = kPciIdsPlaces;
};

// Outcome of a scan. `error` holds libpci's own error text when the library gave up, or the
// library's text for a faulty PCI ID file.
struct PciScanResult {
  std::vector<PciFunction> functions;  // one per device (its lowest function), address order
  std::optional<std::string> error;
};

// Scans the bus for functions of `class_code`, of any vendor. Never exits: an error inside
// libpci ends the scan with `error` set and no functions.
PciScanResult scan_pci_class(int class_code, const PciScanOptions& options = {});

// The parts of an address text; -1 means "any", as in libpci's filter.
struct PciAddressFilter {
  int domain = -1;
  int bus = -1;
  int slot = -1;
  int func = -1;
};

// The greatest PCI domain number (libpci keeps domains in an int).
constexpr long long kMaxPciDomain = 0x7fffffff;

// Reads "domain:bus:slot.function" (a domain of any number of digits) into `filter` (a part that is
// empty or "*" leaves its field as it was). Returns the reason when the text is not a usable
// address.
std::optional<std::string> parse_pci_address(const std::string& text, PciAddressFilter& filter);

// "%04x:%02x:%02x.%d": a domain above 0xffff prints all its digits.
std::string format_pci_address(int domain, int bus, int slot, int func);

// Sorts addresses in address order (domain, bus, slot, function) and keeps the first of each
// device (the text before the '.', domain:bus:slot, compared ignoring case).
std::vector<std::string> one_address_per_device(std::vector<std::string> addresses);

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
