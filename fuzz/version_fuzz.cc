// Version texts from tools, catalogues and reports: parsing, display form, sort key, ordering.
// Besides "no crash", checks the properties the tables and decisions rely on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "version.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const zanrex::Version& a, const zanrex::Version& b) {
  return a.major == b.major && a.minor == b.minor && a.release == b.release;
}

void check_one(const std::string& text) {
  using namespace zanrex;
  Version v = parse_version(text);
  std::string shown = display_version(v);
  version_sort_key(v);
  bool plain = text.find('\0') == std::string::npos;
  if (plain && text.find('.') != std::string::npos) {
    // The display form is itself a dotted text that parses back to the same triple.
    check(same(parse_version(shown), v));
  } else if (plain && text.find("0x") != std::string::npos) {
    check(v.major == 0 && v.minor == 0 && v.release == hex_digits_value(text));
  } else if (plain) {
    check(same(v, Version{}));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zanrex;
  std::string input(reinterpret_cast<const char*>(data), size);
  check_one(input);

  // Lines of the input as the versions of one adapter's images.
  std::vector<Version> versions;
  size_t start = 0;
  while (start <= input.size() && versions.size() < 64) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    versions.push_back(parse_version(input.substr(start, end - start)));
    start = end + 1;
  }
  std::vector<VersionRow> rows = sorted_version_rows(versions);
  check(rows.size() == versions.size());
  for (size_t i = 1; i < rows.size(); ++i) check(rows[i - 1].key <= rows[i].key);

  for (size_t i = 0; i + 1 < versions.size(); ++i) {
    const Version& a = versions[i];
    const Version& b = versions[i + 1];
    bool ab = is_newer(a, b);
    bool ba = is_newer(b, a);
    check(!(ab && ba));
    check(same_version(a, b) == (!ab && !ba));
  }
  return 0;
}
