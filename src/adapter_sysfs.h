// What sysfs says about a fabric adapter right before it is written: whether the function at
// its address is still the adapter the run took it for, and how the thermal tool, which
// numbers the adapters by the hfi1 driver's units, is to name it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "adapter.h"

namespace zanrex {

// True when sysfs shows at `address` under `sysfs_devices` an Intel fabric function (class
// 0x0208, vendor 0x8086) with the vendor, device, subsystem vendor and subsystem device IDs
// of `adapter`.
bool sysfs_shows_adapter(const std::string& sysfs_devices, const std::string& address,
                         const Adapter& adapter);

// The number of functions under `sysfs_devices` of class 0x0208 and vendor 0x8086 (every
// function, not only the lowest of a device: the driver gives each its own unit); nothing when
// the directory cannot be read.
std::optional<size_t> intel_fabric_functions(const std::string& sysfs_devices);

// The hfi1 unit K of the function at `address`, from its entry infiniband/hfi1_K. Nothing when
// it has no such entry, or more than one.
std::optional<int> hfi1_unit(const std::string& sysfs_devices, const std::string& address);

// How the thermal tool is told which adapter it updates. With one Intel fabric function on
// the server it needs no number; otherwise (or when the functions cannot be counted) it is given
// -h N, N being the hfi1 unit plus one.
struct ThermalNumber {
  bool named = false;         // the tool must be given the adapter's number
  std::optional<int> number;  // N, when `named` and the unit was found
};
ThermalNumber thermal_number(const std::string& sysfs_devices, const std::string& address);

}  // namespace zanrex
