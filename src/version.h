// Firmware version texts, their triples, display form and sort key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zanrex {

struct Version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t release = 0;
};

// Parses a version text from a tool, the catalogue or a report. Never fails: text of an
// unexpected shape yields zeros or partial values.
Version parse_version(const std::string& text);

// The value of the hexadecimal digit `c` (0-9, a-f, A-F), or -1: the one reader of hexadecimal
// digits, for versions, report IDs and PCI addresses.
int hex_digit(char c);

// Value of the hexadecimal digits of `text`, other characters skipped, wrapping at 32 bits.
uint32_t hex_digits_value(const std::string& text);

// "%d.%d.%d" of the triple.
std::string display_version(const Version& v);

// The digits "%d%d%d" padded with zeros and cut to ten characters, read as a number.
int64_t version_sort_key(const Version& v);

// True when `candidate` is greater than `installed`, major first.
bool is_newer(const Version& candidate, const Version& installed);
bool same_version(const Version& a, const Version& b);

// One row of a version table: its display text and its sort key.
struct VersionRow {
  std::string text;
  int64_t key = 0;
};

// Rows of `versions` in order, then sorted ascending by key with the selection sort whose
// handling of equal keys the tables rely on.
std::vector<VersionRow> sorted_version_rows(const std::vector<Version>& versions);
void sort_version_rows(std::vector<VersionRow>& rows);

}  // namespace zanrex
