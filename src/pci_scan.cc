#include "pci_scan.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <tuple>

#include "fd.h"

extern "C" {
#include <pci/pci.h>
}

namespace zanrex {

namespace {

// Identity and class are all the scan looks at. Base addresses are not asked for: nothing
// uses them, and reading them makes libpci give up on a function without a resource file.
constexpr int kFillFlags = PCI_FILL_IDENT | PCI_FILL_CLASS;

struct PciAccessCleanup {
  void operator()(pci_access* a) const { pci_cleanup(a); }
};
using PciAccessPtr = std::unique_ptr<pci_access, PciAccessCleanup>;

// libpci declares its error callback as never returning, and is compiled that way: no code
// follows the call, so a handler that returned would run into whatever comes next. Our handler
// records the text and jumps back to the guard that started the library call. Between the two
// lie only libpci's C frames and step functions holding no object with a destructor.
struct ErrorGuard {
  std::jmp_buf jump;
  std::string message;
};

// The callback has no user argument, so the guard in force is found through this pointer.
thread_local ErrorGuard* active_guard = nullptr;

void record_message(std::string& out, const char* format, va_list args) {
  char* text = nullptr;
  if (vasprintf(&text, format, args) < 0) {
    out = format;  // no memory for the message: its format says what went wrong
    return;
  }
  out = text;
  std::free(text);
}

// The GNU spelling makes noreturn part of the function type, as the library's pointer wants.
__attribute__((noreturn)) void on_pci_error(char* format, ...) {
  ErrorGuard* guard = active_guard;
  if (guard == nullptr) std::abort();  // every library call runs under a guard
  va_list args;
  va_start(args, format);
  record_message(guard->message, format, args);
  va_end(args);
  std::longjmp(guard->jump, 1);
}

// Runs `step(arg)`; false when libpci reported an error during it. Kept out of line so that
// none of the caller's objects is a local of the function that calls setjmp.
[[gnu::noinline]] bool run_guarded(ErrorGuard& guard, void (*step)(void*), void* arg) {
  ErrorGuard* outer = active_guard;
  active_guard = &guard;
  if (setjmp(guard.jump) != 0) {
    active_guard = outer;
    return false;
  }
  step(arg);
  active_guard = outer;
  return true;
}

// Work shared between the scan and its guarded steps.
struct ScanWork {
  pci_access* access = nullptr;
  pci_dev* dev = nullptr;  // the function being filled in or named
  char buffer[1024] = {};
  const char* vendor_name = nullptr;  // in `buffer`, or a text of libpci's
};

void step_scan(void* arg) {
  auto* work = static_cast<ScanWork*>(arg);
  pci_init(work->access);
  pci_scan_bus(work->access);
}

void step_fill(void* arg) {
  auto* work = static_cast<ScanWork*>(arg);
  pci_fill_info(work->dev, kFillFlags);
}

// Names come from the PCI ID file alone, as in the packaged program, whose libpci has no
// other source: never udev's hardware database or a cache of network lookups.
void step_vendor_name(void* arg) {
  auto* work = static_cast<ScanWork*>(arg);
  work->vendor_name = pci_lookup_name(work->access, work->buffer, sizeof work->buffer,
                                      PCI_LOOKUP_VENDOR | PCI_LOOKUP_NO_HWDB, work->dev->vendor_id);
}

std::string address_of(const pci_dev* d) {
  return format_pci_address(d->domain, d->bus, d->dev, d->func);
}

// Address order (domain, bus, slot, function), keeping the first function of each device.
std::vector<pci_dev*> lowest_function_per_device(std::vector<pci_dev*> devs) {
  std::sort(devs.begin(), devs.end(), [](const pci_dev* a, const pci_dev* b) {
    return std::tie(a->domain, a->bus, a->dev, a->func) <
           std::tie(b->domain, b->bus, b->dev, b->func);
  });
  auto same_device = [](const pci_dev* a, const pci_dev* b) {
    return std::tie(a->domain, a->bus, a->dev) == std::tie(b->domain, b->bus, b->dev);
  };
  devs.erase(std::unique(devs.begin(), devs.end(), same_device), devs.end());
  return devs;
}

// The hexadecimal number in the sysfs attribute file `path`; `opened` tells whether the file
// could be opened at all.
std::optional<unsigned> read_sysfs_hex(const std::string& path, bool& opened) {
  FilePtr file(std::fopen(path.c_str(), "re"));
  opened = file != nullptr;
  unsigned value = 0;
  if (!file || std::fscanf(file.get(), "%x", &value) != 1) return std::nullopt;
  return value;
}

}  // namespace

std::string format_pci_address(int domain, int bus, int slot, int func) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04x:%02x:%02x.%d", static_cast<unsigned>(domain),
                static_cast<unsigned>(bus), static_cast<unsigned>(slot), func);
  return buf;
}

PciScanResult scan_pci_class(int class_code, const PciScanOptions& options) {
  PciScanResult result;
  ErrorGuard guard;
  PciAccessPtr access(pci_alloc());
  access->error = on_pci_error;
  access->id_lookup_mode = 0;  // no cache of network lookups
  std::string sysfs_root = options.sysfs_root;
  if (!sysfs_root.empty()) {
    char param[] = "sysfs.path";
    pci_set_param(access.get(), param, &sysfs_root[0]);
  }

  // An error but in one function's attributes ends the scan with no function at all.
  auto failed = [&result](const std::string& message) {
    result.functions.clear();
    result.error = message;
    return result;
  };

  ScanWork work;
  work.access = access.get();
  if (!run_guarded(guard, step_scan, &work)) return failed(guard.message);

  std::vector<pci_dev*> matches;
  for (pci_dev* d = access->devices; d != nullptr; d = d->next) {
    work.dev = d;
    if (!run_guarded(guard, step_fill, &work)) {
      result.passed_over.push_back({address_of(d), guard.message});
    } else if (d->device_class == class_code) {
      matches.push_back(d);
    }
  }

  for (pci_dev* d : lowest_function_per_device(std::move(matches))) {
    work.dev = d;
    if (!run_guarded(guard, step_vendor_name, &work)) return failed(guard.message);
    const char* name = work.vendor_name != nullptr ? work.vendor_name : "";
    result.functions.push_back({address_of(d), name, d->vendor_id});
  }
  return result;
}

std::optional<PciIdentity> read_pci_identity(const std::string& sysfs_devices,
                                             const std::string& address, FILE* err) {
  if (address.empty()) return std::nullopt;
  int values[4] = {0, 0, 0, 0};
  const char* const files[4] = {"vendor", "device", "subsystem_vendor", "subsystem_device"};
  for (int i = 0; i < 4; ++i) {
    std::string path = sysfs_devices + "/" + address + "/" + files[i];
    bool opened = false;
    std::optional<unsigned> value = read_sysfs_hex(path, opened);
    if (!opened) {
      std::fprintf(err, "ERROR: could not open %s (errno=%d), %s,%d\n", path.c_str(), errno,
                   "common_utilities", 412);
      return std::nullopt;
    }
    values[i] = static_cast<int>(value.value_or(0));
  }
  return PciIdentity{values[0], values[1], values[2], values[3]};
}

std::optional<FunctionIdentity> read_function_identity(const std::string& sysfs_devices,
                                                       const std::string& address) {
  const char* const files[5] = {"class", "vendor", "device", "subsystem_vendor",
                                "subsystem_device"};
  const std::string directory = sysfs_devices + "/" + address + "/";
  int values[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    bool opened = false;
    std::optional<unsigned> value = read_sysfs_hex(directory + files[i], opened);
    if (!value) return std::nullopt;
    values[i] = static_cast<int>(*value);
  }
  return FunctionIdentity{values[0], {values[1], values[2], values[3], values[4]}};
}

}  // namespace zanrex
