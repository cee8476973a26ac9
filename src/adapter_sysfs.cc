#include "adapter_sysfs.h"

#include <dirent.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>
#include <vector>

#include "fd.h"
#include "inventory.h"
#include "paths.h"
#include "pci_scan.h"

namespace zanrex {

namespace {

// The names in directory `path` but "." and ".."; nothing when it cannot be opened or read
// to its end.
std::optional<std::vector<std::string>> directory_names(const std::string& path) {
  std::vector<std::string> names;
  DirPtr dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (errno != 0) return std::nullopt;
  return names;
}

// K of a name "hfi1_K" (decimal digits only), or nothing.
std::optional<int> unit_of(const std::string& name) {
  static const std::string kPrefix = "hfi1_";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const char* digits = name.c_str() + kPrefix.size();
  const char* end = name.c_str() + name.size();
  int unit = 0;
  // No sign, nothing after the digits, and room for the thermal tool's unit + 1.
  auto [stop, error] = std::from_chars(digits, end, unit);
  if (digits == end || *digits == '-' || error != std::errc() || stop != end) return std::nullopt;
  if (unit == std::numeric_limits<int>::max()) return std::nullopt;
  return unit;
}

bool is_intel_fabric(const FunctionIdentity& found) {
  return (found.class_code >> 8) == kFabricClass && found.ids.ven_id == kIntelVendorId;
}

}  // namespace

bool sysfs_shows_adapter(const std::string& sysfs_devices, const std::string& address,
                         const Adapter& adapter) {
  std::optional<FunctionIdentity> found = read_function_identity(sysfs_devices, address);
  if (!found || !is_intel_fabric(*found)) return false;
  const PciIdentity& ids = found->ids;
  return ids.ven_id == adapter.ven_id && ids.dev_id == adapter.dev_id &&
         ids.sub_ven_id == adapter.sub_ven_id && ids.sub_dev_id == adapter.sub_dev_id;
}

std::optional<size_t> intel_fabric_functions(const std::string& sysfs_devices) {
  std::optional<std::vector<std::string>> addresses = directory_names(sysfs_devices);
  if (!addresses) return std::nullopt;
  size_t count = 0;
  for (const std::string& address : *addresses) {
    std::optional<FunctionIdentity> found = read_function_identity(sysfs_devices, address);
    if (found && is_intel_fabric(*found)) ++count;
  }
  return count;
}

std::optional<int> hfi1_unit(const std::string& sysfs_devices, const std::string& address) {
  std::optional<int> unit;
  std::optional<std::vector<std::string>> names =
      directory_names(sysfs_devices + "/" + address + "/infiniband");
  if (!names) return std::nullopt;
  for (const std::string& name : *names) {
    std::optional<int> k = unit_of(name);
    if (!k) continue;
    if (unit) return std::nullopt;  // two units for one function: neither can be trusted
    unit = k;
  }
  return unit;
}

ThermalNumber thermal_number(const std::string& sysfs_devices, const std::string& address) {
  ThermalNumber t;
  // A server whose functions cannot be counted is taken to have several.
  std::optional<size_t> functions = intel_fabric_functions(sysfs_devices);
  if (functions && *functions <= 1) return t;
  t.named = true;
  if (std::optional<int> unit = hfi1_unit(sysfs_devices, address)) t.number = *unit + 1;
  return t;
}

}  // namespace zanrex
