#include "cmdline.h"

#include <gtest/gtest.h>

#include "run_flags.h"

namespace zanrex {
namespace {

// What the command line `words` (program name left out) comes to: "usage", "bootenable",
// "help", "bad ?", or the chosen mode with the report path, e.g. "current path=nicdiscovery.xml".
std::string outcome(std::vector<std::string> words) {
  words.insert(words.begin(), "zanrex");
  std::string path;
  switch (check_shape(words, path)) {
    case Shape::kUsage:
      return "usage";
    case Shape::kBootEnable:
      return "bootenable";
    case Shape::kGoOn:
      break;
  }
  ParsedOptions p = parse_options(words);
  if (p.help) return "help";
  if (p.bad_option) return std::string("bad ") + p.bad_option;
  const char* names[] = {"usage", "current", "discovery", "install", "upgrade"};
  std::string mode = names[static_cast<int>(choose_mode(p.flags))];
  return mode + " path=" + path;
}

int flags_of(std::vector<std::string> words) {
  words.insert(words.begin(), "zanrex");
  std::string path;
  EXPECT_EQ(check_shape(words, path), Shape::kGoOn);
  return parse_options(words).flags;
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

  EXPECT_EQ(flags_of({"-sf"}), kSilent | kForce);
  EXPECT_EQ(flags_of({"-su", "x"}), kSilent | kInstallReport);
  EXPECT_EQ(flags_of({"-i"}), 0);
  EXPECT_EQ(flags_of({"-p"}), kOptP);
  EXPECT_EQ(flags_of({"-y"}), kAssumeYes);
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
  // Each rule on its own, in the order they are tried.
  EXPECT_EQ(choose_mode(kSilent | kShowCurrent), Mode::kUsage);
  EXPECT_EQ(choose_mode(kForce | kInstallReport), Mode::kUsage);
  EXPECT_EQ(choose_mode(kAssumeYes | kForce), Mode::kUsage);
  EXPECT_EQ(choose_mode(kOptP | kSilent), Mode::kUsage);
  EXPECT_EQ(choose_mode(kDiscovery | kInstallReport), Mode::kUsage);
  EXPECT_EQ(choose_mode(kSilent | kForce), Mode::kUpgrade);
  EXPECT_EQ(choose_mode(kSilent | kInstallReport), Mode::kInstallReport);
}

TEST(CommandLine, SlashForms) {
  EXPECT_EQ(outcome({"/d"}), "discovery path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"/s"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(outcome({"/F"}), "upgrade path=nicdiscovery.xml");
  EXPECT_EQ(flags_of({"/F"}), kForce);
  EXPECT_EQ(flags_of({"/s", "/F"}), kSilent | kForce);
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
  std::vector<std::string> w = {"zanrex", "-sh"};
  ParsedOptions p = parse_options(w);
  EXPECT_TRUE(p.help);
  EXPECT_EQ(p.flags, kSilent);
  EXPECT_EQ(p.silent, 2);
  w = {"zanrex", "-dx"};
  p = parse_options(w);
  EXPECT_EQ(p.bad_option, '?');
  EXPECT_EQ(p.flags, kDiscovery);
  // The parser starts afresh on every call.
  w = {"zanrex", "-c"};
  EXPECT_EQ(parse_options(w).flags, kShowCurrent);
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
