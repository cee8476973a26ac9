#include "cmdline.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace zanrex {
namespace {

// What the command line `words` (program name left out) comes to: "usage", "bootenable",
// "help", "bad ?", or the chosen mode with the report path, e.g. "current path=nicdiscovery.xml".
std::string outcome(std::vector<std::string> words) {
  words.insert(words.begin(), "zanrex");
  Options o;
  switch (check_shape(words, o.report_path)) {
    case Shape::kUsage:
      return "usage";
    case Shape::kBootEnable:
      return "bootenable";
    case Shape::kGoOn:
      break;
  }
  ParseOutcome p = parse_options(words, o);
  if (p.help) return "help";
  if (p.bad_option) return std::string("bad ") + p.bad_option;
  const char* names[] = {"usage", "current", "discovery", "install", "upgrade"};
  std::string mode = names[static_cast<int>(choose_mode(o))];
  return mode + " path=" + o.report_path;
}

// The letters, in the order "csfpydu", of the options that the command line `words` sets.
std::string set_by(std::vector<std::string> words) {
  words.insert(words.begin(), "zanrex");
  Options o;
  EXPECT_EQ(check_shape(words, o.report_path), Shape::kGoOn);
  parse_options(words, o);
  const bool set[] = {o.show_current, o.silent,    o.force,         o.opt_p,
                      o.assume_yes,   o.discovery, o.install_report};
  std::string text;
  for (size_t i = 0; i < 7; ++i) text += std::string(set[i], "csfpydu"[i]);
  return text;
}

TEST(CommandLine, AcceptedOptionSetsChooseTheirMode) {
  EXPECT_EQ(outcome({}), "upgrade path=");
  EXPECT_EQ(outcome({"-s"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-f"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-F"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-sf"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-s", "-F"}), "upgrade path=-F");
  EXPECT_EQ(outcome({"-y"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-p"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-i"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-ssss"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-c"}), "current path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-ci"}), "current path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-c", "whatever"}), "current path=whatever");
  EXPECT_EQ(outcome({"-d"}), "discovery path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-d", "out/report.xml"}), "discovery path=out/report.xml");
  EXPECT_EQ(outcome({"-u", "in.xml"}), "install path=in.xml");
  EXPECT_EQ(outcome({"-uX"}), "install path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"-su", "in.xml"}), "install path=in.xml");
  EXPECT_EQ(outcome({"-iu", "in.xml"}), "install path=in.xml");

  EXPECT_EQ(set_by({"-sf"}), "sf");
  EXPECT_EQ(set_by({"-su", "x"}), "su");
  EXPECT_EQ(set_by({"-i"}), "");
  EXPECT_EQ(set_by({"-p"}), "p");
  EXPECT_EQ(set_by({"-y"}), "y");
}

TEST(CommandLine, ForbiddenCombinationsShowUsage) {
  for (const char* set :
       {"-sc", "-sp", "-sy", "-sd", "-fc", "-fp", "-fy", "-fd", "-fu",  "-yc",  "-yp",
        "-yd", "-yu", "-pc", "-pd", "-pu", "-cd", "-cu", "-du", "-Fsu", "-sfu", "-cdi"}) {
    std::string w = set;
    if (w.back() == 'u') {
      EXPECT_EQ(outcome({w, "r.xml"}), "usage path=r.xml") << set;
    } else {
      EXPECT_EQ(outcome({w}), "usage path=nicdiscovery.xml") << set;
    }
  }
  EXPECT_EQ(outcome({"-c", "-y"}), "usage path=-y");
  // A pair of each refused kind, and the two accepted pairs.
  EXPECT_EQ(choose_mode(options_of("sc")), Mode::kUsage);
  EXPECT_EQ(choose_mode(options_of("fu")), Mode::kUsage);
  EXPECT_EQ(choose_mode(options_of("yf")), Mode::kUsage);
  EXPECT_EQ(choose_mode(options_of("ps")), Mode::kUsage);
  EXPECT_EQ(choose_mode(options_of("du")), Mode::kUsage);
  EXPECT_EQ(choose_mode(options_of("sf")), Mode::kUpgrade);
  EXPECT_EQ(choose_mode(options_of("su")), Mode::kInstallReport);
}

TEST(CommandLine, SlashForms) {
  EXPECT_EQ(outcome({"/d"}), "discovery path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"/s"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"/F"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(set_by({"/F"}), "f");
  EXPECT_EQ(set_by({"/s", "/F"}), "sf");
  EXPECT_EQ(outcome({"/s", "/F"}), "upgrade path=-F");
  EXPECT_EQ(outcome({"/d", "r.xml"}), "discovery path=r.xml");
  EXPECT_EQ(outcome({"/u", "r.xml"}), "install path=r.xml");
  // A lone /u has no argument for -u.
  EXPECT_EQ(outcome({"/u"}), "bad ?");
  // /F is rewritten only alone or as the second word.
  EXPECT_EQ(outcome({"/F", "x"}), "usage");
  // Only the exact words are rewritten.
  EXPECT_EQ(outcome({"/c"}), "usage");
  EXPECT_EQ(outcome({"/ss"}), "usage");
  EXPECT_EQ(outcome({"/s", "/d"}), "upgrade path=/d");
}

TEST(CommandLine, RefusedShapes) {
  EXPECT_EQ(outcome({"c"}), "usage");
  EXPECT_EQ(outcome({"-"}), "usage");
  EXPECT_EQ(outcome({"c", "-d"}), "usage");
  EXPECT_EQ(outcome({"-", "x"}), "usage");
  EXPECT_EQ(outcome({"-s", "-u", "r.xml"}), "usage");
  EXPECT_EQ(outcome({"-s", "-f", "-y"}), "usage");
  EXPECT_EQ(outcome({"-c", "a", "b", "c"}), "usage");
  EXPECT_EQ(outcome({"eth0", "-bootenable", "rom", "x"}), "usage");
  std::vector<std::string> none;
  std::string path;
  EXPECT_EQ(check_shape(none, path), Shape::kUsage);
}

TEST(CommandLine, BootEnableForm) {
  EXPECT_EQ(outcome({"eth0", "-bootenable", "rom"}), "bootenable");
  EXPECT_EQ(outcome({"myeth", "-bootenable", "iscsi"}), "bootenable");
  EXPECT_EQ(outcome({"eth", "-bootenable", "disabled"}), "bootenable");
  EXPECT_EQ(outcome({"eth0", "-bootenable", "ROM"}), "usage");
  EXPECT_EQ(outcome({"eth0", "-bootenabled", "rom"}), "usage");
  EXPECT_EQ(outcome({"ib0", "-bootenable", "rom"}), "usage");
}

TEST(CommandLine, HelpAndBadOptionsStopTheParser) {
  EXPECT_EQ(outcome({"-h"}), "help");
  EXPECT_EQ(outcome({"-ch"}), "help");
  EXPECT_EQ(outcome({"-x"}), "bad ?");
  EXPECT_EQ(outcome({"-u"}), "bad ?");
  EXPECT_EQ(outcome({"-hx"}), "help");
  EXPECT_EQ(outcome({"-xh"}), "bad ?");
  // Bits set before the stop are kept: they decide whether the usage text is shown.
  EXPECT_EQ(outcome({"-sh"}), "help");
  EXPECT_EQ(set_by({"-sh"}), "s");
  EXPECT_EQ(outcome({"-dx"}), "bad ?");
  EXPECT_EQ(set_by({"-dx"}), "d");
  // The parser starts afresh on every call.
  EXPECT_EQ(set_by({"-c"}), "c");
}

TEST(CommandLine, UsageTextAndBanner) {
  const std::vector<std::string>& lines = usage_lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "USAGE: zanrex [ -s ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n");
  EXPECT_EQ(lines[1], "\t With no option, interactively upgrade firmware. \n");
  EXPECT_EQ(lines[6], "\t -h  Display this help menu.\n");
  const std::string rule(98, '#');
  EXPECT_EQ(banner(),
            "\n" + rule + "\nQuillon Online Firmware Upgrade Utility for Linux\n" + rule + "\n\n");
}

}  // namespace
}  // namespace zanrex
