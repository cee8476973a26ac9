#include "catalogue.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>

#include "event_log.h"

namespace zanrex {

namespace {

// Reading the catalogue never touches the network, loads no DTD and expands no entity into
// the document; libxml2's errors come to the pass (see ErrorSink), never to the console.
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

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

// The catalogue's attribute names as one parser's dictionary holds them: the parser hands
// over names from that dictionary, so a name is known by its address.
class AttrNames {
 public:
  explicit AttrNames(xmlDict* dict) : dict_(dict) {
    for (size_t i = 0; i < kCount; ++i) {
      interned_[i] = dict != nullptr ? xmlDictLookup(dict, BAD_CAST kNames[i].name, -1) : nullptr;
    }
  }

  Attr of(const xmlChar* name) const {
    for (size_t i = 0; i < kCount; ++i) {
      if (name == interned_[i]) return kNames[i].attr;
    }
    if (dict_ != nullptr && xmlDictOwns(dict_, name) == 1) return Attr::kOther;
    for (size_t i = 0; i < kCount; ++i) {  // a name from elsewhere: compared as text
      if (std::strcmp(reinterpret_cast<const char*>(name), kNames[i].name) == 0) {
        return kNames[i].attr;
      }
    }
    return Attr::kOther;
  }

 private:
  struct Known {
    const char* name;
    Attr attr;
  };
  static constexpr size_t kCount = 10;
  static constexpr Known kNames[kCount] = {{"name", Attr::kName},
                                           {"venid", Attr::kVenId},
                                           {"devid", Attr::kDevId},
                                           {"subvenid", Attr::kSubVenId},
                                           {"DEVICE_TYPE", Attr::kDeviceType},
                                           {"subdevid", Attr::kSubDevId},
                                           {"rom", Attr::kRom},
                                           {"fwFile1", Attr::kFw1},
                                           {"fwFile2", Attr::kFw2},
                                           {"fwFile3", Attr::kFw3}};
  xmlDict* dict_;
  const xmlChar* interned_[kCount];
};

// `field` set to `value`, reusing the text it holds.
void assign(std::optional<std::string>& field, std::string_view value) {
  if (field) {
    field->assign(value.data(), value.size());
  } else {
    field.emplace(value);
  }
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

// The attributes of one start tag as libxml2's SAX2 parser hands them over: five pointers
// each (local name, prefix, namespace, value, end of value). Defaulted ones from a DTD come
// last and are not part of the document as read here.
class StartTag {
 public:
  StartTag(const xmlChar** attributes, int count) : attributes_(attributes), count_(count) {}
  int count() const { return count_; }

  // The name of attribute `i`; null for a prefixed one, which no catalogue attribute is.
  const xmlChar* name(int i) const {
    return attributes_[5 * i + 1] != nullptr ? nullptr : attributes_[5 * i];
  }

  // The value of attribute `i` as the document means it (resolved into `scratch` if need be);
  // none when it refers to an entity, whose expansion a catalogue never needs and an entity
  // bomb multiplies.
  std::optional<std::string_view> value(int i, std::string& scratch) const {
    const char* begin = reinterpret_cast<const char*>(attributes_[5 * i + 3]);
    const char* end = reinterpret_cast<const char*>(attributes_[5 * i + 4]);
    // A value the parser left in its input ends at its quote; one it had to rework (it held a
    // reference) was copied and ends with a NUL, references still to be resolved.
    if (*end != '\0') return std::string_view(begin, static_cast<size_t>(end - begin));
    if (!resolve_references(begin, end, scratch)) return std::nullopt;
    return std::string_view(scratch);
  }

 private:
  // In a reworked value the parser writes "&#38;" for a literal '&' and "&name;" for a
  // reference to an entity; character references are already resolved but for these.
  static bool resolve_references(const char* begin, const char* end, std::string& out) {
    out.clear();
    for (const char* p = begin; p < end; ++p) {
      if (*p != '&') {
        out += *p;
        continue;
      }
      if (p + 1 >= end || p[1] != '#') return false;
      const char* semicolon = std::find(p, end, ';');
      if (semicolon == end) return false;
      const bool hex = p + 2 < end && p[2] == 'x';
      unsigned long code =
          std::strtoul(std::string(p + (hex ? 3 : 2), semicolon).c_str(), nullptr, hex ? 16 : 10);
      append_utf8(out, code);
      p = semicolon;
    }
    return true;
  }

  static void append_utf8(std::string& out, unsigned long c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  const xmlChar** attributes_;
  int count_;
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

  // One start tag of the document; false when the catalogue itself is at fault there.
  bool on_start_tag(const StartTag& tag, const AttrNames& names, int line) {
    if (collecting_ == 0 || tag.count() == 0) return true;
    examining_ = 0;
    for (QueryState& s : states_) {
      s.examining = !s.full;
      s.element_entry = kNone;
      if (s.examining) ++examining_;
    }
    for (int i = 0; i < tag.count() && examining_ > 0; ++i) {
      const xmlChar* name = tag.name(i);
      if (name == nullptr) continue;
      if (!on_attribute(tag, i, names.of(name), reinterpret_cast<const char*>(name), line)) {
        return false;
      }
    }
    return true;
  }

  std::optional<CatalogueFault> own_fault;

 private:
  // The value of attribute `i`, or none (and the fault noted) when it refers to an entity.
  std::optional<std::string_view> value_of(const StartTag& tag, int i, const char* name, int line) {
    std::optional<std::string_view> value = tag.value(i, value_);
    if (!value) {
      own_fault =
          CatalogueFault{std::string("Entity reference in the value of attribute ") + name, line};
    }
    return value;
  }

  bool on_attribute(const StartTag& tag, int i, Attr attr, const char* name, int line) {
    switch (attr) {
      case Attr::kName:
        return remember(tag, i, name, line, &Remembered::name);
      case Attr::kVenId:
        return remember(tag, i, name, line, &Remembered::ven_id);
      case Attr::kDevId:
        return remember(tag, i, name, line, &Remembered::dev_id);
      case Attr::kDeviceType:
        return remember(tag, i, name, line, &Remembered::device_type);
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
        return store(tag, i, name, line, &CatalogueEntry::rom);
      case Attr::kFw1:
        return store(tag, i, name, line, &CatalogueEntry::fw_file1);
      case Attr::kFw2:
        return store(tag, i, name, line, &CatalogueEntry::fw_file2);
      case Attr::kFw3:
        return store(tag, i, name, line, &CatalogueEntry::fw_file3);
      case Attr::kOther:
        return true;
    }
    return true;
  }

  bool remember(const StartTag& tag, int i, const char* name, int line,
                std::optional<std::string> Remembered::*field) {
    std::optional<std::string_view> value = value_of(tag, i, name, line);
    if (!value) return false;
    for (QueryState& s : states_) {
      if (s.examining) assign(s.remembered.*field, *value);
    }
    return true;
  }

  // Image attributes belong to the entry this element gave a query, and to no other.
  bool store(const StartTag& tag, int i, const char* name, int line,
             std::optional<std::string> CatalogueEntry::*field) {
    std::optional<std::string_view> value;
    for (const QueryState& s : states_) {
      if (!s.examining || s.element_entry == kNone) continue;
      if (!value && !(value = value_of(tag, i, name, line))) return false;
      assign(s.match->entries[s.element_entry].*field, *value);
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
  std::string value_;      // reused between attributes
};

// One SAX2 parse: libxml2's own handlers keep the document's declarations (entities, so that
// references and their loops are judged as the parser judges them); elements go to the
// matcher and build no tree. Elements met while libxml2 checks an entity's replacement text
// belong to a parser of its own and are not part of the document.
class SaxPass {
 public:
  SaxPass(Matcher& matcher, ErrorSink& errors) : matcher_(matcher), errors_(errors) {
    xmlSAXVersion(&handler_, 2);
    handler_.startElementNs = on_start;
    handler_.endElementNs = on_end;
    handler_.characters = [](void*, const xmlChar*, int) {};
    handler_.ignorableWhitespace = [](void*, const xmlChar*, int) {};
    handler_.cdataBlock = [](void*, const xmlChar*, int) {};
    handler_.reference = [](void*, const xmlChar*) {};
    handler_.comment = [](void*, const xmlChar*) {};
    handler_.processingInstruction = [](void*, const xmlChar*, const xmlChar*) {};
    handler_.serror = on_error;
  }
  ~SaxPass() {
    if (ctxt_ == nullptr) return;
    if (ctxt_->myDoc != nullptr) xmlFreeDoc(ctxt_->myDoc);
    xmlFreeParserCtxt(ctxt_);
  }
  SaxPass(const SaxPass&) = delete;
  SaxPass& operator=(const SaxPass&) = delete;

  // Hands `size` bytes to the parser (the first call starts it); false once it has stopped.
  bool feed(const char* data, size_t size, bool last) {
    if (ctxt_ == nullptr) {
      const int head = static_cast<int>(std::min<size_t>(size, 4));
      ctxt_ = xmlCreatePushParserCtxt(&handler_, nullptr, data, head, nullptr);
      if (ctxt_ == nullptr) return false;
      xmlCtxtUseOptions(ctxt_, kReaderOptions);
      ctxt_->_private = this;
      names_.emplace(ctxt_->dict);
      data += head;
      size -= static_cast<size_t>(head);
    }
    const int rc = xmlParseChunk(ctxt_, data, static_cast<int>(size), last ? 1 : 0);
    return rc == 0 && !stopped_ && ctxt_->instate != XML_PARSER_EOF;
  }

  // A fault of the document that the parser does not judge itself.
  const std::optional<CatalogueFault>& fault() const { return fault_; }
  // True when the whole document was read and found well-formed.
  bool well_formed() const { return ctxt_ != nullptr && !stopped_ && ctxt_->wellFormed == 1; }
  int line() const { return ctxt_ != nullptr && ctxt_->input != nullptr ? ctxt_->input->line : 0; }

 private:
  static void on_start(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int,
                       const xmlChar**, int nb_attributes, int nb_defaulted,
                       const xmlChar** attributes) {
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    auto* self = static_cast<SaxPass*>(ctxt->_private);
    if (self == nullptr || ctxt != self->ctxt_ || self->stopped_) return;
    const int at = self->line();
    // The parser leaves the depth of nesting to whoever builds a tree; libxml2's tree builder
    // refuses a document nested deeper than this, and so does the catalogue.
    if (self->depth_ > xmlParserMaxDepth) {
      self->fault_ =
          CatalogueFault{"Excessive depth in document: " + std::to_string(xmlParserMaxDepth) +
                             " use XML_PARSE_HUGE option",
                         at};
      return self->stop();
    }
    ++self->depth_;
    const StartTag tag(attributes, nb_attributes - nb_defaulted);
    if (!self->matcher_.on_start_tag(tag, *self->names_, at)) self->stop();
  }

  static void on_end(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    auto* self = static_cast<SaxPass*>(ctxt->_private);
    if (self != nullptr && ctxt == self->ctxt_ && self->depth_ > 0) --self->depth_;
  }

  void stop() {
    stopped_ = true;
    xmlStopParser(ctxt_);
  }

  static void on_error(void* ctx, xmlErrorPtr error) {
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    auto* self = ctxt != nullptr ? static_cast<SaxPass*>(ctxt->_private) : nullptr;
    if (self != nullptr) ErrorSink::on_error(&self->errors_, error);
  }

  Matcher& matcher_;
  ErrorSink& errors_;
  xmlSAXHandler handler_{};
  xmlParserCtxt* ctxt_ = nullptr;
  std::optional<AttrNames> names_;
  bool stopped_ = false;
  unsigned depth_ = 0;  // elements open
  std::optional<CatalogueFault> fault_;
};

void right_align4(std::string& out, const std::string& field) {
  if (field.size() < 4) out.append(4 - field.size(), ' ');
  out += field;
}

}  // namespace

struct CatalogueFile::Parts {
  int fd = -1;       // the file, when it is read from one
  std::string text;  // else the document held in memory
  ErrorSink errors;

  ~Parts() {
    if (fd >= 0) ::close(fd);
  }
};

CatalogueFile::CatalogueFile() = default;
CatalogueFile::~CatalogueFile() = default;

bool CatalogueFile::is_open() const {
  return state_ != nullptr;
}

bool CatalogueFile::open(const std::string& path) {
  auto parts = std::make_unique<Parts>();
  do {
    parts->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (parts->fd < 0 && errno == EINTR);
  if (parts->fd < 0) return false;
  state_ = std::move(parts);
  return true;
}

void CatalogueFile::open_text(const std::string& xml) {
  state_ = std::make_unique<Parts>();
  state_->text = xml;
}

namespace {

// Feeds the file at `fd` to `sax` to its end or until the parser stops; an error text when
// the file itself cannot be read.
std::optional<std::string> feed_file(int fd, SaxPass& sax) {
  std::vector<char> block(64 * 1024);
  for (;;) {
    ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string(std::strerror(errno));
    if (!sax.feed(block.data(), static_cast<size_t>(n), n == 0) || n == 0) return std::nullopt;
  }
}

}  // namespace

CataloguePass CatalogueFile::read(const std::vector<CatalogueQuery>& queries) {
  CataloguePass pass;
  if (!is_open()) {
    pass.fault = CatalogueFault{"not open", 0};
    return pass;
  }
  xmlCheckVersion(LIBXML_VERSION);
  ErrorSink& errors = state_->errors;
  QuietLibxml quiet(errors);
  Matcher matcher(queries, pass);
  SaxPass sax(matcher, errors);
  std::optional<std::string> read_error;
  if (state_->fd >= 0) {
    read_error = feed_file(state_->fd, sax);
  } else {
    sax.feed(state_->text.data(), state_->text.size(), true);
  }
  if (matcher.own_fault) {
    pass.fault = matcher.own_fault;
  } else if (sax.fault()) {
    pass.fault = sax.fault();
  } else if (read_error) {
    pass.fault = CatalogueFault{*read_error, sax.line()};
  } else if (!sax.well_formed() || errors.fatal) {
    pass.fault = errors.fatal   ? *errors.fatal
                 : errors.first ? *errors.first
                                : CatalogueFault{"Reading stopped", sax.line()};
  }
  state_.reset();  // a file is read once
  if (pass.fault) pass.matches.clear();
  return pass;
}

CataloguePass match_catalogue_text(const std::string& xml,
                                   const std::vector<CatalogueQuery>& queries) {
  CatalogueFile file;
  file.open_text(xml);
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
