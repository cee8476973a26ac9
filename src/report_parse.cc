#include "report_parse.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>

#include <memory>
#include <utility>

#include "fd.h"
#include "version.h"

namespace zanrex {

namespace {

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderFree>;

// Network off; no entity substitution, no external DTD, libxml2's size limits kept.
constexpr int kReportParseOptions = XML_PARSE_NONET;

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
  std::vector<ReportDevice>& devices;
  size_t idx = 0;  // the record the data goes into; advances at the end of each device
  std::string image_type = kImageTypeBeforeFirst;
  size_t starts_seen = 0;         // device elements begun so far
  bool past_last_device = false;  // the last device element is over: data goes nowhere
};

void record_installed_version(EventLog& log, Adapter& device, const std::string& image_type,
                              const std::string& text) {
  if (contains(text, "n/a")) return;
  Version v = parse_version(text);
  if (contains(image_type, "ROM")) {
    device.installed = v;
    device.flags |= kNicValid;
  } else {
    log.error("read_FW_cur_version: Error Wrong image type\n");
  }
}

// The elements whose value a device keeps as text, and those that give one of its PCI IDs.
constexpr std::pair<const char*, std::optional<std::string> ReportDevice::*> kTextValues[] = {
    {"device_id", &ReportDevice::device_id},   {"product_id", &ReportDevice::product_id},
    {"busnumber", &ReportDevice::busnumber},   {"devicenumber", &ReportDevice::devicenumber},
    {"funcnumber", &ReportDevice::funcnumber}, {"slotnumber", &ReportDevice::slot}};
constexpr std::pair<const char*, int Adapter::*> kIdValues[] = {{"venid", &Adapter::ven_id},
                                                                {"devid", &Adapter::dev_id},
                                                                {"subvenid", &Adapter::sub_ven_id},
                                                                {"subdevid", &Adapter::sub_dev_id}};

// Takes one attribute value of element `name` into the current record.
void take_value(EventLog& log, FillState& state, const std::string& name,
                const std::string& value) {
  if (name == "type") {
    state.image_type = value;
    return;
  }
  if (state.past_last_device || state.idx >= state.devices.size()) return;
  ReportDevice& d = state.devices[state.idx];
  Adapter& a = d.adapter;
  for (const auto& [element, field] : kTextValues) {
    if (name == element) d.*field = value;
  }
  for (const auto& [element, field] : kIdValues) {
    if (name == element) a.*field = report_hex_value(value);
  }
  if (name == "macaddress") {
    a.current_mac = value;
  } else if (name == "firmware_id") {
    d.firmware_id = value;
  } else if (name == "active_version") {
    record_installed_version(log, a, state.image_type, value);
  } else if (name == "action" && action_requests_install(value)) {
    a.flags |= kNicFlash;
  }
}

// The end of a device: its address is rebuilt from its three parts, wherever they stood.
void close_device(FillState& state) {
  if (state.idx < state.devices.size()) {
    ReportDevice& d = state.devices[state.idx];
    d.adapter.address = d.busnumber.value_or("") + ":" + d.devicenumber.value_or("") + "." +
                        d.funcnumber.value_or("");
  }
  ++state.idx;
}

// Takes the current node into the records. False when the report has to be refused.
bool fill_from_node(EventLog& log, xmlTextReader* reader, FillState& state) {
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
    take_value(log, state, name, v ? reinterpret_cast<const char*>(v) : "");
  }
  xmlTextReaderMoveToElement(reader);
  return true;
}

// Hands every node of the report at `path` to `visit` (false: refuse the report). The file is
// read as it stands (no decompression, no URI unescaping of its name). kParseFailed when it
// breaks off or is not XML.
template <typename Visit>
ReportRead walk_report(const std::string& path, Visit visit) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return ReportRead::kOpenFailed;
  ReaderPtr reader(xmlReaderForFd(fd.get(), path.c_str(), nullptr, kReportParseOptions));
  if (!reader) return ReportRead::kOpenFailed;
  int ret;
  while ((ret = xmlTextReaderRead(reader.get())) == 1) {
    if (!visit(reader.get())) return ReportRead::kParseFailed;
  }
  return ret == 0 ? ReportRead::kOk : ReportRead::kParseFailed;
}

}  // namespace

ReportRead read_report(EventLog& log, const std::string& path, std::vector<ReportDevice>& devices) {
  size_t count = 0;
  const ReportRead counted = walk_report(path, [&count](xmlTextReader* reader) {
    if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT && node_name(reader) == "device") {
      ++count;
    }
    return true;
  });
  if (counted != ReportRead::kOk) return counted;
  devices.assign(count, ReportDevice{});
  FillState state{devices};
  return walk_report(path,
                     [&](xmlTextReader* reader) { return fill_from_node(log, reader, state); });
}

int report_hex_value(const std::string& text) {
  int value = 0;
  for (size_t i = 0; i < text.size() && i < 4; ++i) {
    const char c = text[i];
    // A character from 0x2A to 0x3F counts by its low four bits, so 0 to 9 by their values.
    const int digit = c >= 0x2A && c <= 0x3F ? c & 0xF : hex_digit(c);
    if (digit < 0) break;
    value = value * 16 + digit;
  }
  return value;
}

bool action_requests_install(const std::string& action) {
  return contains(action, "upgrade") || contains(action, "rewrite") ||
         contains(action, "downgrade");
}

}  // namespace zanrex
