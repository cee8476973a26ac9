#include "version.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <utility>

namespace zanrex {

namespace {

// Decimal value of a component as atoi reads it, stored in the unsigned field as it falls.
uint32_t component_value(const std::string& text) {
  return static_cast<uint32_t>(std::atoi(text.c_str()));
}

}  // namespace

Version parse_version(const std::string& text) {
  Version v;
  if (text.find('.') != std::string::npos) {
    // The first three dot-separated fields, each cut to its first three characters; the
    // fields of a five-part version after the third (1.4.2.0.0) are not part of the triple.
    std::string fields[3];
    int dots = 0;
    for (char c : text) {
      if (c == '\0') break;
      if (c == '.') {
        if (++dots > 2) break;
        continue;
      }
      if (fields[dots].size() < 3) fields[dots] += c;
    }
    v.major = component_value(fields[0]);
    v.minor = component_value(fields[1]);
    v.release = component_value(fields[2]);
  } else if (text.find("0x") != std::string::npos) {
    v.release = hex_digits_value(text);
  }
  return v;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t hex_digits_value(const std::string& text) {
  uint32_t value = 0;
  uint32_t place = 1;
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    const int digit = hex_digit(*it);
    if (digit < 0) continue;
    value += static_cast<uint32_t>(digit) * place;
    place *= 16;
  }
  return value;
}

std::string display_version(const Version& v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%d.%d.%d", static_cast<int>(v.major), static_cast<int>(v.minor),
                static_cast<int>(v.release));
  return buf;
}

int64_t version_sort_key(const Version& v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d%d%d0000000000", static_cast<int>(v.major),
                static_cast<int>(v.minor), static_cast<int>(v.release));
  buf[10] = '\0';
  return std::strtoll(buf, nullptr, 10);
}

bool is_newer(const Version& candidate, const Version& installed) {
  return std::tie(candidate.major, candidate.minor, candidate.release) >
         std::tie(installed.major, installed.minor, installed.release);
}

bool same_version(const Version& a, const Version& b) {
  return std::tie(a.major, a.minor, a.release) == std::tie(b.major, b.minor, b.release);
}

void sort_version_rows(std::vector<VersionRow>& rows) {
  for (size_t i = 0; i < rows.size(); ++i) {
    size_t m = i;
    for (size_t j = i + 1; j < rows.size(); ++j) {
      if (rows[j].key < rows[m].key) m = j;
    }
    if (m != i) std::swap(rows[i], rows[m]);
  }
}

std::vector<VersionRow> sorted_version_rows(const std::vector<Version>& versions) {
  std::vector<VersionRow> rows;
  rows.reserve(versions.size());
  for (const Version& v : versions) rows.push_back({display_version(v), version_sort_key(v)});
  sort_version_rows(rows);
  return rows;
}

}  // namespace zanrex
