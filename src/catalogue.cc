#include "catalogue.h"

#include <libxml/xmlreader.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace zanrex {

namespace {

// Reading the catalogue never touches the network, loads no DTD and expands no entity into
// the document; libxml2's own error output is silenced (a faulty catalogue ends the pass).
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderFree>;

// Values carried from one element to the next for the whole pass.
struct Remembered {
  std::optional<std::string> name;
  std::optional<std::string> ven_id;
  std::optional<std::string> dev_id;
  std::optional<std::string> sub_ven_id;
  std::optional<std::string> device_type;
};

enum class Step { kNextAttribute, kNextNode, kStop };

class Matcher {
 public:
  Matcher(const CatalogueQuery& query, CatalogueMatch& match) : query_(query), match_(match) {}

  // Walks every node; stops early once the capacity is exceeded.
  void run(xmlTextReader* reader) {
    while (xmlTextReaderRead(reader) == 1) {
      if (walk_attributes(reader) == Step::kStop) return;
    }
  }

 private:
  Step walk_attributes(xmlTextReader* reader) {
    const int count = xmlTextReaderAttributeCount(reader);
    if (count <= 0) return Step::kNextNode;
    element_entry_ = kNone;
    for (int i = 0; i < count; ++i) {
      if (xmlTextReaderMoveToNextAttribute(reader) != 1) continue;
      const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader));
      if (name == nullptr) continue;
      Step step = on_attribute(reader, name);
      if (step != Step::kNextAttribute) return step;
    }
    return Step::kNextNode;
  }

  static const char* value_of(xmlTextReader* reader) {
    const xmlChar* v = xmlTextReaderConstValue(reader);
    return v != nullptr ? reinterpret_cast<const char*>(v) : "";
  }

  Step on_attribute(xmlTextReader* reader, const char* name) {
    if (std::strcmp(name, "name") == 0) {
      remembered_.name = value_of(reader);
    } else if (std::strcmp(name, "venid") == 0) {
      remembered_.ven_id = value_of(reader);
    } else if (std::strcmp(name, "devid") == 0) {
      remembered_.dev_id = value_of(reader);
    } else if (std::strcmp(name, "subvenid") == 0) {
      remembered_.sub_ven_id = query_.sub_ven;
    } else if (std::strcmp(name, "DEVICE_TYPE") == 0) {
      remembered_.device_type = value_of(reader);
    } else if (std::strcmp(name, "subdevid") == 0) {
      return on_sub_dev_id();
    } else if (element_entry_ != kNone) {
      // Image attributes belong to the entry this element collected, and to no other.
      CatalogueEntry& entry = match_.entries[element_entry_];
      if (std::strcmp(name, "rom") == 0) {
        entry.rom = value_of(reader);
      } else if (std::strcmp(name, "fwFile1") == 0) {
        entry.fw_file1 = value_of(reader);
      } else if (std::strcmp(name, "fwFile2") == 0) {
        entry.fw_file2 = value_of(reader);
      } else if (std::strcmp(name, "fwFile3") == 0) {
        entry.fw_file3 = value_of(reader);
      }
    }
    return Step::kNextAttribute;
  }

  Step on_sub_dev_id() {
    const Remembered& r = remembered_;
    if (!r.ven_id || !r.dev_id || !r.sub_ven_id || !r.device_type) return Step::kNextNode;
    entry_key_ = entry_key(*r.ven_id, *r.dev_id, *r.sub_ven_id, query_.sub_dev, *r.device_type);
    if (strcasecmp(entry_key_.c_str(), query_.key.c_str()) != 0) return Step::kNextNode;
    if (match_.entries.size() >= query_.capacity) {
      match_.more_than_capacity = true;
      return Step::kStop;
    }
    CatalogueEntry entry;
    entry.name = r.name;
    entry.ven_id = r.ven_id;
    entry.dev_id = r.dev_id;
    entry.sub_ven_id = r.sub_ven_id;
    entry.sub_dev_id = query_.sub_dev;
    entry.device_type = r.device_type;
    match_.entries.push_back(std::move(entry));
    element_entry_ = match_.entries.size() - 1;
    return Step::kNextAttribute;
  }

  const CatalogueQuery& query_;
  CatalogueMatch& match_;
  Remembered remembered_;
  static constexpr size_t kNone = static_cast<size_t>(-1);
  size_t element_entry_ = kNone;  // index of the entry collected from the current element
  std::string entry_key_;         // reused between elements
};

CatalogueMatch match_with(ReaderPtr reader, const CatalogueQuery& query) {
  CatalogueMatch match;
  if (!reader) return match;
  match.opened = true;
  Matcher(query, match).run(reader.get());
  return match;
}

void right_align4(std::string& out, const std::string& field) {
  if (field.size() < 4) out.append(4 - field.size(), ' ');
  out += field;
}

}  // namespace

std::string adapter_key(int ven_id, int dev_id, int sub_ven_id, int sub_dev_id,
                        const std::string& device_type) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "%04X-%04X-%04X-%04X-", static_cast<unsigned>(ven_id),
                static_cast<unsigned>(dev_id), static_cast<unsigned>(sub_ven_id),
                static_cast<unsigned>(sub_dev_id));
  return ids + device_type;
}

std::string entry_key(const std::string& ven_id, const std::string& dev_id,
                      const std::string& sub_ven_id, const std::string& sub_dev_id,
                      const std::string& device_type) {
  std::string key;
  key.reserve(24 + device_type.size());
  right_align4(key, ven_id);
  key += '-';
  right_align4(key, dev_id);
  key += '-';
  right_align4(key, sub_ven_id);
  key += '-';
  right_align4(key, sub_dev_id);
  key += '-';
  key += device_type;
  return key;
}

CatalogueMatch match_catalogue_file(const std::string& path, const CatalogueQuery& query) {
  LIBXML_TEST_VERSION
  return match_with(ReaderPtr(xmlReaderForFile(path.c_str(), nullptr, kReaderOptions)), query);
}

CatalogueMatch match_catalogue_text(const std::string& xml, const CatalogueQuery& query) {
  LIBXML_TEST_VERSION
  return match_with(ReaderPtr(xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr,
                                                 nullptr, kReaderOptions)),
                    query);
}

void read_catalogue(RunContext& ctx, const std::string& catalogue_path, const std::string& key,
                    const std::string& sub_ven, const std::string& sub_dev,
                    const std::string& address, std::vector<CatalogueEntry>& entries) {
  CatalogueQuery query{key, sub_ven, sub_dev,
                       kMaxImagesPerAdapter - std::min(entries.size(), kMaxImagesPerAdapter)};
  CatalogueMatch match = match_catalogue_file(catalogue_path, query);
  if (!match.opened) {
    ctx.log.error("Unable to open " + catalogue_path + "\n");
    throw ExitRequest{1};
  }
  if (match.more_than_capacity) {
    ctx.log.warning("For " + address +
                    " more than 100 firmware files match in XML, the first 100 are used\n");
  }
  for (CatalogueEntry& entry : match.entries) entries.push_back(std::move(entry));
}

std::vector<Image> images_from_entries(const std::vector<CatalogueEntry>& entries) {
  std::vector<Image> images;
  images.reserve(entries.size());
  for (const CatalogueEntry& entry : entries) {
    Image image;
    image.name = entry.name;
    image.version = entry.rom ? parse_version(*entry.rom) : Version{};
    image.fw_file1 = entry.fw_file1;
    image.fw_file2 = entry.fw_file2;
    image.fw_file3 = entry.fw_file3;
    images.push_back(std::move(image));
  }
  return images;
}

}  // namespace zanrex
