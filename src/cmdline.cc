#include "cmdline.h"

#include <getopt.h>

#include <map>

#include "paths.h"

namespace zanrex {

namespace {

bool contains(const std::string& s, const char* what) {
  return s.find(what) != std::string::npos;
}

void rewrite_slash_form(std::string& word, bool allow_f) {
  if (word == "/d" || word == "/u" || word == "/s" || (allow_f && word == "/F")) word[0] = '-';
}

bool looks_like_option(const std::string& word) {
  return contains(word, "-") && word.size() > 1;
}

// The accepted sets are none, -s, -f, -s -f, -y, -p, -c, -d, -u and -s -u, -i beside any: so
// -c, -y, -p and -d stand alone, and -f never goes with -u.
bool combinable(const Options& o) {
  const int stands_alone = o.show_current + o.assume_yes + o.opt_p + o.discovery;
  if (stands_alone > 0) return stands_alone == 1 && !o.silent && !o.force && !o.install_report;
  return !(o.force && o.install_report);
}

}  // namespace

Shape check_shape(std::vector<std::string>& words, std::string& report_path) {
  const size_t argc = words.size();
  if (argc < 1 || argc > 4) return Shape::kUsage;
  if (argc == 4) {
    const std::string& what = words[3];
    if (contains(words[1], "eth") && words[2] == "-bootenable" &&
        (what == "rom" || what == "iscsi" || what == "disabled")) {
      return Shape::kBootEnable;
    }
    return Shape::kUsage;
  }
  if (argc == 1) return Shape::kGoOn;
  if (argc == 2) {
    rewrite_slash_form(words[1], true);
    if (!looks_like_option(words[1])) return Shape::kUsage;
    report_path = kDefaultReportFile;
    return Shape::kGoOn;
  }
  rewrite_slash_form(words[1], false);
  if (words[2] == "/F") words[2] = "-F";
  if (!looks_like_option(words[1])) return Shape::kUsage;
  report_path = words[2];
  return Shape::kGoOn;
}

ParseOutcome parse_options(const std::vector<std::string>& words, Options& o) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  argv.reserve(copy.size() + 1);
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);

  // What each letter sets; -i is accepted, without effect, and -h stops the parser.
  ParseOutcome parsed;
  const std::map<int, bool*> sets = {
      {'h', &parsed.help},      {'c', &o.show_current}, {'s', &o.silent},     {'f', &o.force},
      {'F', &o.force},          {'p', &o.opt_p},        {'y', &o.assume_yes}, {'d', &o.discovery},
      {'u', &o.install_report}, {'i', nullptr}};
  optind = 0;  // a full restart of getopt, so it can be used more than once per process
  opterr = 1;
  int c;
  while (!parsed.help &&
         (c = getopt(static_cast<int>(copy.size()), argv.data(), "hcsFfipydu:")) != -1) {
    auto option = sets.find(c);
    if (option == sets.end()) {
      parsed.bad_option = static_cast<char>(c);
      break;
    }
    if (option->second) *option->second = true;
  }
  return parsed;
}

Mode choose_mode(const Options& o) {
  if (!combinable(o)) return Mode::kUsage;
  if (o.show_current) return Mode::kShowCurrent;
  if (o.discovery) return Mode::kDiscovery;
  if (o.install_report) return Mode::kInstallReport;
  return Mode::kUpgrade;
}

const std::vector<std::string>& usage_lines() {
  static const std::vector<std::string> lines = {
      "USAGE: zanrex [ -s ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n",
      "\t With no option, interactively upgrade firmware. \n",
      "\t -s  Silently upgrade firmware.\n",
      "\t -y  Assume default response for all prompts.\n",
      "\t -d  Generates NIC Discovery xml file for currently installed version.\n",
      "\t -c  Display currently installed firmware information.\n",
      "\t -h  Display this help menu.\n",
  };
  return lines;
}

std::string long_help() {
  return "Usage: zanrex [OPTION] [FILE]\n"
         "List, upgrade and report the firmware of this server's fabric adapters.\n"
         "With no option, interactively upgrade firmware, asking about each adapter.\n"
         "\n"
         "  -c         list the installed and the available firmware; nothing is flashed\n"
         "  -s         silent upgrade: no console messages, every question answered yes;\n"
         "             adapters already at the newest version are skipped\n"
         "  -s -f      silent forced upgrade: flash the catalogue's top image even when it is\n"
         "             not newer (a re-flash or a downgrade); also written -sf\n"
         "  -f, -F     force; changes nothing without -s\n"
         "  -y         answer every question yes: flash the catalogue's top image even when it\n"
         "             is not newer (a re-flash or a downgrade)\n"
         "  -p         accepted for compatibility: an ordinary interactive upgrade\n"
         "  -i         accepted beside any option, without effect\n"
         "  -d [FILE]  write a discovery report to FILE (default nicdiscovery.xml)\n"
         "  -u FILE    install the firmware that the discovery report FILE asks for\n"
         "             (-su FILE: the same, silently)\n"
         "  -h         print the short usage text and exit with status 1\n"
         "  --help     print this help and exit\n"
         "  --version  print the version and exit\n"
         "\n"
         "Run it as root from the unpacked firmware package; see zanrex(1).\n";
}

std::string version_text() {
  return "zanrex " ZANREX_VERSION "\n";
}

std::string banner() {
  const std::string rule(98, '#');
  return "\n" + rule + "\n" + "Quillon Online Firmware Upgrade Utility for Linux\n" + rule + "\n\n";
}

}  // namespace zanrex
