// The command line end to end: start-up commands, banner, usage text, refusals.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const std::string kUsage =
    "USAGE: zanrex [ -s ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
    "\t With no option, interactively upgrade firmware. \n"
    "\t -s  Silently upgrade firmware.\n"
    "\t -y  Assume default response for all prompts.\n"
    "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(CommandLineE2E, HelpShowsTheUsageAloneAndTouchesNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  RunResult r = sim.run({"-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kUsage);  // no banner, and nothing from the start-up commands
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.calls.empty());
  EXPECT_FALSE(sim.file_exists("intel_OPA.log"));  // the usage path opens no log
}

TEST(CommandLineE2E, LongHelpAndVersionAloneExitZeroAndTouchNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.remove_file("nic_fw/opatmmtool");  // a start-up probe would say so on the console
  RunResult r = sim.run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zanrex " ZANREX_VERSION "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.calls.empty());

  r = sim.run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.calls.empty());
  EXPECT_EQ(r.out.find("#"), std::string::npos);  // no banner
  EXPECT_EQ(r.out.find("opatmmtool"), std::string::npos);
  std::istringstream lines(r.out);
  std::string line, options;
  while (std::getline(lines, line)) {
    if (line.rfind("  -", 0) == 0) options += line.substr(2, line.find("  ", 2) - 2) + " ";
  }
  EXPECT_EQ(options, "-c -s -s -f -f, -F -y -p -i -d [FILE] -u FILE -h --help --version ");
  const std::string top_image = "flash the catalogue's top image even when it";
  const size_t forced = r.out.find("  -s -f");
  EXPECT_NE(r.out.find(top_image, forced), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(top_image, r.out.find("  -y")), std::string::npos) << r.out;
  EXPECT_FALSE(sim.file_exists("intel_OPA.log"));

  r = sim.run({"--help", "-c"});  // not alone: an option the parser does not know
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLineE2E, BannerOpensEveryModeTheSilentOnesIncluded) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-c"}, {"-s"}, {"-sf"}, {"-d"}, {"-d", "elsewhere.xml"}, {"-su", "none.xml"}}) {
    RunResult r = sim.run(args);
    EXPECT_TRUE(starts_with(r.out, kBanner)) << args[0] << "\n" << r.out;
  }
  sim.remove_file("intel_OPA.log");  // the modes above open it; the refusals below must not
  // Refused after parsing: the banner, then the usage text unless -s silences it.
  RunResult r = sim.run({"-cy"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + kUsage);
  r = sim.run({"-sc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner);
  r = sim.run({"-du", "r.xml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_FALSE(sim.file_exists("intel_OPA.log"));
}

TEST(CommandLineE2E, RefusedShapesShowTheUsageWithoutBanner) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"c"},
                                             {"-"},
                                             {"/F", "x"},
                                             {"-s", "-u", "r.xml"},
                                             {"-s", "-f", "-y"},
                                             {"-c", "a", "b", "c"},
                                             {"eth0", "-bootenable", "rom", "now"}}) {
    RunResult r = sim.run(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.out, kUsage) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
}

TEST(CommandLineE2E, UnknownOptionsAndMissingArgument) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  for (const char* bad : {"-u", "-x", "-cx"}) {
    RunResult r = sim.run({bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, "Unknown command line option: ?\n" + kUsage) << bad;
    EXPECT_NE(r.err, "") << bad;  // the option parser's own diagnostic
  }
  // A silencing option before the bad one hides the message and the usage text.
  for (const char* bad : {"-sx", "-dx", "-su", "-sh"}) {
    RunResult r = sim.run({bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, "") << bad;
  }
  EXPECT_TRUE(sim.run({"-xs"}).out.find("Unknown command line option: ?\n") == 0);
}

TEST(CommandLineE2E, BootEnableFormEndsQuietlyWithSuccess) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  for (const char* what : {"rom", "iscsi", "disabled"}) {
    RunResult r = sim.run({"eth0", "-bootenable", what});
    EXPECT_EQ(r.status, 0) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, "") << what;
    EXPECT_TRUE(r.calls.empty());
  }
  EXPECT_FALSE(sim.file_exists("intel_OPA.log"));
}

TEST(CommandLineE2E, ProbeOfTheThermalTool) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  // Only a missing tool is reported; a tool that fails or dies is not.
  sim.on_call("opatmmtool", "", {"probe output\n", 3, 0, "probe error\n"});
  RunResult r = sim.run({"-h"});
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
  sim.on_call("opatmmtool", "", {"", 0, 9});
  EXPECT_EQ(sim.run({"-h"}).out, kUsage);

  sim.remove_file("nic_fw/opatmmtool");
  r = sim.run({"-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "opatmmtool command is not found\n\n" + kUsage);
  EXPECT_EQ(r.err, "");
  // Written straight to the console: silent runs show it too.
  r = sim.run({"-sh"});
  EXPECT_EQ(r.out, "opatmmtool command is not found\n\n");
  r = sim.run({"eth0", "-bootenable", "rom"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "opatmmtool command is not found\n\n");
}

TEST(CommandLineE2E, EventLogThatCannotBeOpenedEndsTheRun) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.write_file("intel_OPA.log/keep", "");  // a directory where the log belongs
  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "FWUPG_ERROR: could not open intel_OPA.log (21), intel_OPA,1\n");
  EXPECT_TRUE(r.calls.empty());  // nothing was asked of any adapter
}

TEST(CommandLineE2E, EventLogAccumulatesOverRuns) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  // An adapter the catalogue has no image for, so each run logs an error line.
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue("<?xml version=\"1.0\"?>\n<NICFWData>\n</NICFWData>\n");
  sim.write_file("intel_OPA.log", "from an earlier run\n");
  EXPECT_EQ(sim.run({"-c"}).status, 0);
  std::string after_one = sim.read_file("intel_OPA.log");
  EXPECT_TRUE(starts_with(after_one, "from an earlier run\n")) << after_one;
  EXPECT_EQ(sim.run({"-c"}).status, 0);
  std::string after_two = sim.read_file("intel_OPA.log");
  EXPECT_TRUE(starts_with(after_two, after_one)) << after_two;
  // Every line the runs added starts with a time stamp and a double-bracketed tag.
  std::istringstream lines(after_two.substr(after_one.size()));
  int entries = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    ASSERT_GE(line.size(), 40u) << line;
    EXPECT_EQ(line.substr(24, 2), " [") << line;
    EXPECT_TRUE(line.substr(26, 13) == "[INFO]     ] " || line.substr(26, 13) == "[WARNING]  ] " ||
                line.substr(26, 13) == "[ERROR]    ] ")
        << line;
    ++entries;
  }
  EXPECT_GT(entries, 0);
}

}  // namespace
}  // namespace zanrex_test
