// The command line: its shape, the options and which of them may be combined.
#pragma once

#include <string>
#include <vector>

namespace zanrex {

enum class Shape { kGoOn, kUsage, kBootEnable };

// Checks the shape of the whole command line (program name included) and rewrites the
// "/d", "/u", "/s" and "/F" forms in place. Sets `report_path` from the second word, or the
// default name for a single word.
Shape check_shape(std::vector<std::string>& words, std::string& report_path);

// Outcome of option parsing.
struct ParsedOptions {
  int flags = 0;        // option bits
  bool help = false;    // -h was reached
  char bad_option = 0;  // getopt's error character for an unknown option or missing argument
  int silent = 0;       // 2 once -s was seen
};

// Runs getopt over "hcsFfipydu:", stopping at -h or the first bad option. getopt writes its
// own diagnostics to standard error.
ParsedOptions parse_options(const std::vector<std::string>& words);

enum class Mode { kUsage, kShowCurrent, kDiscovery, kInstallReport, kUpgrade };

// Which mode the option bits choose, or kUsage for a forbidden combination.
Mode choose_mode(int option_flags);

// The seven lines of the usage text, one message each.
const std::vector<std::string>& usage_lines();

// What --help prints: every option with a line on what it does.
std::string long_help();

// What --version prints: "zanrex VERSION\n".
std::string version_text();

// The banner shown in every mode.
std::string banner();

}  // namespace zanrex
