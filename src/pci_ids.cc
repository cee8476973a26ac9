#include "pci_ids.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "fd.h"

namespace zanrex {

namespace {

// The line buffer of libpci's reader, its terminating NUL included: a longer line is a fault.
constexpr int kMaxLine = 1024;

const char kParseError[] = "Parse error";

// The kinds of entry the file holds, as the block a line belongs to tells them apart.
enum Category {
  kNoBlock,
  kVendor,
  kDevice,
  kSubsystem,
  kGenericSubsystem,
  kClass,
  kSubclass,
  kProgIf,
  kUnrecognised,
};

// Where the reading stands: the block it is in and the IDs of the entries around the line.
struct ListState {
  Category category = kNoBlock;
  int id[4] = {0, 0, 0, 0};
};

// The IDs of one kind of entry read so far. The distributed files list every kind in increasing
// order, so a new ID is nearly always above all before it and costs one comparison; the few
// that are not are looked up.
class SeenIds {
 public:
  // False when `ids` was read before.
  bool add(uint64_t ids) {
    if (ordered_.empty() || ids > ordered_.back()) {
      ordered_.push_back(ids);
      return true;
    }
    if (std::binary_search(ordered_.begin(), ordered_.end(), ids)) return false;
    return others_.insert(ids).second;
  }

 private:
  std::vector<uint64_t> ordered_;
  std::unordered_set<uint64_t> others_;
};

// What the reading has gathered so far.
struct Gathered {
  std::unordered_map<int, std::string>& vendors;
  SeenIds seen[kUnrecognised];  // by category
};

// Hands out a file's lines in the pieces fgets(line, kMaxLine, file) would give, with the end
// of file as feof would tell it after each, reading the file in large blocks.
class LinePieces {
 public:
  explicit LinePieces(int fd) : fd_(fd), buffer_(kBlock) {}

  // The next piece into `line`, NUL-terminated; false at the end of the file or after a read
  // error. `at_end` is true when the piece ended because the file did.
  bool next(char (&line)[kMaxLine], bool& at_end);
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kBlock = size_t{64} * 1024;
  void fill();

  int fd_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Reads until a whole piece is in the buffer or the file can give no more.
void LinePieces::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < kMaxLine - 1 && !ended_ && !failed_) {
    ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
    } else if (n == 0) {
      ended_ = true;
    } else if (errno != EINTR) {
      failed_ = true;
    }
  }
}

bool LinePieces::next(char (&line)[kMaxLine], bool& at_end) {
  if (end_ - begin_ < kMaxLine - 1) fill();
  const char* start = buffer_.data() + begin_;
  const size_t limit = std::min(end_ - begin_, static_cast<size_t>(kMaxLine - 1));
  const auto* newline = static_cast<const char*>(std::memchr(start, '\n', limit));
  const size_t length = newline != nullptr ? static_cast<size_t>(newline - start) + 1 : limit;
  at_end = newline == nullptr && length < kMaxLine - 1;
  // fgets gives nothing at the end of the file, nor a piece a read error cut short.
  if (length == 0 || (at_end && failed_)) return false;
  std::memcpy(line, start, length);
  line[length] = '\0';
  begin_ += length;
  return true;
}

// The value of `count` hexadecimal digits at `p`; -1 when a character of them is not one.
int hex_digits(const char* p, int count) {
  int value = 0;
  for (; count > 0; --count, ++p) {
    value <<= 4;
    if (*p >= '0' && *p <= '9') {
      value += *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      value += *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      value += *p - 'A' + 10;
    } else {
      return -1;
    }
  }
  return value;
}

bool is_white(char c) {
  return c == ' ' || c == '\t';
}

// A line with no tab in front: a class, a vendor, a generic subsystem block (which names an
// existing vendor and is no entry itself) or a block of an unrecognised kind (skipped whole).
// `name` is left null when the line holds no entry.
const char* read_top_level(char* p, ListState& s, const Gathered& g, char*& name) {
  if (p[0] == 'C' && p[1] == ' ') {
    if ((s.id[0] = hex_digits(p + 2, 2)) < 0 || !is_white(p[4])) return kParseError;
    s.category = kClass;
    name = p + 5;
  } else if (p[0] == 'S' && p[1] == ' ') {
    if ((s.id[0] = hex_digits(p + 2, 4)) < 0 || p[6] != '\0') return kParseError;
    if (g.vendors.count(s.id[0]) == 0) return "Vendor does not exist";
    s.category = kGenericSubsystem;
    return nullptr;
  } else if (p[0] >= 'A' && p[0] <= 'Z' && p[1] == ' ') {
    s.category = kUnrecognised;
    return nullptr;
  } else {
    if ((s.id[0] = hex_digits(p, 4)) < 0 || !is_white(p[4])) return kParseError;
    s.category = kVendor;
    name = p + 5;
  }
  s.id[1] = s.id[2] = s.id[3] = 0;
  return nullptr;
}

// A line one tab in: a device, a generic subsystem or a subclass.
const char* read_first_level(char* p, ListState& s, char*& name) {
  switch (s.category) {
    case kVendor:
    case kDevice:
    case kSubsystem:
    case kGenericSubsystem:
      if ((s.id[1] = hex_digits(p, 4)) < 0 || !is_white(p[4])) return kParseError;
      if (s.category != kGenericSubsystem) s.category = kDevice;
      name = p + 5;
      break;
    case kClass:
    case kSubclass:
    case kProgIf:
      if ((s.id[1] = hex_digits(p, 2)) < 0 || !is_white(p[2])) return kParseError;
      s.category = kSubclass;
      name = p + 3;
      break;
    default:
      return kParseError;
  }
  s.id[2] = s.id[3] = 0;
  return nullptr;
}

// A line two tabs in: a device's subsystem or a programming interface.
const char* read_second_level(char* p, ListState& s, char*& name) {
  switch (s.category) {
    case kDevice:
    case kSubsystem:
      if ((s.id[2] = hex_digits(p, 4)) < 0 || !is_white(p[4]) ||
          (s.id[3] = hex_digits(p + 5, 4)) < 0 || !is_white(p[9])) {
        return kParseError;
      }
      s.category = kSubsystem;
      name = p + 10;
      return nullptr;
    case kClass:
    case kSubclass:
    case kProgIf:
      if ((s.id[2] = hex_digits(p, 2)) < 0 || !is_white(p[2])) return kParseError;
      s.category = kProgIf;
      s.id[3] = 0;
      name = p + 3;
      return nullptr;
    default:
      return kParseError;
  }
}

// Reads one line as fgets gave it; `at_end` tells whether the file ended in that read.
const char* read_line(char* line, bool at_end, ListState& s, Gathered& g) {
  char* p = line + std::strcspn(line, "\r\n");  // or the first NUL
  if (*p == '\0' && !at_end) return "Line too long";
  *p = '\0';
  if (p > line && is_white(p[-1])) *--p = '\0';  // one blank at the end, no more

  p = line;
  while (is_white(*p)) ++p;
  if (*p == '\0' || *p == '#') return nullptr;

  p = line;
  while (*p == '\t') ++p;
  const long nest = p - line;
  char* name = nullptr;
  const char* fault = nullptr;
  if (nest == 0) {
    fault = read_top_level(p, s, g, name);
  } else if (s.category == kUnrecognised) {
    return nullptr;
  } else if (nest == 1) {
    fault = read_first_level(p, s, name);
  } else if (nest == 2) {
    fault = read_second_level(p, s, name);
  } else {
    fault = kParseError;
  }
  if (fault != nullptr || name == nullptr) return fault;

  while (is_white(*name)) ++name;
  if (*name == '\0') return kParseError;
  const uint64_t ids = static_cast<uint64_t>(s.id[0]) << 48 | static_cast<uint64_t>(s.id[1]) << 32 |
                       static_cast<uint64_t>(s.id[2]) << 16 | static_cast<uint64_t>(s.id[3]);
  if (!g.seen[s.category].add(ids)) return "Duplicate entry";
  if (s.category == kVendor) g.vendors.emplace(s.id[0], name);
  return nullptr;
}

}  // namespace

PciIdsContents read_pci_ids(int fd) {
  PciIdsContents out;
  Gathered gathered{out.vendors, {}};
  ListState state;
  LinePieces pieces(fd);
  char line[kMaxLine];
  bool at_end = false;
  int number = 0;
  const char* fault = nullptr;
  while (fault == nullptr && pieces.next(line, at_end)) {
    ++number;
    fault = read_line(line, at_end, state, gathered);
  }
  if (fault == nullptr && pieces.failed()) fault = "I/O error";
  if (fault != nullptr) {
    out.error = fault;
    out.error_line = number;
  }
  return out;
}

std::optional<std::string> PciIdNames::vendor_name(int vendor_id) {
  if (!loaded_) load();
  if (!error_.empty()) return std::nullopt;
  auto found = vendors_.find(vendor_id);
  if (found != vendors_.end()) return found->second;
  char numeric[32];
  std::snprintf(numeric, sizeof numeric, "Vendor %04x", static_cast<unsigned>(vendor_id));
  return std::string(numeric);
}

void PciIdNames::load() {
  loaded_ = true;
  Fd file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return;  // no names: every vendor goes by its ID
  PciIdsContents contents = read_pci_ids(file.get());
  if (contents.error) {
    error_ =
        *contents.error + " at " + path_ + ", line " + std::to_string(contents.error_line) + "\n";
    return;
  }
  vendors_ = std::move(contents.vendors);
}

}  // namespace zanrex
