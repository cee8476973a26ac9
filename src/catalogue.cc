#include "catalogue.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

#include "event_log.h"

namespace zanrex {

namespace {

// Reading the catalogue never touches the network, loads no DTD and expands no entity into
// the document; libxml2's errors come to the pass (see ErrorSink), never to the console.
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderFree>;

// The errors libxml2 raises while the catalogue is read: the first fatal one names the fault.
struct ErrorSink {
  std::optional<CatalogueFault> fatal;
  std::optional<CatalogueFault> first;

  static void on_error(void* data, xmlErrorPtr error) {
    auto* sink = static_cast<ErrorSink*>(data);
    if (error == nullptr || error->level < XML_ERR_ERROR) return;
    CatalogueFault fault{error->message != nullptr ? error->message : "", error->line};
    while (!fault.message.empty() &&
           (fault.message.back() == '\n' || fault.message.back() == '\r')) {
      fault.message.pop_back();
    }
    if (!sink->first) sink->first = fault;
    if (error->level == XML_ERR_FATAL && !sink->fatal) sink->fatal = std::move(fault);
  }
};

// Routes libxml2's errors raised outside a parser (buffers, memory) to `sink` while it lives.
class QuietLibxml {
 public:
  explicit QuietLibxml(ErrorSink& sink)
      : saved_(xmlStructuredError), saved_data_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(&sink, ErrorSink::on_error);
  }
  ~QuietLibxml() { xmlSetStructuredErrorFunc(saved_data_, saved_); }
  QuietLibxml(const QuietLibxml&) = delete;
  QuietLibxml& operator=(const QuietLibxml&) = delete;

 private:
  xmlStructuredErrorFunc saved_;
  void* saved_data_;
};

// The attributes the catalogue gives meaning to.
enum class Attr {
  kName,
  kVenId,
  kDevId,
  kSubVenId,
  kDeviceType,
  kSubDevId,
  kRom,
  kFw1,
  kFw2,
  kFw3,
  kOther
};

Attr attr_of(const char* name) {
  static const struct {
    const char* name;
    Attr attr;
  } kNames[] = {{"name", Attr::kName},
                {"venid", Attr::kVenId},
                {"devid", Attr::kDevId},
                {"subvenid", Attr::kSubVenId},
                {"DEVICE_TYPE", Attr::kDeviceType},
                {"subdevid", Attr::kSubDevId},
                {"rom", Attr::kRom},
                {"fwFile1", Attr::kFw1},
                {"fwFile2", Attr::kFw2},
                {"fwFile3", Attr::kFw3}};
  for (const auto& n : kNames) {
    if (std::strcmp(name, n.name) == 0) return n.attr;
  }
  return Attr::kOther;
}

// Values carried from one element to the next for the whole pass.
struct Remembered {
  std::optional<std::string> name;
  std::optional<std::string> ven_id;
  std::optional<std::string> dev_id;
  bool sub_ven_id = false;  // met: the adapter's own value stands for it
  std::optional<std::string> device_type;
};

constexpr size_t kNone = static_cast<size_t>(-1);

// One query's view of the pass. Each query stops examining an element at its own subdevid
// when the element does not fit it, so what it remembers can differ from the others.
struct QueryState {
  const CatalogueQuery* query;
  CatalogueMatch* match;
  Remembered remembered;
  bool full = false;             // a further entry matched after the first 100: done
  bool examining = false;        // still walking the current element's attributes
  size_t element_entry = kNone;  // the entry this element gave the query
};

class Matcher {
 public:
  Matcher(const std::vector<CatalogueQuery>& queries, CataloguePass& pass) : pass_(pass) {
    pass_.matches.assign(queries.size(), CatalogueMatch{});
    for (size_t i = 0; i < queries.size(); ++i) {
      states_.push_back({&queries[i], &pass_.matches[i], {}, false, false, kNone});
    }
    collecting_ = states_.size();
  }

  // Walks every node to the end of the document; returns the reader's last result, or -1
  // when the catalogue itself is at fault.
  int run(xmlTextReader* reader) {
    int ret;
    while ((ret = xmlTextReaderRead(reader)) == 1) {
      if (collecting_ > 0 && !walk_attributes(reader)) return -1;
    }
    return ret;
  }

  std::optional<CatalogueFault> own_fault;

 private:
  bool walk_attributes(xmlTextReader* reader) {
    const int count = xmlTextReaderAttributeCount(reader);
    if (count <= 0) return true;
    examining_ = 0;
    for (QueryState& s : states_) {
      s.examining = !s.full;
      s.element_entry = kNone;
      if (s.examining) ++examining_;
    }
    for (int i = 0; i < count && examining_ > 0; ++i) {
      if (xmlTextReaderMoveToNextAttribute(reader) != 1) continue;
      const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader));
      if (name == nullptr) continue;
      if (!on_attribute(reader, attr_of(name), name)) return false;
    }
    return true;
  }

  // The value of the attribute the reader stands on; null when it refers to an entity,
  // whose expansion a catalogue never needs and an entity bomb multiplies.
  const char* value_of(xmlTextReader* reader, const char* name) {
    const xmlNode* node = xmlTextReaderCurrentNode(reader);
    if (node != nullptr && node->type == XML_ATTRIBUTE_NODE) {
      for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type == XML_ENTITY_REF_NODE) {
          own_fault =
              CatalogueFault{std::string("Entity reference in the value of attribute ") + name,
                             xmlTextReaderGetParserLineNumber(reader)};
          return nullptr;
        }
      }
    }
    const xmlChar* v = xmlTextReaderConstValue(reader);
    return v != nullptr ? reinterpret_cast<const char*>(v) : "";
  }

  bool on_attribute(xmlTextReader* reader, Attr attr, const char* name) {
    switch (attr) {
      case Attr::kName:
        return remember(reader, name, &Remembered::name);
      case Attr::kVenId:
        return remember(reader, name, &Remembered::ven_id);
      case Attr::kDevId:
        return remember(reader, name, &Remembered::dev_id);
      case Attr::kDeviceType:
        return remember(reader, name, &Remembered::device_type);
      case Attr::kSubVenId:
        for (QueryState& s : states_) {
          if (s.examining) s.remembered.sub_ven_id = true;
        }
        return true;
      case Attr::kSubDevId:
        for (QueryState& s : states_) {
          if (s.examining) judge(s);
        }
        return true;
      case Attr::kRom:
        return store(reader, name, &CatalogueEntry::rom);
      case Attr::kFw1:
        return store(reader, name, &CatalogueEntry::fw_file1);
      case Attr::kFw2:
        return store(reader, name, &CatalogueEntry::fw_file2);
      case Attr::kFw3:
        return store(reader, name, &CatalogueEntry::fw_file3);
      case Attr::kOther:
        return true;
    }
    return true;
  }

  bool remember(xmlTextReader* reader, const char* name,
                std::optional<std::string> Remembered::*field) {
    const char* value = value_of(reader, name);
    if (value == nullptr) return false;
    for (QueryState& s : states_) {
      if (s.examining) s.remembered.*field = value;
    }
    return true;
  }

  // Image attributes belong to the entry this element gave a query, and to no other.
  bool store(xmlTextReader* reader, const char* name,
             std::optional<std::string> CatalogueEntry::*field) {
    const char* value = nullptr;
    for (const QueryState& s : states_) {
      if (!s.examining || s.element_entry == kNone) continue;
      if (value == nullptr && (value = value_of(reader, name)) == nullptr) return false;
      s.match->entries[s.element_entry].*field = value;
    }
    return true;
  }

  void stop_examining(QueryState& s) {
    s.examining = false;
    --examining_;
  }

  // subdevid met: the element fits the query or the query looks no further into it.
  void judge(QueryState& s) {
    const Remembered& r = s.remembered;
    if (!r.ven_id || !r.dev_id || !r.sub_ven_id || !r.device_type) return stop_examining(s);
    key_ = entry_key(*r.ven_id, *r.dev_id, s.query->sub_ven, s.query->sub_dev, *r.device_type);
    if (strcasecmp(key_.c_str(), s.query->key.c_str()) != 0) return stop_examining(s);
    std::vector<CatalogueEntry>& entries = s.match->entries;
    if (entries.size() >= kMaxImagesPerAdapter) {
      s.match->more_than_capacity = true;
      s.full = true;
      --collecting_;
      return stop_examining(s);
    }
    CatalogueEntry entry;
    entry.name = r.name;
    entry.ven_id = r.ven_id;
    entry.dev_id = r.dev_id;
    entry.sub_ven_id = s.query->sub_ven;
    entry.sub_dev_id = s.query->sub_dev;
    entry.device_type = r.device_type;
    entries.push_back(std::move(entry));
    s.element_entry = entries.size() - 1;
  }

  CataloguePass& pass_;
  std::vector<QueryState> states_;
  size_t collecting_ = 0;  // queries not yet full
  size_t examining_ = 0;   // queries still walking the current element
  std::string key_;        // reused between elements
};

void right_align4(std::string& out, const std::string& field) {
  if (field.size() < 4) out.append(4 - field.size(), ' ');
  out += field;
}

}  // namespace

struct CatalogueFile::Parts {
  int fd = -1;
  std::string text;  // the document when it is held in memory
  ErrorSink errors;
  ReaderPtr reader;

  ~Parts() {
    reader.reset();
    if (fd >= 0) ::close(fd);
  }
  bool take(xmlTextReader* r) {
    reader.reset(r);
    if (reader) xmlTextReaderSetStructuredErrorHandler(reader.get(), ErrorSink::on_error, &errors);
    return reader != nullptr;
  }
};

CatalogueFile::CatalogueFile() = default;
CatalogueFile::~CatalogueFile() = default;

bool CatalogueFile::is_open() const {
  return state_ && state_->reader;
}

bool CatalogueFile::open(const std::string& path) {
  xmlCheckVersion(LIBXML_VERSION);
  state_ = std::make_unique<Parts>();
  QuietLibxml quiet(state_->errors);
  do {
    state_->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (state_->fd < 0 && errno == EINTR);
  if (state_->fd < 0) return false;
  return state_->take(xmlReaderForFd(state_->fd, path.c_str(), nullptr, kReaderOptions));
}

bool CatalogueFile::open_text(const std::string& xml) {
  xmlCheckVersion(LIBXML_VERSION);
  state_ = std::make_unique<Parts>();
  QuietLibxml quiet(state_->errors);
  state_->text = xml;
  return state_->take(xmlReaderForMemory(state_->text.data(), static_cast<int>(state_->text.size()),
                                         nullptr, nullptr, kReaderOptions));
}

CataloguePass CatalogueFile::read(const std::vector<CatalogueQuery>& queries) {
  CataloguePass pass;
  if (!is_open()) {
    pass.fault = CatalogueFault{"not open", 0};
    return pass;
  }
  ErrorSink& errors = state_->errors;
  QuietLibxml quiet(errors);
  Matcher matcher(queries, pass);
  const int ret = matcher.run(state_->reader.get());
  const int line = xmlTextReaderGetParserLineNumber(state_->reader.get());
  state_->reader.reset();
  if (matcher.own_fault) {
    pass.fault = matcher.own_fault;
  } else if (ret != 0 || errors.fatal) {
    pass.fault = errors.fatal   ? *errors.fatal
                 : errors.first ? *errors.first
                                : CatalogueFault{"Reading stopped", line};
  }
  if (pass.fault) pass.matches.clear();
  return pass;
}

CataloguePass match_catalogue_text(const std::string& xml,
                                   const std::vector<CatalogueQuery>& queries) {
  CatalogueFile file;
  if (!file.open_text(xml)) {
    CataloguePass pass;
    pass.fault = CatalogueFault{"Document is empty", 0};
    return pass;
  }
  return file.read(queries);
}

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

CatalogueQuery query_for(int ven_id, int dev_id, int sub_ven_id, int sub_dev_id,
                         const std::string& device_type) {
  return {adapter_key(ven_id, dev_id, sub_ven_id, sub_dev_id, device_type), id_text(sub_ven_id),
          id_text(sub_dev_id)};
}

void RunCatalogue::open() {
  if (file_.is_open()) return;
  if (!file_.open(path_)) {
    ctx_.log.error("Unable to open " + path_ + "\n");
    throw ExitRequest{1};
  }
}

std::vector<CatalogueMatch> RunCatalogue::read(const std::vector<CatalogueQuery>& queries) {
  open();
  // Adapters of one kind ask the same: each distinct query is matched once.
  std::vector<CatalogueQuery> distinct;
  std::vector<size_t> slot;
  std::map<std::string, size_t> seen;  // key and subsystem IDs -> index in `distinct`
  for (const CatalogueQuery& q : queries) {
    auto [it, added] = seen.emplace(q.key + '\n' + q.sub_ven + '\n' + q.sub_dev, distinct.size());
    if (added) distinct.push_back(q);
    slot.push_back(it->second);
  }
  CataloguePass pass = file_.read(distinct);
  if (pass.fault) {
    const std::string line = std::to_string(pass.fault->line);
    ctx_.log.error("Unable to read " + path_ + ": " + printable(pass.fault->message) + " at line " +
                   line + "\n");
    std::fprintf(ctx_.err,
                 "zanrex: the firmware catalogue %s is damaged (line %s); nothing was done\n",
                 path_.c_str(), line.c_str());
    throw ExitRequest{1};
  }
  std::vector<CatalogueMatch> matches;
  matches.reserve(queries.size());
  std::transform(slot.begin(), slot.end(), std::back_inserter(matches),
                 [&pass](size_t i) { return pass.matches[i]; });
  return matches;
}

void log_overflow(RunContext& ctx, const CatalogueMatch& match, const std::string& address) {
  if (!match.more_than_capacity) return;
  ctx.log.warning("For " + address +
                  " more than 100 firmware files match in XML, the first 100 are used\n");
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
