#include "upgrade.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "test_support.h"

namespace zanrex {
namespace {

// A usable adapter at `address` running `installed`, with one catalogue entry per version.
Adapter adapter(const std::string& address, const std::string& installed,
                const std::vector<std::string>& roms) {
  Adapter a;
  a.address = address;
  a.installed = parse_version(installed);
  for (size_t i = 0; i < roms.size(); ++i) {
    Image im;
    im.name = "Card";
    im.version = parse_version(roms[i]);
    im.fw_file1 = "f1_" + roms[i];
    im.fw_file2 = "f2_" + roms[i];
    im.fw_file3 = "f3_" + roms[i];
    ScratchPackage::add(*im.fw_file1, roms[i]);
    for (const auto& file : {im.fw_file2, im.fw_file3}) ScratchPackage::add(*file);
    a.images.push_back(im);
  }
  a.ven_id = 0x8086;
  a.dev_id = 0x24f0;
  a.sub_ven_id = 0x8086;
  a.sub_dev_id = 0x2628;
  a.flags = kNicValid;
  return a;
}

// Upgrade tests run in a scratch package that holds every image file their adapters name.
class Upgrade : public ::testing::Test {
  ScratchPackage package_;
};
class SelectFirmware : public Upgrade {};

void add(TestRun& run, const Adapter& a) {
  run.add_adapter(a);
  run.ctx.intel_ports++;
}

// The addresses whose first step ran, in order.
std::vector<std::string> flashed(const TestRun& run) {
  std::vector<std::string> out;
  for (const auto& c : run.processes.calls) {
    if (c.args.size() > 5 && c.args[4] == "-o") out.push_back(c.args[2].substr(21, 12));
  }
  return out;
}

TEST_F(Upgrade, NewerImageFlashedOnTheDefaultYes) {
  TestRun run("\n");
  add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.4", "1.2.3"}));

  EXPECT_EQ(upgrade_adapters(run.ctx), 0);

  const std::string flashed_line = "Firmware Flashed:\tSUCCESS  for interface 0000:81:00.0\n\n";
  const std::string device = "-d /sys/bus/pci/devices/0000:81:00.0/resource0";
  const std::string executed = "Command Executed: ./nic_fw/";
  EXPECT_EQ(run.console(),
            "Repository has New firmware version for interface 0000:81:00.0................."
            "Please flash the newer version\n"
            "\nCurrent Firmware Version is 1.2.3 on 0000:81:00.0 \n"
            "Repository has 2 firmware available\n"
            "[1] Image Version  1.2.3\n"
            "[2] Image Version  1.2.4\n"
            "\n"
            "Would you like to flash the firmware?\n y/n/q (y):" +
                executed + "hfi1_eprom " + device + " -w -o ./nic_fw/f1_1.2.4\n" + flashed_line +
                executed + "hfi1_eprom " + device + " -w -b ./nic_fw/f2_1.2.4\n" + flashed_line +
                executed + "opatmmtool -v -f ./nic_fw/f3_1.2.4 update\n" + flashed_line +
                "\n\nPlease Reboot node for new image to be loaded into silicon\n\n");
  ASSERT_EQ(run.processes.steps(), 3u);
  EXPECT_EQ(run.processes.calls[0].args[5], "./nic_fw/f1_1.2.4");
  EXPECT_NE(run.log().find("[[INFO]     ] Would you like to flash the firmware?\n y/n/q (y): \n\n"),
            std::string::npos);
}

TEST_F(Upgrade, UpToDateLeftAloneOnTheDefaultNo) {
  TestRun run("\n");
  add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.3"}));

  EXPECT_EQ(upgrade_adapters(run.ctx), 0);

  EXPECT_EQ(run.console(),
            "\nCurrent Firmware Version is 1.2.3 on 0000:81:00.0 \n"
            "Repository has 1 firmware available\n"
            "[1] Image Version  1.2.3\n"
            "\n"
            "Repository doesn't have newer firmware version, Installed firmware version is the "
            "latest one..........Please Quit the updation.\n"
            "Would you like to flash the firmware?\n y/n/q (n):");
  EXPECT_TRUE(run.processes.calls.empty());
  EXPECT_NE(run.log().find("[[WARNING]  ] *** WARNING *** - Installed firmware is the latest "
                           "firmware\n"),
            std::string::npos);
  EXPECT_EQ(run.ctx.status.bits, 0u);
}

TEST_F(Upgrade, EveryReplyWord) {
  struct Case {
    std::string reply;
    int result;
    size_t tool_calls;
  };
  const std::vector<Case> cases = {
      {"y\n", 0, 3}, {"yes\n", 0, 3}, {"Y\n", 0, 3},    {"Yes\n", 0, 3},  {"YES\n", 0, 3},
      {"n\n", 0, 0}, {"no\n", 0, 0},  {"yES\n", 0, 0},  {" y\n", 0, 0},   {"maybe\n", 0, 0},
      {"q\n", 3, 0}, {"Q\n", 3, 0},   {"quit\n", 3, 0}, {"QUIT\n", 3, 0}, {"Quit\n", 3, 0},
      {"c\n", 0, 3}, {"C\n", 0, 3},   {"", 3, 0},       {"y", 0, 3},  // a lone character is that
                                                                      // reply
  };
  for (const Case& c : cases) {
    TestRun run(c.reply);
    add(run, adapter("0000:81:00.0", "2.0.0", {"1.9.9"}));  // older: default no
    EXPECT_EQ(upgrade_adapters(run.ctx), c.result) << '"' << c.reply << '"';
    EXPECT_EQ(run.processes.steps(), c.tool_calls) << '"' << c.reply << '"';
    std::string console = run.console();
    if (c.result == 3) {
      EXPECT_NE(console.find("\nFirmware upgrade cancelled by User \n"), std::string::npos);
    }
    if (c.reply.empty()) {
      EXPECT_NE(console.find("(n):Unknown input problem!\nQuit...\n"), std::string::npos);
    }
  }
}

TEST_F(Upgrade, QuitAtTheSecondOfThreeStopsAtOnce) {
  TestRun run("y\nq\ny\n");
  add(run, adapter("0000:81:00.0", "1.0.0", {"1.0.1"}));
  add(run, adapter("0000:82:00.0", "1.0.0", {"1.0.1"}));
  add(run, adapter("0000:83:00.0", "1.0.0", {"1.0.1"}));

  EXPECT_EQ(upgrade_adapters(run.ctx), 3);

  EXPECT_EQ(flashed(run), std::vector<std::string>{"0000:81:00.0"});
  std::string console = run.console();
  EXPECT_EQ(console.find("0000:83:00.0"), std::string::npos);
  const std::string tail = "\nFirmware upgrade cancelled by User \n";
  EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
  EXPECT_EQ(console.find("Reboot"), std::string::npos);
}

TEST_F(Upgrade, StopAfterAtTheFirstOfTwo) {
  TestRun run("c\ny\n");
  add(run, adapter("0000:81:00.0", "1.0.0", {"1.0.1"}));
  add(run, adapter("0000:82:00.0", "1.0.0", {"1.0.1"}));

  EXPECT_EQ(upgrade_adapters(run.ctx), 0);

  EXPECT_EQ(flashed(run), std::vector<std::string>{"0000:81:00.0"});
  EXPECT_EQ(run.console().find("0000:82:00.0"), std::string::npos);
  EXPECT_EQ(run.ctx.adapters[1].flags, kNicValid);
}

TEST_F(Upgrade, SilentRuns) {
  {
    // Every Intel adapter up to date: nothing written, nothing shown, result 1.
    TestRun run;
    run.ctx.options.silent = true;
    add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.3"}));
    add(run, adapter("0000:82:00.0", "1.2.4", {"1.2.3"}));
    EXPECT_EQ(upgrade_adapters(run.ctx), 1);
    EXPECT_TRUE(run.processes.calls.empty());
    EXPECT_EQ(run.console(), "");
    EXPECT_EQ(run.ctx.fw_invalid_count, 2);
  }
  {
    // An up-to-date adapter after one that was flashed is still skipped.
    TestRun run;
    run.ctx.options.silent = true;
    add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.4"}));
    add(run, adapter("0000:82:00.0", "1.2.4", {"1.2.4"}));
    EXPECT_EQ(upgrade_adapters(run.ctx), 0);
    EXPECT_EQ(flashed(run), std::vector<std::string>{"0000:81:00.0"});
    EXPECT_EQ(run.ctx.fw_invalid_count, 1);
  }
  {
    // An Intel adapter that is not usable is never examined, so the count falls short.
    TestRun run;
    run.ctx.options.silent = true;
    add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.3"}));
    add(run, adapter("0000:82:00.0", "0.0.0", {}));
    run.ctx.adapters[1].flags = 0;
    EXPECT_EQ(upgrade_adapters(run.ctx), 0);
    EXPECT_TRUE(run.processes.calls.empty());
  }
}

TEST_F(Upgrade, ForcedAndAssumeYesReflashAnUpToDateAdapter) {
  for (const char* options : {"sf", "y"}) {
    TestRun run;
    run.ctx.options = options_of(options);
    add(run, adapter("0000:81:00.0", "1.2.3", {"1.2.3"}));
    EXPECT_EQ(upgrade_adapters(run.ctx), 0) << options;
    EXPECT_EQ(flashed(run), std::vector<std::string>{"0000:81:00.0"}) << options;
    EXPECT_EQ(run.ctx.fw_invalid_count, 0);
  }
}

TEST_F(Upgrade, AFailedStepEndsWithErrorsWhateverElseSucceeded) {
  TestRun run("y\ny\n");
  add(run, adapter("0000:81:00.0", "1.0.0", {"1.0.1"}));
  add(run, adapter("0000:82:00.0", "1.0.0", {"1.0.1"}));
  run.processes.codes = {3};  // first step of the first adapter

  EXPECT_EQ(upgrade_adapters(run.ctx), 2);

  EXPECT_EQ(flashed(run), (std::vector<std::string>{"0000:81:00.0", "0000:82:00.0"}));
  EXPECT_EQ(run.processes.steps(), 4u);
  std::string console = run.console();
  EXPECT_NE(console.find("\nNIC firmware update completed with errors. \n"), std::string::npos);
  EXPECT_EQ(console.find("Reboot"), std::string::npos);
}

// Holds what reaches descriptor 2 while alive (a notice is short enough for a pipe).
class CapturedStderr {
 public:
  CapturedStderr() {
    if (pipe(fds_) != 0) return;
    saved_ = dup(2);
    dup2(fds_[1], 2);
    close(fds_[1]);
  }
  ~CapturedStderr() { text(); }
  std::string text() {
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
      char buf[4096];
      for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;) text_.append(buf, n);
      close(fds_[0]);
    }
    return text_;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
  std::string text_;
};

TEST_F(Upgrade, SignalsWaitForTheAdapterAndEndTheRun) {
  const int kStopSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
  struct sigaction before[4];
  for (size_t k = 0; k < 4; ++k) sigaction(kStopSignals[k], nullptr, &before[k]);
  for (bool step_fails : {false, true}) {
    TestRun run("y\ny\n");
    add(run, adapter("0000:81:00.0", "1.0.0", {"1.0.1"}));
    add(run, adapter("0000:82:00.0", "1.0.0", {"1.0.1"}));
    if (step_fails) run.processes.codes = {0, 0, 5};
    // SIGTERM during the first step, SIGINT during the second: neither stops anything.
    run.processes.during_run = [&run](const Command&) {
      if (run.processes.calls.size() == 1) raise(SIGTERM);
      if (run.processes.calls.size() == 2) raise(SIGINT);
    };
    CapturedStderr err;
    EXPECT_EQ(upgrade_adapters(run.ctx), step_fails ? 2 : 3);
    EXPECT_EQ(err.text(),
              "zanrex: signal received; finishing the firmware update of 0000:81:00.0 before "
              "stopping\n");
    EXPECT_EQ(flashed(run), std::vector<std::string>{"0000:81:00.0"});
    EXPECT_EQ(run.processes.steps(), 3u);
    EXPECT_EQ(run.ctx.interrupted_by, SIGTERM);
    std::string log = run.log();
    const std::string last = "[[ERROR]    ] Firmware upgrade interrupted by signal 15\n\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    // Once the adapter is done, the signals are back to what they were (the test runner
    // may have some ignored).
    for (size_t k = 0; k < 4; ++k) {
      struct sigaction now;
      sigaction(kStopSignals[k], nullptr, &now);
      EXPECT_EQ(now.sa_handler, before[k].sa_handler) << kStopSignals[k];
    }
  }
}

TEST_F(Upgrade, ListsBySortKeyAndFlashesTheGreatest) {
  TestRun run("y\n");
  add(run, adapter("0000:81:00.0", "1.0.0", {"1.9.0", "1.10.0"}));

  EXPECT_EQ(upgrade_adapters(run.ctx), 0);

  EXPECT_NE(run.console().find("[1] Image Version  1.10.0\n[2] Image Version  1.9.0\n"),
            std::string::npos);
  ASSERT_FALSE(run.processes.calls.empty());
  EXPECT_EQ(run.processes.calls[0].args[5], "./nic_fw/f1_1.9.0");
}

TEST_F(Upgrade, AdapterWithoutImagesOrNotUsable) {
  TestRun run("y\n");
  add(run, adapter("0000:81:00.0", "1.0.0", {}));
  add(run, adapter("0000:82:00.0", "1.0.0", {"1.0.1"}));
  run.ctx.adapters[1].flags = 0;

  EXPECT_EQ(upgrade_adapters(run.ctx), 0);

  EXPECT_EQ(run.console(),
            "\nCurrent Firmware Version is 1.0.0 on 0000:81:00.0 \n"
            "Repository doesn't have newer firmware version, Installed firmware version is the "
            "latest one..........Please Quit the updation.\n"
            "Would you like to flash the firmware?\n y/n/q (n):"
            "Quitting......................as nothing found in repository\n");
  EXPECT_TRUE(run.processes.calls.empty());
}

TEST_F(SelectFirmware, ImageNamedNotAvailableIsWarnedAboutButStillCompared) {
  TestRun run("n\n");
  Adapter a = adapter("0000:81:00.0", "1.0.0", {"1.0.1", "1.0.0"});
  a.images[1].fw_file1 = "n/a";
  add(run, a);

  EXPECT_EQ(select_firmware(run.ctx, run.ctx.adapters[0]), Decision::kNo);

  EXPECT_NE(run.log().find("[[WARNING]  ] Failed to get firmware image filename from "
                           "nic_fw/NICFWData.xml\n"),
            std::string::npos);
  EXPECT_EQ(run.ctx.adapters[0].flags, 0);
  EXPECT_NE(run.console().find("(y):"), std::string::npos);
}

}  // namespace
}  // namespace zanrex
