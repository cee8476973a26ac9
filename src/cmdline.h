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

// What the command line asked for. Set while it is read, never changed afterwards.
struct Options {
  bool show_current = false;    // -c: list installed and available firmware
  bool silent = false;          // -s: no console messages, every question answered yes
  bool force = false;           // -f / -F: with -s, re-flash an adapter that is up to date
  bool opt_p = false;           // -p: an ordinary interactive upgrade
  bool assume_yes = false;      // -y: every question answered yes
  bool discovery = false;       // -d: write the discovery report
  bool install_report = false;  // -u: install as a discovery report asks
  std::string report_path;      // the report -d writes or -u reads

  bool quiet() const { return silent || discovery || install_report; }  // no console messages
  bool answers_yes() const { return silent || assume_yes; }      // no question asked: all yes
  bool reads_only() const { return show_current || discovery; }  // a listing or a report
};

// Where option parsing stopped, if before the end.
struct ParseOutcome {
  bool help = false;    // -h was reached
  char bad_option = 0;  // getopt's error character for an unknown option or missing argument
};

// Runs getopt over "hcsFfipydu:" and sets the options it meets in `options`, stopping at -h or
// the first bad option. getopt writes its own diagnostics to standard error.
ParseOutcome parse_options(const std::vector<std::string>& words, Options& options);

enum class Mode { kUsage, kShowCurrent, kDiscovery, kInstallReport, kUpgrade };

// Which mode the options choose, or kUsage for a forbidden combination.
Mode choose_mode(const Options& options);

// The seven lines of the usage text, one message each.
const std::vector<std::string>& usage_lines();

// What --help prints: every option with a line on what it does.
std::string long_help();

// What --version prints: "zanrex VERSION\n".
std::string version_text();

// The banner shown in every mode.
std::string banner();

}  // namespace zanrex
