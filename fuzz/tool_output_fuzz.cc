// The pieces of tool output the inventory reads (the EEPROM tool's version line, the PCI
// listing's Subsystem line). Besides "no crash", checks the shape of what each parser hands
// back.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tool_query.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zanrex;
  std::string piece(reinterpret_cast<const char*>(data), size);

  std::optional<std::string> version = parse_version_line(piece);
  check(version.has_value() == (lower(piece).find("loader file version") != std::string::npos));
  if (version) {
    check(version->size() <= kMaxVersionText);
    for (char c : *version) check(c == '.' || c == '/' || (c >= '0' && c <= '9'));
  }

  std::optional<std::string> type = parse_subsystem_line(piece);
  if (type) {
    check(piece.find("Subsystem") != std::string::npos);
    check(type->size() <= 4);
    check(type->find(':') == std::string::npos && type->find(' ') == std::string::npos);
  }
  return 0;
}
