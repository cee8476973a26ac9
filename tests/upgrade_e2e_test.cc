// The upgrade run (no option, -s, -s -f, -y, -p) on simulated servers: what is shown, what
// the vendor tools are asked to do, what is logged and how the run ends.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const char kVendor[] = "Intel Corporation";
const char kQuestion[] = "Would you like to flash the firmware?\n y/n/q ";

// One catalogue entry for the default adapter IDs; an empty file name leaves that attribute
// out.
struct Entry {
  std::string rom;
  std::string tag;  // names the three files: <tag>_1.bin, <tag>_2.rom, <tag>_3.bin
  std::string name = "Intel Omni-Path HFI Adapter 100 Series";
  bool omit_file2 = false;
};

std::string catalogue(const std::vector<Entry>& entries) {
  std::string xml = "<?xml version=\"1.0\"?>\n<NICFWData>\n";
  for (const Entry& e : entries) {
    xml += "  <nic name=\"" + e.name +
           "\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
           "subdevid=\"2628\" rom=\"" +
           e.rom + "\" fwFile1=\"" + e.tag + "_1.bin\"";
    if (!e.omit_file2) xml += " fwFile2=\"" + e.tag + "_2.rom\"";
    xml += " fwFile3=\"" + e.tag + "_3.bin\"/>\n";
  }
  return xml + "</NICFWData>\n";
}

struct Card {
  std::string address;
  std::string installed;
};

// A server with `cards` (default IDs) and a catalogue of `entries` for them.
void set_up(SimulatedServer& sim, const std::vector<Card>& cards,
            const std::vector<Entry>& entries) {
  for (const Card& c : cards) {
    sim.add_pci_function({c.address});
    sim.set_installed_version(c.address, c.installed);
  }
  sim.set_catalogue(catalogue(entries));
}

// What the inventory prints for usable `cards`, with the error file's name as /tmp/dataXXXXXX.
std::string inventory_text(const std::vector<Card>& cards) {
  std::string s = "List of OmniPath Adapters detected on the Server.................\n";
  for (size_t i = 0; i < cards.size(); ++i) {
    s += "[" + std::to_string(i) + "] " + cards[i].address + " " + kVendor + "\n";
  }
  s += "\nIf Device Type or FW_Version is not found for some interfaces, please check "
       "/tmp/dataXXXXXX\n\n";
  for (const Card& c : cards) {
    s += "\nIntel OPA Card info for " + c.address + " = FW_VERSION " + c.installed + ", BUS_INFO " +
         c.address + ", Sub_Device_ID 2628\n\n";
  }
  return s;
}

std::string masked(const std::string& out) {
  return std::regex_replace(out, std::regex("/tmp/data[A-Za-z0-9]{6}"), "/tmp/dataXXXXXX");
}

// The comparison, listing and question for one adapter; `rows` in listing order.
std::string decision_text(const Card& c, bool newer, const std::vector<std::string>& rows) {
  std::string s;
  if (newer) {
    s += "Repository has New firmware version for interface " + c.address +
         ".................Please flash the newer version\n";
  }
  s += "\nCurrent Firmware Version is " + c.installed + " on " + c.address + " \n";
  if (!rows.empty()) {
    s += "Repository has " + std::to_string(rows.size()) + " firmware available\n";
    for (size_t i = 0; i < rows.size(); ++i) {
      s += "[" + std::to_string(i + 1) + "] Image Version  " + rows[i] + "\n";
    }
    s += "\n";
  }
  if (!newer) {
    s += "Repository doesn't have newer firmware version, Installed firmware version is the "
         "latest one..........Please Quit the updation.\n";
  }
  return s;
}

std::string question(bool default_yes) {
  return std::string(kQuestion) + (default_yes ? "(y):" : "(n):");
}

std::string device(const std::string& address) {
  return "/sys/bus/pci/devices/" + address + "/resource0";
}

// The tool calls that flash `tag`'s files into the adapter at `address`, the first `steps`
// (the loader's version read back once the first has succeeded); the thermal tool is given
// `number` where the server has several adapters.
std::vector<std::string> flash_calls(const std::string& address, const std::string& tag,
                                     int steps = 3, const std::string& number = "") {
  std::vector<std::string> calls = {
      "hfi1_eprom -d " + device(address) + " -w -o ./nic_fw/" + tag + "_1.bin",
      "hfi1_eprom -d " + device(address) + " -V -o",
      "hfi1_eprom -d " + device(address) + " -w -b ./nic_fw/" + tag + "_2.rom",
      "opatmmtool -v" + (number.empty() ? "" : " -h " + number) + " -f ./nic_fw/" + tag +
          "_3.bin update",
  };
  calls.resize(steps == 1 ? 1 : steps + 1);
  return calls;
}

// The console lines of the first `steps` steps, all succeeding but the last when `fail_last`.
std::string flash_text(const std::string& address, const std::string& tag, int steps = 3,
                       bool fail_last = false, const std::string& number = "") {
  const std::string done = "Firmware Flashed:\tSUCCESS  for interface " + address + "\n\n";
  const std::string lines[3] = {
      "Command Executed: ./nic_fw/hfi1_eprom -d " + device(address) + " -w -o ./nic_fw/" + tag +
          "_1.bin\n",
      "Command Executed: ./nic_fw/hfi1_eprom -d " + device(address) + " -w -b ./nic_fw/" + tag +
          "_2.rom\n",
      "Command Executed: ./nic_fw/opatmmtool -v" + (number.empty() ? "" : " -h " + number) +
          " -f ./nic_fw/" + tag + "_3.bin update\n",
  };
  std::string s;
  for (int i = 0; i < steps; ++i) {
    s += lines[i];
    if (!(fail_last && i == steps - 1)) s += done;
  }
  return s;
}

std::vector<std::string> queries(const std::vector<Card>& cards) {
  std::vector<std::string> calls;
  for (const Card& c : cards) calls.push_back("hfi1_eprom -d " + device(c.address) + " -V -o");
  return calls;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kReboot = "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";
const std::string kCancelled = "\nFirmware upgrade cancelled by User \n";
const std::string kErrors = "\nNIC firmware update completed with errors. \n";

// The log's event texts in order, each time stamp cut off.
std::string log_events(const std::string& log) {
  return std::regex_replace(log,
                            std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:"
                                       "\\d\\d \\d{4} "),
                            "");
}

const Card kA{"0000:81:00.0", "1.2.3"};

TEST(UpgradeE2E, NewerImageFlashedOnTheDefaultYes) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.4", "new"}, {"1.2.3", "same"}});

  RunResult r = sim.run({}, "\n");

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(masked(r.out), kBanner + inventory_text({kA}) +
                               decision_text(kA, true, {"1.2.3", "1.2.4"}) + question(true) +
                               flash_text(kA.address, "new") + kReboot);
  EXPECT_EQ(r.calls, queries({kA}) + flash_calls(kA.address, "new"));
  const std::string success = "[[INFO]     ] MAC              Upgrade SUCCESS\n\n";
  EXPECT_NE(
      log_events(r.log).find(
          "[[INFO]     ] " + question(true) +
          " \n\n\n"
          "[[INFO]     ] \nThe Firmware Upgrade will take several minutes.  Please be "
          "patient.\n\n"
          "[[INFO]     ] \nSelecting Intel Omni-Path HFI Adapter 100 Series MAC:              "
          "\n\n" +
          success + success + success),
      std::string::npos)
      << r.log;
}

TEST(UpgradeE2E, UpToDateLeftAloneOnTheDefaultNo) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.3", "same"}});

  RunResult r = sim.run({}, "\n");

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(masked(r.out),
            kBanner + inventory_text({kA}) + decision_text(kA, false, {"1.2.3"}) + question(false));
  EXPECT_EQ(r.calls, queries({kA}));
  EXPECT_NE(r.log.find("[[WARNING]  ] *** WARNING *** - Installed firmware is the latest "
                       "firmware\n"),
            std::string::npos);
}

TEST(UpgradeE2E, OlderImageWrittenWhenTheOperatorSaysYes) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const Card card{"0000:81:00.0", "2.0.0"};
  set_up(sim, {card}, {{"1.9.9", "old"}});

  // -p, and -f without -s, are ordinary interactive runs: the operator is asked.
  for (const char* option : {"-p", "-f"}) {
    sim.set_installed_version(card.address, card.installed);  // back from the run before
    RunResult r = sim.run({option}, "y\n");

    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(masked(r.out), kBanner + inventory_text({card}) +
                                 decision_text(card, false, {"1.9.9"}) + question(false) +
                                 flash_text(card.address, "old") + kReboot)
        << option;
    EXPECT_EQ(r.calls, queries({card}) + flash_calls(card.address, "old")) << option;
  }
}

TEST(UpgradeE2E, EveryReplyWord) {
  struct Case {
    std::string reply;
    int status;
    bool flashed;
  };
  const std::vector<Case> cases = {
      {"y\n", 0, true},     {"yes\n", 0, true},  {"Y\n", 0, true},     {"Yes\n", 0, true},
      {"YES\n", 0, true},   {"c\n", 0, true},    {"C\n", 0, true},     {"n\n", 0, false},
      {"no\n", 0, false},   {"yES\n", 0, false}, {" y\n", 0, false},   {"sure\n", 0, false},
      {"q\n", 3, false},    {"Q\n", 3, false},   {"quit\n", 3, false}, {"Quit\n", 3, false},
      {"QUIT\n", 3, false}, {"y", 0, true},      {"c", 0, true},
  };
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.3", "same"}});  // default no, so only a yes word flashes
  const std::string shown =
      kBanner + inventory_text({kA}) + decision_text(kA, false, {"1.2.3"}) + question(false);
  for (const Case& c : cases) {
    RunResult r = sim.run({}, c.reply);
    std::string expected = shown;
    if (c.flashed) expected += flash_text(kA.address, "same") + kReboot;
    if (c.status == 3) expected += kCancelled;
    EXPECT_EQ(r.status, c.status) << c.reply;
    EXPECT_EQ(masked(r.out), expected) << c.reply;
    EXPECT_EQ(r.calls, queries({kA}) + (c.flashed ? flash_calls(kA.address, "same")
                                                  : std::vector<std::string>{}))
        << c.reply;
  }

  // Control characters are judged as read (a "y" before a CR is no) and logged as '?'.
  RunResult r = sim.run({}, std::string("\x1b[2Jy\a\0\r\n", 9));
  EXPECT_EQ(masked(r.out), shown);
  EXPECT_EQ(r.calls, queries({kA}));
  EXPECT_NE(log_events(r.log).find("[[INFO]     ] " + question(false) + " ?[2Jy???\n\n"),
            std::string::npos)
      << r.log;
}

TEST(UpgradeE2E, OneCharacterThenEndOfInputIsThatReply) {
  // The default here is yes, so only a reply read as no or quit keeps the flash away.
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.4", "new"}});
  const std::string shown =
      kBanner + inventory_text({kA}) + decision_text(kA, true, {"1.2.4"}) + question(true);
  RunResult r = sim.run({}, "n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(masked(r.out), shown);
  EXPECT_EQ(r.calls, queries({kA}));
  r = sim.run({}, "q");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(masked(r.out), shown + kCancelled);
  EXPECT_EQ(r.calls, queries({kA}));
}

TEST(UpgradeE2E, EndOfInputAtTheQuestionCancels) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.4", "new"}});
  for (Input kind : {Input::kText, Input::kClosed}) {
    RunResult r = sim.run({}, "", kind);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(masked(r.out), kBanner + inventory_text({kA}) + decision_text(kA, true, {"1.2.4"}) +
                                 question(true) + "Unknown input problem!\nQuit...\n" + kCancelled);
    EXPECT_EQ(r.calls, queries({kA}));
  }
}

TEST(UpgradeE2E, QuitAtTheSecondOfThreeAdapters) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const std::vector<Card> cards = {
      {"0000:05:00.0", "1.2.3"}, {"0000:81:00.0", "1.2.3"}, {"0000:82:00.0", "1.2.3"}};
  set_up(sim, cards, {{"1.2.4", "new"}});

  RunResult r = sim.run({}, "y\nq\ny\n");

  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(masked(r.out),
            kBanner + inventory_text(cards) + decision_text(cards[0], true, {"1.2.4"}) +
                question(true) + flash_text(cards[0].address, "new", 3, false, "1") +
                decision_text(cards[1], true, {"1.2.4"}) + question(true) + kCancelled);
  EXPECT_EQ(r.calls, queries(cards) + flash_calls(cards[0].address, "new", 3, "1"));
}

TEST(UpgradeE2E, StopAfterTheFirstOfTwoAdapters) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const std::vector<Card> cards = {{"0000:81:00.0", "1.2.3"}, {"0000:82:00.0", "1.2.3"}};
  set_up(sim, cards, {{"1.2.4", "new"}});

  RunResult r = sim.run({}, "c\ny\n");

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(masked(r.out), kBanner + inventory_text(cards) +
                               decision_text(cards[0], true, {"1.2.4"}) + question(true) +
                               flash_text(cards[0].address, "new", 3, false, "1") + kReboot);
  EXPECT_EQ(r.calls, queries(cards) + flash_calls(cards[0].address, "new", 3, "1"));
}

TEST(UpgradeE2E, SilentRunWithEverythingUpToDateWritesNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const std::vector<Card> cards = {{"0000:81:00.0", "1.2.3"}, {"0000:82:00.0", "1.2.3"}};
  set_up(sim, cards, {{"1.2.3", "same"}});

  RunResult r = sim.run({"-s"});

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.calls, queries(cards));
  EXPECT_EQ(r.log.find("Selecting"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("several minutes"), std::string::npos) << r.log;
}

TEST(UpgradeE2E, SilentRunFlashesNewerAndSkipsUpToDateAfterIt) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const std::vector<Card> cards = {{"0000:81:00.0", "1.2.3"}, {"0000:82:00.0", "1.2.4"}};
  set_up(sim, cards, {{"1.2.4", "new"}});

  RunResult r = sim.run({"-s"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + "Command Executed: ./nic_fw/hfi1_eprom -d " +
                       device(cards[0].address) + " -w -o ./nic_fw/new_1.bin\n" +
                       "Command Executed: ./nic_fw/hfi1_eprom -d " + device(cards[0].address) +
                       " -w -b ./nic_fw/new_2.rom\n" +
                       "Command Executed: ./nic_fw/opatmmtool -v -h 1 -f ./nic_fw/new_3.bin "
                       "update\n");
  EXPECT_EQ(r.calls, queries(cards) + flash_calls(cards[0].address, "new", 3, "1"));
  // One result line, right after the flashed adapter's last step; none for the skipped one.
  EXPECT_NE(
      log_events(r.log).find("Upgrade SUCCESS\n\n[[INFO]     ] Adapter 0000:81:00.0: firmware "
                             "1.2.4 written; reboot to load it\n\n"),
      std::string::npos);
  EXPECT_EQ(r.log.find("Adapter 0000:82:00.0"), std::string::npos) << r.log;
}

TEST(UpgradeE2E, ForcedSilentAndAssumeYesReflashUpToDate) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.3", "same"}});
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-sf"}, {"-s", "-F"}, {"/s", "/F"}}) {
    RunResult r = sim.run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.calls, queries({kA}) + flash_calls(kA.address, "same")) << args[0];
    EXPECT_EQ(r.out.find("Firmware Flashed"), std::string::npos);
  }
  RunResult r = sim.run({"-y"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(masked(r.out), kBanner + inventory_text({kA}) + decision_text(kA, false, {"1.2.3"}) +
                               flash_text(kA.address, "same") + kReboot);
  EXPECT_EQ(r.calls, queries({kA}) + flash_calls(kA.address, "same"));
}

TEST(UpgradeE2E, FailedStepsEndTheAdapterAndTheRunWithErrors) {
  const std::vector<Card> cards = {{"0000:81:00.0", "1.2.3"}, {"0000:82:00.0", "1.2.3"}};
  struct Case {
    std::string what;
    std::string tool;
    std::string pattern;
    ToolReply reply;
    int failing_step;  // 1-based
  };
  const std::vector<Case> cases = {
      {"first step exits 3",
       "hfi1_eprom",
       "-d " + device(cards[0].address) + " -w -o *",
       {"", 3},
       1},
      {"second step exits 1",
       "hfi1_eprom",
       "-d " + device(cards[0].address) + " -w -b *",
       {"", 1},
       2},
      {"first step killed by SIGSEGV",
       "hfi1_eprom",
       "-d " + device(cards[0].address) + " -w -o *",
       {"", 0, SIGSEGV},
       1},
      {"third step killed by SIGKILL", "opatmmtool", "-v *", {"", 0, SIGKILL}, 3},
      // The thermal tool's read-back differs from the image: it says so and ends with 0.
      {"third step says its update failed",
       "opatmmtool",
       "-v *",
       {"", 0, 0, "Firmware Update Failed\n"},
       3},
  };
  for (const Case& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    set_up(sim, cards, {{"1.2.4", "new"}});
    sim.on_call(c.tool, c.pattern, c.reply);

    RunResult r = sim.run({"-y"});

    EXPECT_EQ(r.status, 2) << c.what;
    // A failing third step fails for both adapters: the pattern names no device.
    bool both = c.tool == "opatmmtool";
    std::string expected = kBanner + inventory_text(cards) +
                           decision_text(cards[0], true, {"1.2.4"}) +
                           flash_text(cards[0].address, "new", c.failing_step, true, "1") +
                           decision_text(cards[1], true, {"1.2.4"}) +
                           flash_text(cards[1].address, "new", 3, both, "2") + kErrors;
    EXPECT_EQ(masked(r.out), expected) << c.what;
    EXPECT_EQ(r.calls, queries(cards) + flash_calls(cards[0].address, "new", c.failing_step, "1") +
                           flash_calls(cards[1].address, "new", 3, "2"))
        << c.what;
    const std::string failed = "[[ERROR]    ] Firmware Upgrade failed\n \n\n";
    EXPECT_NE(log_events(r.log).find(failed), std::string::npos) << c.what << r.log;
  }
}

TEST(UpgradeE2E, ToolThatCannotBeStartedIsAFailedStep) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.4", "new"}});
  sim.remove_file("nic_fw/opatmmtool");

  RunResult r = sim.run({"-y"});

  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(masked(r.out), "opatmmtool command is not found\n\n" + kBanner + inventory_text({kA}) +
                               decision_text(kA, true, {"1.2.4"}) +
                               flash_text(kA.address, "new", 3, true) + kErrors);
  EXPECT_EQ(r.calls, queries({kA}) + flash_calls(kA.address, "new", 2));
  EXPECT_NE(r.log.find("Firmware Upgrade failed"), std::string::npos);
}

TEST(UpgradeE2E, ChoiceAmongSeveralImages) {
  struct Case {
    std::string what;
    std::vector<Entry> entries;
    std::vector<std::string> rows;
    std::string flashed;
  };
  const std::vector<Case> cases = {
      {"greatest sort key, not greatest version",
       {{"1.10.0", "ten"}, {"1.9.0", "nine"}},
       {"1.10.0", "1.9.0"},
       "nine"},
      {"two entries of one version: the first",
       {{"1.2.5", "first"}, {"1.2.4", "other"}, {"1.2.5", "second"}},
       {"1.2.4", "1.2.5", "1.2.5"},
       "first"},
      {"the three files of one entry",
       {{"1.2.4", "x"}, {"1.2.5", "y"}, {"1.2.3", "z"}},
       {"1.2.3", "1.2.4", "1.2.5"},
       "y"},
  };
  for (const Case& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    const Card card{"0000:81:00.0", "1.0.0"};
    set_up(sim, {card}, c.entries);

    RunResult r = sim.run({}, "y\n");

    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_EQ(masked(r.out), kBanner + inventory_text({card}) + decision_text(card, true, c.rows) +
                                 question(true) + flash_text(card.address, c.flashed) + kReboot)
        << c.what;
    EXPECT_EQ(r.calls, queries({card}) + flash_calls(card.address, c.flashed)) << c.what;
  }
}

TEST(UpgradeE2E, EntryWithoutItsSecondFileIsNotFlashed) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  Entry entry{"1.2.4", "new"};
  entry.omit_file2 = true;
  set_up(sim, {kA}, {entry});

  RunResult r = sim.run({"-y"});

  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(masked(r.out),
            kBanner + inventory_text({kA}) + decision_text(kA, true, {"1.2.4"}) + kErrors);
  EXPECT_EQ(r.calls, queries({kA}));
  EXPECT_NE(log_events(r.log).find("[[ERROR]    ] Firmware Upgrade failed\n image file name "
                                   "missing in XML for 0000:81:00.0\n\n"),
            std::string::npos)
      << r.log;
}

TEST(UpgradeE2E, MissingImageFileWritesNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kA}, {{"1.2.4", "new"}});
  sim.remove_file("nic_fw/new_2.rom");

  RunResult r = sim.run({}, "y\n");

  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(masked(r.out), kBanner + inventory_text({kA}) + decision_text(kA, true, {"1.2.4"}) +
                               question(true) + kErrors);
  EXPECT_EQ(r.calls, queries({kA}));
  EXPECT_NE(log_events(r.log).find("[[ERROR]    ] Firmware Upgrade failed\n image file "
                                   "./nic_fw/new_2.rom not found in the package\n\n"),
            std::string::npos)
      << r.log;
}

TEST(UpgradeE2E, InventoryFailuresTouchNoAdapter) {
  const std::string incomplete =
      "\nNIC firmware update did not complete.  Check log for errors. \n";
  {
    // No fabric function at all.
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    sim.set_catalogue(catalogue({{"1.2.4", "new"}}));
    RunResult r = sim.run({}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.calls, std::vector<std::string>{});
    EXPECT_NE(r.out.find(incomplete), std::string::npos) << r.out;
    EXPECT_EQ(log_events(r.log), "[[ERROR]    ] No fabric adapter (PCI class 0x0208) found\n\n");
  }
  {
    // The only Intel adapter's version cannot be read.
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    sim.add_pci_function({"0000:81:00.0"});
    sim.set_catalogue(catalogue({{"1.2.4", "new"}}));
    RunResult r = sim.run({"-y"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.calls, queries({kA}));
    const std::string tail = incomplete;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  }
  {
    // Only another vendor's function of the class.
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    sim.add_pci_function({"0000:81:00.0", 0x020800, 0x15b3, 0x1013, 0x15b3, 0x0003});
    sim.set_catalogue(catalogue({{"1.2.4", "new"}}));
    RunResult r = sim.run({"-s"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.calls, std::vector<std::string>{});
    EXPECT_EQ(r.log.find("No fabric adapter"), std::string::npos) << r.log;
  }
}

TEST(UpgradeE2E, SilentRunCountsOnlyExaminedAdapters) {
  // An Intel adapter whose version cannot be read is never examined, so a silent run with the
  // other one up to date ends 0, not 1.
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.4");
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_catalogue(catalogue({{"1.2.4", "new"}}));

  RunResult r = sim.run({"-s"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.calls, queries({{"0000:81:00.0", ""}, {"0000:82:00.0", ""}}));
}

}  // namespace
}  // namespace zanrex_test
