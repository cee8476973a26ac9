#include "pci_scan.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <memory>

#include "event_log.h"
#include "pci_ids.h"

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

struct PciDevFree {
  void operator()(pci_dev* d) const { pci_free_dev(d); }
};
using PciDevPtr = std::unique_ptr<pci_dev, PciDevFree>;

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
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    out = format;
    return;
  }
  out.assign(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), format, args);
  out.resize(static_cast<size_t>(n));
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
  int class_code = 0;
  std::vector<std::string> matches;  // addresses of the class, in libpci's order
  pci_dev* dev = nullptr;            // the function being filled in
};

void step_scan(void* arg) {
  auto* work = static_cast<ScanWork*>(arg);
  pci_init(work->access);
  pci_scan_bus(work->access);
  for (pci_dev* d = work->access->devices; d != nullptr; d = d->next) {
    pci_fill_info(d, kFillFlags);
    if (d->device_class == work->class_code) {
      work->matches.push_back(format_pci_address(d->domain, d->bus, d->dev, d->func));
    }
  }
}

void step_fill(void* arg) {
  auto* work = static_cast<ScanWork*>(arg);
  pci_fill_info(work->dev, kFillFlags);
}

// The number the hexadecimal digits at the start of `text` spell; 0 when there are none. A
// value beyond every range gives kHexTooLarge.
constexpr long long kHexTooLarge = 0x100000000LL;
long long leading_hex(const std::string& text) {
  long long value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + digit;
    if (value >= kHexTooLarge) return kHexTooLarge;
  }
  return value;
}

// The domain:bus:slot part of an address, which names the device.
std::string device_part(const std::string& address) {
  return address.substr(0, address.rfind('.'));
}

// Address order: domain, bus, slot, function. Domains of more than four digits come after the
// four-digit ones; within one width the texts compare as written (ignoring case).
bool address_before(const std::string& a, const std::string& b) {
  size_t domain_a = a.find(':');
  size_t domain_b = b.find(':');
  if (domain_a != domain_b) return domain_a < domain_b;
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool is_any(const std::string& part) {
  return part.empty() || part == "*";
}

// Reads `part` into `field` unless it is empty or "*"; false when the value exceeds `max`.
bool read_part(const std::string& part, long long max, int& field) {
  if (is_any(part)) return true;
  long long value = leading_hex(part);
  if (value > max) return false;
  field = static_cast<int>(value);
  return true;
}

// The first of `places` that can be read, else the first of them: never the place libpci was
// built with, which differs between distributions' builds of the library.
std::string pci_ids_file(const std::vector<std::string>& places) {
  for (const std::string& place : places) {
    if (::access(place.c_str(), R_OK) == 0) return place;
  }
  return places.empty() ? "" : places.front();
}

}  // namespace

std::string format_pci_address(int domain, int bus, int slot, int func) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04x:%02x:%02x.%d", static_cast<unsigned>(domain),
                static_cast<unsigned>(bus), static_cast<unsigned>(slot), func);
  return buf;
}

std::optional<std::string> parse_pci_address(const std::string& text, PciAddressFilter& filter) {
  size_t first_colon = text.find(':');
  if (!read_part(text.substr(0, first_colon), kMaxPciDomain, filter.domain)) {
    return "Invalid domain number";
  }

  if (first_colon != std::string::npos) {
    size_t next = text.find(':', first_colon + 1);
    size_t length = next == std::string::npos ? std::string::npos : next - first_colon - 1;
    std::string bus = text.substr(first_colon + 1, length).substr(0, 2);
    if (!read_part(bus, 0xff, filter.bus)) return "Invalid bus number";
  }

  size_t last_colon = text.rfind(':');
  size_t first_dot = text.find('.');
  if (last_colon == std::string::npos || first_dot == std::string::npos) {
    return "Invalid input. Either colon or dot missing!";
  }

  std::string slot;
  if (first_dot > last_colon) slot = text.substr(last_colon + 1, first_dot - last_colon - 1);
  if (!read_part(slot.substr(0, 2), 0x1f, filter.slot)) return "Invalid slot number";

  if (!read_part(text.substr(first_dot + 1), 7, filter.func)) return "Invalid function number";
  return std::nullopt;
}

std::vector<std::string> one_address_per_device(std::vector<std::string> addresses) {
  std::sort(addresses.begin(), addresses.end(), address_before);
  std::vector<std::string> kept;
  const std::string* last = nullptr;
  for (const std::string& address : addresses) {
    if (last != nullptr &&
        strcasecmp(device_part(*last).c_str(), device_part(address).c_str()) == 0) {
      continue;
    }
    last = &address;
    kept.push_back(address);
  }
  return kept;
}

PciScanResult scan_pci_class(int class_code, const PciScanOptions& options) {
  PciScanResult result;
  ErrorGuard guard;
  // Vendor names come from the PCI ID file alone, as in the packaged program, whose libpci has
  // no other source (a system library built with udev's hardware database would consult it).
  PciIdNames names(pci_ids_file(options.pci_ids_places));
  PciAccessPtr access(pci_alloc());
  access->error = on_pci_error;
  std::string sysfs_root = options.sysfs_root;
  if (!sysfs_root.empty()) {
    char param[] = "sysfs.path";
    pci_set_param(access.get(), param, &sysfs_root[0]);
  }

  // An error ends the scan with no function at all.
  auto failed = [&result](const std::string& message) {
    result.functions.clear();
    result.error = message;
    return result;
  };

  ScanWork work;
  work.access = access.get();
  work.class_code = class_code;
  if (!run_guarded(guard, step_scan, &work)) return failed(guard.message);

  for (const std::string& address : one_address_per_device(work.matches)) {
    PciAddressFilter filter;
    if (parse_pci_address(address, filter)) continue;  // not an address libpci can look up
    PciDevPtr dev(pci_get_dev(access.get(), filter.domain, filter.bus, filter.slot, filter.func));
    if (!dev) continue;
    if (dev->domain != filter.domain) dev->domain = filter.domain;
    work.dev = dev.get();
    if (!run_guarded(guard, step_fill, &work)) return failed(guard.message);
    std::optional<std::string> name = names.vendor_name(dev->vendor_id);
    if (!name) return failed(names.error());
    result.functions.push_back(
        {format_pci_address(dev->domain, dev->bus, dev->dev, dev->func), *name, dev->vendor_id});
  }
  return result;
}

namespace {

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
