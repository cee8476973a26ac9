#include "report_install.h"

#include <strings.h>

#include <set>
#include <vector>

#include "adapter_lock.h"
#include "adapter_sysfs.h"
#include "catalogue.h"
#include "console.h"
#include "flashing.h"
#include "modes.h"
#include "paths.h"
#include "report_parse.h"
#include "version.h"

namespace zanrex {

bool is_pci_address(const std::string& address) {
  // The domain has four or more hexadecimal digits; the rest is fixed: ":xx:xx.f".
  static const char kRest[] = ":xx:xx.f";
  const size_t rest_length = sizeof kRest - 1;
  if (address.size() < 4 + rest_length) return false;
  const size_t domain_length = address.size() - rest_length;
  for (size_t i = 0; i < address.size(); ++i) {
    const char c = address[i];
    const char shape = i < domain_length ? 'x' : kRest[i - domain_length];
    if (shape == 'x' ? hex_digit(c) < 0 : shape == 'f' ? c < '0' || c > '7' : c != shape) {
      return false;
    }
  }
  return true;
}

namespace {

// How the install of one report device went.
struct DeviceOutcome {
  bool requested = false;  // its action asked for an install
  bool failed = false;     // counts against the run
};

CatalogueQuery query_of(const ReportDevice& device) {
  const Adapter& a = device.adapter;
  return query_for(a.ven_id, a.dev_id, a.sub_ven_id, a.sub_dev_id, device.firmware_id);
}

// Addresses in the order of their lower-case forms, equal when those are.
struct Caseless {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

// What the install carries from device to device. The catalogue is asked for every device of
// the report and read once, where the first device is looked up (before anything is flashed);
// what the log says about a key's match it says at the first device with that key.
struct InstallState {
  RunCatalogue catalogue;
  std::set<std::string, Caseless> requested;  // addresses already handed to flashing
  std::set<std::string> told;                 // adapter keys whose match the log has told of
};

// True when sysfs shows at `address` the Intel fabric adapter the report describes, down to
// its device type: the report's firmware_id is the subsystem device ID in four hexadecimal
// digits, in either case.
bool is_described_adapter(const RunContext& ctx, const std::string& address,
                          const ReportDevice& device) {
  return sysfs_shows_adapter(ctx.sysfs_devices, address, device.adapter) &&
         strcasecmp(device.firmware_id.c_str(), id_text(device.adapter.sub_dev_id).c_str()) == 0;
}

// Checks a requested device before anything else is done for it: an address of the right
// shape, named for the first time, where sysfs shows the adapter the report describes. False
// when it is not to be flashed; `outcome.failed` then says whether that counts against the run.
bool may_flash(RunContext& ctx, InstallState& state, const ReportDevice& device,
               DeviceOutcome& outcome) {
  const std::string address = device.adapter.address.value_or("");
  // The address becomes part of the sysfs path handed to the flashing tool.
  if (!is_pci_address(address)) {
    ctx.log.error("read_discovery_report: Invalid PCI address " + printable(address) + "\n");
    outcome.failed = true;
    return false;
  }
  if (!state.requested.insert(address).second) {
    ctx.log.error("read_discovery_report: " + printable(address) +
                  " is named more than once; flashed once\n");
    return false;
  }
  if (!is_described_adapter(ctx, address, device)) {
    ctx.log.error("read_discovery_report: " + printable(address) +
                  " is not the adapter the report describes\n");
    outcome.failed = true;
    return false;
  }
  return true;
}

// Looks the device up in the catalogue and flashes `adapter`, its entry of ctx.adapters, when
// its action asks for that.
DeviceOutcome install_device(RunContext& ctx, InstallState& state, const ReportDevice& device,
                             Adapter& adapter) {
  DeviceOutcome outcome;
  outcome.requested = (adapter.flags & kNicFlash) != 0;
  if (outcome.requested && !may_flash(ctx, state, device, outcome)) return outcome;
  const std::string address = adapter.address.value_or("");

  const CatalogueQuery query = query_of(device);
  const CatalogueMatch& match = state.catalogue.answer(query);
  if (state.told.insert(query.key).second) log_overflow(ctx, match, address);
  adapter.images = images_from_entries(match.entries);
  if (adapter.images.empty()) {
    if (outcome.requested) {
      ctx.log.error("read_discovery_report: For " + address +
                    " no matching firmware file in XML\n");
    }
    outcome.failed = true;
    return outcome;
  }
  if (!outcome.requested) return outcome;

  const bool failed_before = ctx.status.has(kFlashFailed);
  int code = flash_adapter(ctx, adapter);
  if (code != 0 || (!failed_before && ctx.status.has(kFlashFailed))) {
    ctx.log.error("read_discovery_report: Firmware flash failed for " + address + "\n");
    outcome.failed = true;
  }
  return outcome;
}

// The addresses the install may flash, each once, in address order: those of the requested
// devices whose address has the right shape.
std::vector<std::string> addresses_to_lock(const std::vector<Adapter>& adapters) {
  std::set<std::string, Caseless> addresses;
  for (const Adapter& adapter : adapters) {
    const std::string address = adapter.address.value_or("");
    if ((adapter.flags & kNicFlash) && is_pci_address(address)) addresses.insert(address);
  }
  return {addresses.begin(), addresses.end()};
}

}  // namespace

int install_from_report(RunContext& ctx) {
  return install_from_report(ctx, kSysfsPciDevices);
}

int install_from_report(RunContext& ctx, const std::string& sysfs_devices) {
  open_event_log(ctx);
  const std::string& path = ctx.options.report_path;
  std::vector<ReportDevice> devices;
  switch (read_report(ctx.log, path, devices)) {
    case ReportRead::kOpenFailed:
      ctx.log.error("read_discovery_report: Failed to open " + path + "\n");
      return 2;
    case ReportRead::kParseFailed:
      ctx.log.error("read_discovery_report: Failed to parse " + path + "\n");
      return 2;
    case ReportRead::kOk:
      break;
  }
  InstallState state{RunCatalogue(ctx, kCatalogueFile), {}, {}};
  ctx.adapters.clear();
  for (const ReportDevice& device : devices) {
    ctx.adapters.push_back(device.adapter);
    state.catalogue.ask(query_of(device));
  }
  ctx.sysfs_devices = sysfs_devices;
  hold_adapter_locks(ctx, sysfs_devices, addresses_to_lock(ctx.adapters), LockKind::kExclusive);

  size_t failed = 0;
  bool requested_failed = false;
  for (size_t i = 0; i < devices.size(); ++i) {
    DeviceOutcome outcome = install_device(ctx, state, devices[i], ctx.adapters[i]);
    if (outcome.failed) ++failed;
    if (outcome.failed && outcome.requested) requested_failed = true;
    if (ctx.interrupted_by != 0) return end_interrupted_run(ctx);
  }
  if (failed >= devices.size()) {
    ctx.log.error("read_discovery_report: Error at read_NIC_FW_xml_file\n");
    return 2;
  }
  return requested_failed ? 2 : 0;
}

}  // namespace zanrex
