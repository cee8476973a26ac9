#include "catalogue.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <strings.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "event_log.h"

namespace zanrex {

namespace {

// Reading the catalogue never touches the network, loads no DTD and expands no entity into
// the document; libxml2's errors come to the pass (see ErrorSink), never to the console.
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The errors libxml2 raises while the catalogue is read, by the reader or (while the sink
// lives) outside it, in buffers or memory: the first fatal one names the fault.
struct ErrorSink {
  ErrorSink() : saved_(xmlStructuredError), saved_data_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(this, on_error);
  }
  ~ErrorSink() { xmlSetStructuredErrorFunc(saved_data_, saved_); }
  ErrorSink(const ErrorSink&) = delete;
  ErrorSink& operator=(const ErrorSink&) = delete;

  static void on_error(void* data, xmlErrorPtr error) {
    auto* sink = static_cast<ErrorSink*>(data);
    if (error == nullptr || error->level < XML_ERR_ERROR) return;
    CatalogueFault fault{error->message != nullptr ? error->message : "", error->line};
    fault.message.erase(fault.message.find_last_not_of("\r\n") + 1);
    if (!sink->first) sink->first = fault;
    if (error->level == XML_ERR_FATAL && !sink->fatal) sink->fatal = std::move(fault);
  }

  std::optional<CatalogueFault> fatal;
  std::optional<CatalogueFault> first;
  xmlStructuredErrorFunc saved_;
  void* saved_data_;
};

// Hands libxml2 the file block by block as it asks; a failed read ends the input and is
// kept as the fault.
struct FileInput {
  int fd;
  bool any = false;  // something was read
  std::optional<std::string> error;

  static int read(void* context, char* buffer, int len) {
    auto* in = static_cast<FileInput*>(context);
    ssize_t n;
    do {
      n = ::read(in->fd, buffer, static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    if (n < 0) in->error = std::strerror(errno);
    in->any = in->any || n > 0;
    return static_cast<int>(n);
  }
};

// The attributes whose values are taken: remembered from one element to the next for the
// whole pass, or stored in the entry the element gave a query (and in no other).
struct Taken {
  const char* name;
  std::optional<std::string> CatalogueEntry::*field;
  bool remembered;
};
constexpr Taken kTaken[] = {{"name", &CatalogueEntry::name, true},
                            {"venid", &CatalogueEntry::ven_id, true},
                            {"devid", &CatalogueEntry::dev_id, true},
                            {"DEVICE_TYPE", &CatalogueEntry::device_type, true},
                            {"rom", &CatalogueEntry::rom, false},
                            {"fwFile1", &CatalogueEntry::fw_file1, false},
                            {"fwFile2", &CatalogueEntry::fw_file2, false},
                            {"fwFile3", &CatalogueEntry::fw_file3, false}};

// One query's view of the pass: the catalogue read as if for that adapter alone. Each query
// stops examining an element at its own subdevid when the element does not fit it, so what
// it remembers can differ from the others.
struct QueryState {
  const CatalogueQuery* query;
  CatalogueMatch* match;
  CatalogueEntry remembered;  // name, IDs and type; the query's sub_ven once subvenid was met
  bool full = false;          // a further entry matched after the first 100: done
};

class Matcher {
 public:
  Matcher(const std::vector<CatalogueQuery>& queries, CataloguePass& pass) {
    pass.matches.assign(queries.size(), CatalogueMatch{});
    for (size_t i = 0; i < queries.size(); ++i) {
      states_.push_back({&queries[i], &pass.matches[i], {}});
    }
  }

  // Walks every node to the end of the document, libxml2's errors going to `errors`; returns
  // the reader's last result, or -1 when the catalogue itself is at fault.
  int run(xmlTextReader* reader, ErrorSink& errors) {
    reader_ = reader;
    xmlTextReaderSetStructuredErrorHandler(reader, ErrorSink::on_error, &errors);
    int ret;
    while ((ret = xmlTextReaderRead(reader_)) == 1) {
      if (xmlTextReaderAttributeCount(reader_) <= 0) continue;
      for (QueryState& s : states_) {
        if (!s.full && !examine(s)) return -1;
      }
    }
    return ret;
  }

  std::optional<CatalogueFault> own_fault;

 private:
  // The current element's attributes in document order, as far as they concern the query.
  bool examine(QueryState& s) {
    CatalogueEntry* entry = nullptr;  // the entry this element gave the query
    for (int at = xmlTextReaderMoveToFirstAttribute(reader_); at == 1;
         at = xmlTextReaderMoveToNextAttribute(reader_)) {
      const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader_));
      if (name == nullptr) continue;
      if (std::strcmp(name, "subvenid") == 0) {
        s.remembered.sub_ven_id = s.query->sub_ven;
      } else if (std::strcmp(name, "subdevid") == 0) {
        if ((entry = judge(s)) == nullptr) break;
      } else if (!take(name, s.remembered, entry)) {
        return false;
      }
    }
    return true;
  }

  // A value remembered for the query, or stored in the entry the element gave it.
  bool take(const char* name, CatalogueEntry& remembered, CatalogueEntry* entry) {
    const Taken* known = std::find_if(std::begin(kTaken), std::end(kTaken), [name](const Taken& t) {
      return std::strcmp(name, t.name) == 0;
    });
    if (known == std::end(kTaken)) return true;
    CatalogueEntry* target = known->remembered ? &remembered : entry;
    const char* value = target != nullptr ? value_of(name) : "";
    if (target != nullptr && value != nullptr) target->*known->field = value;
    return value != nullptr;
  }

  // The value of the attribute the reader stands on; null when it refers to an entity,
  // whose expansion a catalogue never needs and an entity bomb multiplies.
  const char* value_of(const char* name) {
    const xmlNode* node = xmlTextReaderCurrentNode(reader_);
    if (node == nullptr || node->type != XML_ATTRIBUTE_NODE) return "";
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
      if (c->type != XML_ENTITY_REF_NODE) continue;
      long line = node->parent != nullptr ? xmlGetLineNo(node->parent) : -1;  // the element's
      if (line <= 0 || line >= 65535) line = xmlTextReaderGetParserLineNumber(reader_);
      own_fault = CatalogueFault{std::string("Entity reference in the value of attribute ") + name,
                                 static_cast<int>(line)};
      return nullptr;
    }
    const xmlChar* v = xmlTextReaderConstValue(reader_);
    return v != nullptr ? reinterpret_cast<const char*>(v) : "";
  }

  // subdevid met: the entry the element gives the query when it fits; none when it does not
  // (the query looks no further into it) or the query holds 100 already (it is then done).
  static CatalogueEntry* judge(QueryState& s) {
    const CatalogueEntry& r = s.remembered;
    if (!r.ven_id || !r.dev_id || !r.sub_ven_id || !r.device_type) return nullptr;
    const std::string key =
        entry_key(*r.ven_id, *r.dev_id, *r.sub_ven_id, s.query->sub_dev, *r.device_type);
    if (strcasecmp(key.c_str(), s.query->key.c_str()) != 0) return nullptr;
    std::vector<CatalogueEntry>& entries = s.match->entries;
    s.full = entries.size() >= kMaxImagesPerAdapter;
    s.match->more_than_capacity = s.full;
    if (s.full) return nullptr;
    entries.push_back(r);
    entries.back().sub_dev_id = s.query->sub_dev;
    return &entries.back();
  }

  xmlTextReader* reader_ = nullptr;
  std::vector<QueryState> states_;
};

}  // namespace

bool CatalogueFile::open(const std::string& path) {
  do {
    fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  } while (!fd_ && errno == EINTR);
  return is_open();
}

CataloguePass CatalogueFile::read(const std::vector<CatalogueQuery>& queries) {
  CataloguePass pass;
  xmlCheckVersion(LIBXML_VERSION);
  ErrorSink errors;
  FileInput input{fd_.get(), false, std::nullopt};
  Matcher matcher(queries, pass);
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
      xmlReaderForIO(FileInput::read, nullptr, &input, nullptr, nullptr, kReaderOptions),
      xmlFreeTextReader);
  const int ret = reader ? matcher.run(reader.get(), errors) : -1;
  const int line = reader ? xmlTextReaderGetParserLineNumber(reader.get()) : 0;
  reader.reset();
  fd_.reset();  // a file is read once
  if (matcher.own_fault) {
    pass.fault = matcher.own_fault;
  } else if (input.error) {
    pass.fault = CatalogueFault{*input.error, input.any ? line : 0};
  } else if (ret != 0 || errors.fatal) {
    pass.fault = errors.fatal ? errors.fatal : errors.first;
    if (!pass.fault) pass.fault = CatalogueFault{"Reading stopped", line};
  }
  if (pass.fault) pass.matches.clear();
  return pass;
}

CataloguePass match_catalogue_text(const std::string& xml,
                                   const std::vector<CatalogueQuery>& queries) {
  Fd fd(::memfd_create("catalogue", MFD_CLOEXEC));
  if (fd && !write_all(fd.get(), xml.data(), xml.size())) fd.reset();
  CatalogueFile file;  // not open, and so read as a fault, when the memory file failed
  if (fd && ::lseek(fd.get(), 0, SEEK_SET) == 0) file.adopt(fd.release());
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
  for (const std::string* id : {&ven_id, &dev_id, &sub_ven_id, &sub_dev_id}) {
    if (id->size() < 4) key.append(4 - id->size(), ' ');
    key += *id;
    key += '-';
  }
  return key += device_type;
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

void RunCatalogue::ask(const CatalogueQuery& query) {
  if (answers_.emplace(identity(query), CatalogueMatch{}).second) asked_.push_back(query);
}

const CatalogueMatch& RunCatalogue::answer(const CatalogueQuery& query) {
  if (!read_) read();
  return answers_.at(identity(query));
}

void RunCatalogue::read() {
  read_ = true;
  open();
  CataloguePass pass = file_.read(asked_);
  if (pass.fault) {
    const std::string line = std::to_string(pass.fault->line);
    ctx_.log.error("Unable to read " + path_ + ": " + printable(pass.fault->message) + " at line " +
                   line + "\n");
    std::fprintf(ctx_.err,
                 "zanrex: the firmware catalogue %s is damaged (line %s); nothing was done\n",
                 path_.c_str(), line.c_str());
    throw ExitRequest{1};
  }
  for (size_t i = 0; i < asked_.size(); ++i) {
    answers_[identity(asked_[i])] = std::move(pass.matches[i]);
  }
}

void log_overflow(RunContext& ctx, const CatalogueMatch& match, const std::string& address) {
  if (!match.more_than_capacity) return;
  ctx.log.warning("For " + address +
                  " more than 100 firmware files match in XML, the first 100 are used\n");
}

std::vector<Image> images_from_entries(const std::vector<CatalogueEntry>& entries) {
  std::vector<Image> images(entries.size());
  std::transform(entries.begin(), entries.end(), images.begin(), [](const CatalogueEntry& e) {
    return Image{e.name, e.rom ? parse_version(*e.rom) : Version{}, e.fw_file1, e.fw_file2,
                 e.fw_file3};
  });
  return images;
}

}  // namespace zanrex
