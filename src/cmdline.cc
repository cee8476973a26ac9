#include "cmdline.h"

#include <getopt.h>

#include "paths.h"
#include "run_flags.h"

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

ParsedOptions parse_options(const std::vector<std::string>& words) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  argv.reserve(copy.size() + 1);
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);

  ParsedOptions parsed;
  optind = 0;  // a full restart of getopt, so it can be used more than once per process
  opterr = 1;
  int c;
  while ((c = getopt(static_cast<int>(copy.size()), argv.data(), "hcsFfipydu:")) != -1) {
    switch (c) {
      case 'h':
        parsed.help = true;
        return parsed;
      case 'c':
        parsed.flags |= kShowCurrent;
        break;
      case 's':
        parsed.flags |= kSilent;
        parsed.silent = 2;
        break;
      case 'f':
      case 'F':
        parsed.flags |= kForce;
        break;
      case 'i':
        break;  // accepted, without effect
      case 'p':
        parsed.flags |= kOptP;
        break;
      case 'y':
        parsed.flags |= kAssumeYes;
        break;
      case 'd':
        parsed.flags |= kDiscovery;
        break;
      case 'u':
        parsed.flags |= kInstallReport;
        break;
      default:
        parsed.bad_option = static_cast<char>(c);
        return parsed;
    }
  }
  return parsed;
}

Mode choose_mode(int f) {
  if ((f & kSilent) && (f & 0x39)) return Mode::kUsage;
  if ((f & kForce) && (f & 0x79)) return Mode::kUsage;
  if ((f & kAssumeYes) && (f & 0x6d)) return Mode::kUsage;
  if ((f & kOptP) && (f & 0x67)) return Mode::kUsage;
  if (f & kShowCurrent) return (f & 0x7e) ? Mode::kUsage : Mode::kShowCurrent;
  if (f & kDiscovery) return (f & 0x5f) ? Mode::kUsage : Mode::kDiscovery;
  if (f & kInstallReport) return (f & 0x3d) ? Mode::kUsage : Mode::kInstallReport;
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
