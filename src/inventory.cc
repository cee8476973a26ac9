#include "inventory.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "adapter_lock.h"
#include "catalogue.h"
#include "console.h"
#include "event_log.h"
#include "fd.h"
#include "tool_query.h"

namespace zanrex {

namespace {

constexpr char kUnit[] = "intel_OPA";

// Source places named by the messages that carry one.
constexpr int kPlaceInterfaceList = 1197;
constexpr int kPlaceVersionQuery = 1262;
constexpr int kPlaceCardTypeQuery = 1270;
constexpr int kPlaceIdentity = 1291;

// "\n\nFWUPG_ERROR: get_firmware_info filed RC = %d\n%s,%d\n\n".
std::string query_failure_line(int rc, int place) {
  return "\n\nFWUPG_ERROR: get_firmware_info filed RC = " + std::to_string(rc) + "\n" + kUnit +
         "," + std::to_string(place) + "\n\n";
}

// The per-run file that collects query failures; it stays on disk after the run when it holds
// any (see remove_empty_error_file). When it cannot be made, or a line cannot be written to it (a
// full /tmp), the line goes to the event log instead.
struct ErrorFile {
  std::string name;
  FilePtr file;
  EventLog* log = nullptr;

  void write(const std::string& line) {
    if (file && std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() &&
        std::fflush(file.get()) == 0) {
      return;
    }
    log->error(line);
  }
};

ErrorFile open_error_file(RunContext& ctx, const std::string& name_template) {
  ErrorFile ef;
  ef.log = &ctx.log;
  std::vector<char> name(name_template.begin(), name_template.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  ef.name = name.data();
  if (fd >= 0) {
    ctx.error_file = ef.name;
    ef.file.reset(fdopen(fd, "w"));
    if (!ef.file) close(fd);
  }
  const std::string where = ef.file ? ef.name : "the event log";
  if (!ef.file) std::fprintf(ctx.out, "Not able to open this %s file\n", ef.name.c_str());
  print_message(ctx,
                "\nIf Device Type or FW_Version is not found for some interfaces, please check " +
                    where + "\n\n");
  return ef;
}

// The scan's own failure reports; returns the enumeration's result.
int enumeration_result(RunContext& ctx, const PciScanResult& scan) {
  for (const UnreadableFunction& function : scan.passed_over) {
    const std::string text =
        "PCI function " + function.address + " could not be read; passed over\n";
    std::fprintf(ctx.err, "pcilib: %s\n%s", function.message.c_str(), text.c_str());
    ctx.log.warning(text);
  }
  if (scan.error) std::fprintf(ctx.err, "pcilib: %s\n", scan.error->c_str());
  if (!scan.functions.empty()) return 0;
  if (!scan.error) ctx.log.error("No fabric adapter (PCI class 0x0208) found\n");
  std::fputs("NO Interface Found\n", ctx.out);
  return 1;
}

CatalogueQuery query_of(const Adapter& adapter) {
  return query_for(adapter.ven_id, adapter.dev_id, adapter.sub_ven_id, adapter.sub_dev_id,
                   adapter.dev_type.value_or(""));
}

// The catalogue's answers for the usable adapters among the first `count`, adapter by adapter:
// what the log says about its match and the images it gets. The first answer reads the
// catalogue once for all of them.
void match_catalogue(RunContext& ctx, RunCatalogue& catalogue, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    Adapter& adapter = ctx.adapters[i];
    if (!(adapter.flags & kNicValid)) continue;
    const CatalogueMatch& match = catalogue.answer(query_of(adapter));
    const std::string address = adapter.address.value_or("");
    log_overflow(ctx, match, address);
    if (match.entries.empty()) {
      ctx.log.error("For " + address + " no matching firmware file in XML\n");
    }
    adapter.images = images_from_entries(match.entries);
  }
}

// Identity and installed version of an adapter whose queries succeeded; its catalogue query
// is asked. The catalogue is opened here, where the first adapter needs it.
void complete_adapter(RunContext& ctx, size_t index, const std::string& address,
                      const InventorySources& sources, RunCatalogue& catalogue) {
  Adapter& adapter = ctx.adapters[index];
  std::optional<PciIdentity> id = read_pci_identity(sources.sysfs_devices, address, ctx.err);
  if (!id) {
    std::fprintf(ctx.err, "\n\nFWUPG_ERROR: RC = %d\n%s,%d\n\n", 1, kUnit, kPlaceIdentity);
    // The adapters before this one had their lookups: the log tells of them as it would have.
    match_catalogue(ctx, catalogue, index);
    throw ExitRequest{1};
  }
  adapter.ven_id = id->ven_id;
  adapter.dev_id = id->dev_id;
  adapter.sub_ven_id = id->sub_ven_id;
  adapter.sub_dev_id = id->sub_dev_id;

  catalogue.open();
  catalogue.ask(query_of(adapter));
  adapter.installed = parse_version(adapter.firmware_ver.value_or(""));
  adapter.flags |= kNicValid;
}

// One entry of the scan; returns false when it is an Intel adapter whose queries failed.
bool inspect_function(RunContext& ctx, size_t index, const PciFunction& function,
                      ErrorFile& error_file, const InventorySources& sources,
                      RunCatalogue& catalogue) {
  Adapter& adapter = ctx.adapters[index];
  const std::string& address = function.address;
  if (!is_intel_function(function)) {
    print_message(ctx, "Interface " + address + " is not Intel OPA one.\n");
    return true;
  }
  ++ctx.intel_ports;

  std::optional<std::string> version;
  int rc = query_firmware_version(ctx, address, version);
  if (rc != 0) {
    error_file.write(query_failure_line(rc, kPlaceVersionQuery));
  }
  std::optional<std::string> dev_type;
  rc = query_card_type(ctx, address, dev_type);
  if (rc != 0) {
    error_file.write(query_failure_line(rc, kPlaceCardTypeQuery));
  }
  if (dev_type) adapter.dev_type = dev_type;
  if (!version || !dev_type) {
    error_file.write("\n\nFWUPG_ERROR: Sub device ID or FW_Version is not found for " + address +
                     " interface\n");
    return false;
  }

  print_message(ctx, "\nIntel OPA Card info for " + address + " = FW_VERSION " + *version +
                         ", BUS_INFO " + address + ", Sub_Device_ID " + *dev_type + "\n\n");
  adapter.address = address;
  adapter.firmware_ver = version;
  complete_adapter(ctx, index, address, sources, catalogue);
  return true;
}

// The addresses of the Intel functions, the ones the inventory queries.
std::vector<std::string> intel_addresses(const std::vector<PciFunction>& functions) {
  std::vector<std::string> addresses;
  for (const PciFunction& function : functions) {
    if (is_intel_function(function)) addresses.push_back(function.address);
  }
  return addresses;
}

// A listing or a report only reads the adapters; every other mode built on the inventory may
// flash them.
LockKind lock_kind(const RunContext& ctx) {
  return ctx.options.reads_only() ? LockKind::kShared : LockKind::kExclusive;
}

}  // namespace

void remove_empty_error_file(RunContext& ctx) {
  if (ctx.error_file.empty()) return;
  struct stat st;
  // In a sticky /tmp only this user or root can have replaced the file made there.
  if (lstat(ctx.error_file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
      st.st_uid == geteuid() && unlink(ctx.error_file.c_str()) != 0) {
    std::fprintf(ctx.err, "zanrex: cannot remove %s: %s\n", ctx.error_file.c_str(),
                 std::strerror(errno));
  }
  ctx.error_file.clear();
}

int build_nic_list(RunContext& ctx) {
  return build_nic_list(ctx, scan_pci_class(kFabricClass), InventorySources{});
}

int build_nic_list(RunContext& ctx, const PciScanResult& scan, const InventorySources& sources) {
  int rc = enumeration_result(ctx, scan);
  if (rc != 0) {
    std::fprintf(ctx.err, "\n\nFWUPG_ERROR: get_interface_list filed RC = %d\n%s,%d\n\n", rc, kUnit,
                 kPlaceInterfaceList);
  }
  const std::vector<PciFunction>& functions = scan.functions;

  print_message(ctx, "List of OmniPath Adapters detected on the Server.................\n");
  for (size_t i = 0; i < functions.size(); ++i) {
    print_message(ctx, "[" + std::to_string(i) + "] " + functions[i].address + " " +
                           functions[i].vendor_name + "\n");
  }

  hold_adapter_locks(ctx, sources.sysfs_devices, intel_addresses(functions), lock_kind(ctx));

  ctx.adapters.assign(functions.size(), Adapter{});
  ErrorFile error_file = open_error_file(ctx, sources.error_file_template);

  RunCatalogue catalogue(ctx, sources.catalogue);
  int failures = 0;
  for (size_t i = 0; i < functions.size(); ++i) {
    if (!inspect_function(ctx, i, functions[i], error_file, sources, catalogue)) ++failures;
  }
  match_catalogue(ctx, catalogue, functions.size());

  if (ctx.intel_ports == 0) return 1;
  if (ctx.intel_ports == failures) return 2;
  return 0;
}

}  // namespace zanrex
