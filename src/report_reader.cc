#include "report_reader.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "adapter_lock.h"
#include "adapter_sysfs.h"
#include "catalogue.h"
#include "console.h"
#include "flashing.h"
#include "inventory.h"
#include "modes.h"
#include "paths.h"
#include "version.h"

namespace zanrex {

namespace {

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderFree>;

// Network off; no entity substitution, no external DTD, libxml2's size limits kept.
constexpr int kReportParseOptions = XML_PARSE_NONET;

// An open report: the descriptor and a streaming reader over it. The file is read as it
// stands (no decompression, no URI unescaping of its name).
class ReportStream {
 public:
  bool open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    reader_.reset(xmlReaderForFd(fd_, path.c_str(), nullptr, kReportParseOptions));
    return reader_ != nullptr;
  }
  ~ReportStream() {
    reader_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  xmlTextReader* get() const { return reader_.get(); }

 private:
  int fd_ = -1;
  ReaderPtr reader_;
};

std::string node_name(xmlTextReader* reader) {
  const xmlChar* name = xmlTextReaderConstName(reader);
  return name ? reinterpret_cast<const char*>(name) : "--";
}

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

// True when the attribute the reader stands on has an entity reference in its value. Its
// expansion is what an entity bomb multiplies, and a report never needs one.
bool value_uses_entity(xmlTextReader* reader) {
  const xmlNode* node = xmlTextReaderCurrentNode(reader);
  if (node == nullptr || node->type != XML_ATTRIBUTE_NODE) return false;
  const xmlAttr* attr = reinterpret_cast<const xmlAttr*>(node);
  for (const xmlNode* child = attr->children; child != nullptr; child = child->next) {
    if (child->type == XML_ENTITY_REF_NODE) return true;
  }
  return false;
}

// The image type in force before the report names one.
constexpr const char kImageTypeBeforeFirst[] = "ROM";

// What the filling pass carries from node to node.
struct FillState {
  std::vector<Adapter>& devices;
  size_t idx = 0;  // the record the data goes into; advances at the end of each device
  std::string image_type = kImageTypeBeforeFirst;
  size_t starts_seen = 0;         // device elements begun so far
  bool past_last_device = false;  // the last device element is over: data goes nowhere
};

void record_installed_version(RunContext& ctx, Adapter& device, const std::string& image_type,
                              const std::string& text) {
  if (contains(text, "n/a")) return;
  Version v = parse_version(text);
  if (contains(image_type, "ROM")) {
    device.installed = v;
    device.flags |= kNicValid;
  } else {
    ctx.log.error("read_FW_cur_version: Error Wrong image type\n");
  }
}

// Takes one attribute value of element `name` into the current record.
void take_value(RunContext& ctx, FillState& state, const std::string& name,
                const std::string& value) {
  if (name == "type") {
    state.image_type = value;
    return;
  }
  if (state.past_last_device || state.idx >= state.devices.size()) return;
  Adapter& d = state.devices[state.idx];
  if (name == "device_id")
    d.device_id = value;
  else if (name == "macaddress")
    d.current_mac = value;
  else if (name == "product_id")
    d.product_id = value;
  else if (name == "busnumber")
    d.busnumber = value;
  else if (name == "devicenumber")
    d.devicenumber = value;
  else if (name == "funcnumber")
    d.funcnumber = value;
  else if (name == "slotnumber")
    d.port = value;
  else if (name == "venid")
    d.ven_id = report_hex_value(value);
  else if (name == "devid")
    d.dev_id = report_hex_value(value);
  else if (name == "subvenid")
    d.sub_ven_id = report_hex_value(value);
  else if (name == "subdevid")
    d.sub_dev_id = report_hex_value(value);
  else if (name == "firmware_id")
    d.firmware_id = value;
  else if (name == "active_version")
    record_installed_version(ctx, d, state.image_type, value);
  else if (name == "action" && action_requests_install(value))
    d.flags |= kNicFlash;
}

// The end of a device: its address is rebuilt from its three parts, wherever they stood.
void close_device(FillState& state) {
  if (state.idx < state.devices.size()) {
    Adapter& d = state.devices[state.idx];
    d.address = d.busnumber.value_or("") + ":" + d.devicenumber.value_or("") + "." +
                d.funcnumber.value_or("");
  }
  ++state.idx;
}

// Takes the current node into the records. False when the report has to be refused.
bool fill_from_node(RunContext& ctx, xmlTextReader* reader, FillState& state) {
  int type = xmlTextReaderNodeType(reader);
  if (type == XML_READER_TYPE_END_ELEMENT) {
    if (node_name(reader) == "device") {
      close_device(state);
      if (state.starts_seen >= state.devices.size()) state.past_last_device = true;
    }
    return true;
  }
  if (type != XML_READER_TYPE_ELEMENT) return true;
  std::string name = node_name(reader);
  if (name == "device") {
    ++state.starts_seen;
    if (xmlTextReaderIsEmptyElement(reader) == 1 && state.starts_seen >= state.devices.size()) {
      state.past_last_device = true;
    }
  }
  while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
    if (value_uses_entity(reader)) return false;
    const xmlChar* v = xmlTextReaderConstValue(reader);
    take_value(ctx, state, name, v ? reinterpret_cast<const char*>(v) : "");
  }
  xmlTextReaderMoveToElement(reader);
  return true;
}

// Counts the device elements; false when the report cannot be opened, and `well_formed`
// false when it breaks off or is not XML.
bool count_devices(const std::string& path, size_t& count, bool& well_formed) {
  ReportStream stream;
  if (!stream.open(path)) return false;
  int ret;
  while ((ret = xmlTextReaderRead(stream.get())) == 1) {
    if (xmlTextReaderNodeType(stream.get()) == XML_READER_TYPE_ELEMENT &&
        node_name(stream.get()) == "device") {
      ++count;
    }
  }
  well_formed = ret == 0;
  return true;
}

}  // namespace

ReportRead read_report(RunContext& ctx, const std::string& path, std::vector<Adapter>& devices) {
  size_t count = 0;
  bool well_formed = false;
  if (!count_devices(path, count, well_formed)) return ReportRead::kOpenFailed;
  if (!well_formed) return ReportRead::kParseFailed;

  devices.assign(count, Adapter{});
  ReportStream stream;
  if (!stream.open(path)) return ReportRead::kOpenFailed;
  FillState state{devices};
  int ret;
  while ((ret = xmlTextReaderRead(stream.get())) == 1) {
    if (!fill_from_node(ctx, stream.get(), state)) return ReportRead::kParseFailed;
  }
  return ret == 0 ? ReportRead::kOk : ReportRead::kParseFailed;
}

int report_hex_value(const std::string& text) {
  int value = 0;
  for (size_t i = 0; i < text.size() && i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int digit;
    if (c >= 0x2A && c <= 0x3F) {
      digit = c & 0xF;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}

bool is_pci_address(const std::string& address) {
  // The domain has four or more hexadecimal digits; the rest is fixed: ":xx:xx.f".
  static const char kRest[] = ":xx:xx.f";
  const size_t rest_length = sizeof kRest - 1;
  if (address.size() < 4 + rest_length) return false;
  const size_t domain_length = address.size() - rest_length;
  auto is_hex = [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  for (size_t i = 0; i < address.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(address[i]);
    char shape = i < domain_length ? 'x' : kRest[i - domain_length];
    switch (shape) {
      case 'x':
        if (!is_hex(c)) return false;
        break;
      case 'f':
        if (c < '0' || c > '7') return false;
        break;
      default:
        if (c != static_cast<unsigned char>(shape)) return false;
    }
  }
  return true;
}

bool action_requests_install(const std::string& action) {
  return contains(action, "upgrade") || contains(action, "rewrite") ||
         contains(action, "downgrade");
}

namespace {

// How the install of one report device went.
struct DeviceOutcome {
  bool requested = false;  // its action asked for an install
  bool failed = false;     // counts against the run
};

CatalogueQuery query_of(const Adapter& device) {
  return query_for(device.ven_id, device.dev_id, device.sub_ven_id, device.sub_dev_id,
                   device.firmware_id);
}

// What the install carries from device to device.
struct InstallState {
  std::string sysfs_devices;
  std::set<std::string> requested;  // addresses already handed to flashing, lower case
};

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// True when sysfs shows at `address` the Intel fabric adapter the report describes, down to
// its device type: the report's firmware_id is the subsystem device ID in four hexadecimal
// digits, in either case.
bool is_described_adapter(const std::string& sysfs_devices, const std::string& address,
                          const Adapter& device) {
  return sysfs_shows_adapter(sysfs_devices, address, device) &&
         strcasecmp(device.firmware_id.c_str(), id_text(device.sub_dev_id).c_str()) == 0;
}

// Checks a requested device before anything else is done for it: an address of the right
// shape, named for the first time, where sysfs shows the adapter the report describes. False
// when it is not to be flashed; `outcome.failed` then says whether that counts against the run.
bool may_flash(RunContext& ctx, InstallState& state, const Adapter& device,
               DeviceOutcome& outcome) {
  const std::string address = device.address.value_or("");
  // The address becomes part of the sysfs path handed to the flashing tool.
  if (!is_pci_address(address)) {
    ctx.log.error("read_discovery_report: Invalid PCI address " + printable(address) + "\n");
    outcome.failed = true;
    return false;
  }
  if (!state.requested.insert(lower_case(address)).second) {
    ctx.log.error("read_discovery_report: " + printable(address) +
                  " is named more than once; flashed once\n");
    return false;
  }
  if (!is_described_adapter(state.sysfs_devices, address, device)) {
    ctx.log.error("read_discovery_report: " + printable(address) +
                  " is not the adapter the report describes\n");
    outcome.failed = true;
    return false;
  }
  return true;
}

// The catalogue's answers for the devices of the report, by adapter key. The catalogue is read
// once, where the first device is looked up (before anything is flashed), for every device of
// the report; a report may name the same kind of adapter many times, and what the log says
// about a key's match it says at the first device with that key.
class Lookups {
 public:
  explicit Lookups(RunContext& ctx) : ctx_(ctx), catalogue_(ctx, kCatalogueFile) {}

  const std::vector<Image>& images(size_t i, const std::string& address) {
    if (!read_) read_all();
    Answer& answer = answers_.at(query_of(ctx_.adapters[i]).key);
    if (!answer.told) {
      log_overflow(ctx_, answer.match, address);
      answer.told = true;
    }
    return answer.images;
  }

 private:
  struct Answer {
    CatalogueMatch match;
    std::vector<Image> images;
    bool told = false;
  };

  void read_all() {
    read_ = true;
    std::vector<CatalogueQuery> queries;
    std::transform(ctx_.adapters.begin(), ctx_.adapters.end(), std::back_inserter(queries),
                   query_of);
    std::vector<CatalogueMatch> matches = catalogue_.read(queries);
    for (size_t q = 0; q < queries.size(); ++q) {
      if (answers_.count(queries[q].key) != 0) continue;
      Answer& answer = answers_[queries[q].key];
      answer.images = images_from_entries(matches[q].entries);
      answer.match = std::move(matches[q]);
    }
  }

  RunContext& ctx_;
  RunCatalogue catalogue_;
  bool read_ = false;
  std::map<std::string, Answer> answers_;
};

// Looks device `i` up in the catalogue and flashes it when its action asks for that.
DeviceOutcome install_device(RunContext& ctx, Lookups& lookups, InstallState& state, size_t i) {
  Adapter& device = ctx.adapters[i];
  DeviceOutcome outcome;
  outcome.requested = (device.flags & kNicFlash) != 0;
  if (outcome.requested && !may_flash(ctx, state, device, outcome)) return outcome;
  const std::string address = device.address.value_or("");

  device.images = lookups.images(i, address);
  if (device.images.empty()) {
    if (outcome.requested) {
      ctx.log.error("read_discovery_report: For " + address +
                    " no matching firmware file in XML\n");
    }
    outcome.failed = true;
    return outcome;
  }
  if (std::optional<size_t> chosen = chosen_image(device)) {
    device.fw_path = device.images[*chosen].fw_file1;
  }
  if (!outcome.requested) return outcome;

  const bool failed_before = ctx.status.has(kFlashFailed);
  int code = flash_adapter(ctx, device);
  if (code != 0 || (!failed_before && ctx.status.has(kFlashFailed))) {
    ctx.log.error("read_discovery_report: Firmware flash failed for " + address + "\n");
    outcome.failed = true;
  }
  return outcome;
}

// The addresses the install may flash, each once, in address order: those of the requested
// devices whose address has the right shape.
std::vector<std::string> addresses_to_lock(const std::vector<Adapter>& devices) {
  std::map<std::string, std::string> by_lower_case;
  for (const Adapter& device : devices) {
    const std::string address = device.address.value_or("");
    if ((device.flags & kNicFlash) && is_pci_address(address)) {
      by_lower_case.emplace(lower_case(address), address);
    }
  }
  std::vector<std::string> addresses;
  addresses.reserve(by_lower_case.size());
  for (const auto& entry : by_lower_case) addresses.push_back(entry.second);
  return addresses;
}

}  // namespace

int install_from_report(RunContext& ctx) {
  return install_from_report(ctx, kSysfsPciDevices);
}

int install_from_report(RunContext& ctx, const std::string& sysfs_devices) {
  open_event_log(ctx);
  const std::string& path = ctx.options.report_path;
  std::vector<Adapter> devices;
  switch (read_report(ctx, path, devices)) {
    case ReportRead::kOpenFailed:
      ctx.log.error("read_discovery_report: Failed to open " + path + "\n");
      return 2;
    case ReportRead::kParseFailed:
      ctx.log.error("read_discovery_report: Failed to parse " + path + "\n");
      return 2;
    case ReportRead::kOk:
      break;
  }
  ctx.adapters = std::move(devices);
  ctx.sysfs_devices = sysfs_devices;
  hold_adapter_locks(ctx, sysfs_devices, addresses_to_lock(ctx.adapters), LockKind::kExclusive);

  size_t failed = 0;
  bool requested_failed = false;
  InstallState state{sysfs_devices, {}};
  Lookups lookups(ctx);
  for (size_t i = 0; i < ctx.adapters.size(); ++i) {
    DeviceOutcome outcome = install_device(ctx, lookups, state, i);
    if (outcome.failed) ++failed;
    if (outcome.failed && outcome.requested) requested_failed = true;
    if (ctx.interrupted_by != 0) return end_interrupted_run(ctx);
  }
  if (failed >= ctx.adapters.size()) {
    ctx.log.error("read_discovery_report: Error at read_NIC_FW_xml_file\n");
    return 2;
  }
  return requested_failed ? 2 : 0;
}

}  // namespace zanrex
