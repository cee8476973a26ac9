#include "report_writer.h"

#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cstdio>
#include <memory>

#include "console.h"
#include "document_save.h"
#include "inventory.h"
#include "modes.h"
#include "version.h"

namespace zanrex {

namespace {

struct WriterFree {
  void operator()(xmlTextWriter* w) const { xmlFreeTextWriter(w); }
};
using WriterPtr = std::unique_ptr<xmlTextWriter, WriterFree>;

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

const xmlChar* xml(const char* s) {
  return reinterpret_cast<const xmlChar*>(s);
}

// Writes the empty element `name` with its single attribute `value`. The first failing call
// is remembered in `failed_at`, and later calls do nothing.
class ElementWriter {
 public:
  explicit ElementWriter(xmlTextWriter* w) : w_(w) {}

  void start(const char* name) {
    if (ok() && xmlTextWriterStartElement(w_, xml(name)) < 0) failed_at_ = name;
    ++elements_;
  }
  void end(const char* name) {
    if (ok() && xmlTextWriterEndElement(w_) < 0) failed_at_ = name;
  }
  void attribute(const char* element, const char* attr, const std::string& value) {
    if (ok() && xmlTextWriterWriteAttribute(w_, xml(attr), xml(value.c_str())) < 0) {
      failed_at_ = element;
    }
    ++attributes_;
  }
  void value_element(const char* name, const std::string& value) {
    start(name);
    attribute(name, "value", value);
    end(name);
  }

  bool ok() const { return failed_at_ == nullptr; }
  const char* failed_at() const { return failed_at_; }
  size_t elements() const { return elements_; }
  size_t attributes() const { return attributes_; }

 private:
  xmlTextWriter* w_;
  const char* failed_at_ = nullptr;
  size_t elements_ = 0;
  size_t attributes_ = 0;
};

// Adds up the elements and attributes below and including `node`.
void count_nodes(const xmlNode* node, size_t& elements, size_t& attributes) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    ++elements;
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) ++attributes;
    count_nodes(node->children, elements, attributes);
  }
}

// The writer feeds its output through a parser into the document; a value that is not
// proper XML text (a control character, bytes that are not UTF-8) stops that parser without
// every writer call saying so, and leaves the document cut short.
bool document_is_complete(const xmlDoc* doc, const ElementWriter& out) {
  size_t elements = 0;
  size_t attributes = 0;
  count_nodes(xmlDocGetRootElement(doc), elements, attributes);
  return elements == out.elements() && attributes == out.attributes();
}

void write_header(ElementWriter& out) {
  out.start(kReportRoot);
  out.attribute(kReportRoot, "version", kReportDocVersion);
  out.value_element("type", kReportComponentType);
  out.value_element("alt_name", kReportTitle);
  out.value_element("version", kReportComponentVersion);
  out.value_element("takes_effect", kReportTakesEffect);
  out.start("devices");
}

void write_fw_item(ElementWriter& out, const Adapter& adapter) {
  if (!(adapter.flags & kNicValid)) return;
  out.start("fw_item");
  out.value_element("type", kReportImageType);
  out.value_element("firmware_id", adapter.dev_type.value_or(""));
  out.value_element("version", newest_version_text(adapter));
  out.value_element("active_version", display_version(adapter.installed));
  out.value_element("action", recommended_action(adapter));
  out.value_element("duration", kReportDuration);
  out.value_element("message", "");
  out.value_element("shared", "no");
  out.end("fw_item");
}

void write_device(ElementWriter& out, const Adapter& adapter) {
  PciAddressParts address = split_pci_address(adapter.address.value_or(""));
  std::string product;
  if (!adapter.images.empty()) product = adapter.images[0].name.value_or("");

  out.start("device");
  out.value_element("device_id", adapter.address.value_or(""));
  out.value_element("venid", id_text(adapter.ven_id));
  out.value_element("devid", id_text(adapter.dev_id));
  out.value_element("subvenid", id_text(adapter.sub_ven_id));
  out.value_element("subdevid", id_text(adapter.sub_dev_id));
  out.value_element("macaddress", adapter.current_mac.value_or(""));
  out.value_element("product_id", product);
  out.value_element("busnumber", address.bus);
  out.value_element("devicenumber", address.device);
  out.value_element("funcnumber", address.function);
  out.value_element("slotnumber", "");  // a scanned adapter's slot is not known
  out.value_element("nictype", kReportNicType);
  write_fw_item(out, adapter);
  out.end("device");
}

// The finished document for the usable adapters, or nothing (with the reason logged).
DocPtr build_report(RunContext& ctx) {
  xmlDoc* raw_doc = nullptr;
  WriterPtr writer(xmlNewTextWriterDoc(&raw_doc, 0));
  DocPtr doc(raw_doc);
  if (!writer) {
    ctx.log.error("write_XML_start_elements: Error creating teh xml writer\n");
    return nullptr;
  }
  ElementWriter out(writer.get());
  if (xmlTextWriterSetIndent(writer.get(), 1) < 0 ||
      xmlTextWriterSetIndentString(writer.get(), xml("    ")) < 0 ||
      xmlTextWriterStartDocument(writer.get(), nullptr, "UTF-8", nullptr) < 0) {
    ctx.log.error("write_XML_start_elements: Error creating teh xml writer\n");
    return nullptr;
  }
  write_header(out);
  for (const Adapter& adapter : ctx.adapters) {
    if (adapter.flags & kNicValid) write_device(out, adapter);
  }
  if (!out.ok()) {
    ctx.log.error(std::string("xml_discovery_report: Error writing the ") + out.failed_at() +
                  " element\n");
    return nullptr;
  }
  bool ended = xmlTextWriterEndDocument(writer.get()) >= 0;
  writer.reset();  // the document is complete only once its writer is gone
  if (!ended || !doc || !document_is_complete(doc.get(), out)) {
    ctx.log.error("Error at XmlTextWriterEndDocument\n");
    return nullptr;
  }
  return doc;
}

}  // namespace

PciAddressParts split_pci_address(const std::string& address) {
  PciAddressParts parts;
  size_t last_colon = address.rfind(':');
  if (last_colon != std::string::npos) parts.bus = address.substr(0, last_colon);
  size_t first_colon = address.find(':');
  size_t second_colon =
      first_colon == std::string::npos ? std::string::npos : address.find(':', first_colon + 1);
  if (second_colon != std::string::npos) {
    size_t dot = address.find('.', second_colon + 1);
    if (dot != std::string::npos) {
      parts.device = address.substr(second_colon + 1, dot - second_colon - 1);
    }
  }
  size_t last_dot = address.rfind('.');
  if (last_dot != std::string::npos) parts.function = address.substr(last_dot + 1);
  return parts;
}

std::string newest_version_text(const Adapter& adapter) {
  return adapter.images.empty() ? "" : sorted_image_rows(adapter.images).back().text;
}

std::string recommended_action(const Adapter& adapter) {
  for (const Image& image : adapter.images) {
    if (is_newer(image.version, adapter.installed)) return "upgrade";
  }
  for (const Image& image : adapter.images) {
    if (same_version(image.version, adapter.installed)) return "rewrite";
  }
  return adapter.images.empty() ? "Nothing" : "downgrade";
}

int save_discovery_report(RunContext& ctx, const std::string& path) {
  DocPtr doc = build_report(ctx);
  if (!doc) return 2;
  std::string error;
  switch (save_document(doc.get(), path, error)) {
    case SaveResult::kSaved:
      return 0;
    case SaveResult::kForeignLink: {
      const std::string refusal = "xml_discovery_report: Refusing to write " + path +
                                  " through a link owned by another user\n";
      ctx.log.error(refusal);
      std::fputs(refusal.c_str(), ctx.err);
      return 2;
    }
    case SaveResult::kFailed:
      break;
  }
  ctx.log.error("xml_discovery_report: Failed to save " + path + "\n");
  std::fprintf(ctx.err, "xml_discovery_report: %s\n", error.c_str());
  return 2;
}

int write_discovery_report(RunContext& ctx) {
  open_event_log(ctx);
  if (build_nic_list(ctx) != 0) return 2;  // so at least one Intel adapter was found
  return save_discovery_report(ctx, ctx.options.report_path);
}

}  // namespace zanrex
