// Signals and the processes the program starts, on simulated servers: a flashing step is
// never cut, a signal during one ends the run after that adapter, and every tool starts
// clean whatever the caller left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const char kFirst[] = "0000:81:00.0";
const char kSecond[] = "0000:82:00.0";
const char kReboot[] = "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";

std::string catalogue() {
  return "<?xml version=\"1.0\"?>\n<NICFWData>\n"
         "  <nic name=\"HFI\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" "
         "DEVICE_TYPE=\"2628\" subdevid=\"2628\" rom=\"1.3.0\" fwFile1=\"hfi_1.bin\" "
         "fwFile2=\"hfi_2.rom\" fwFile3=\"hfi_3.bin\"/>\n"
         "</NICFWData>\n";
}

// The three tool calls that flash `address`.
// The three tool calls that flash `address`, unit `number` to the thermal tool, and the
// loader's version read back after the first.
std::vector<std::string> flash_calls(const std::string& address, const std::string& number) {
  const std::string device = "-d /sys/bus/pci/devices/" + address + "/resource0";
  return {
      "hfi1_eprom " + device + " -w -o ./nic_fw/hfi_1.bin", "hfi1_eprom " + device + " -V -o",
      "hfi1_eprom " + device + " -w -b ./nic_fw/hfi_2.rom",
      "opatmmtool -v" + (number.empty() ? "" : " -h " + number) + " -f ./nic_fw/hfi_3.bin update"};
}

// Two adapters with an older firmware than the package's; the first write to the first one
// is slow and says when it is done.
void set_up(SimulatedServer& sim) {
  for (const char* address : {kFirst, kSecond}) {
    sim.add_pci_function({address});
    sim.set_installed_version(address, "1.2.0");
  }
  sim.set_catalogue(catalogue());
  ToolReply slow("first write done\n");
  slow.delay = 1.5;
  sim.on_call("hfi1_eprom", "-d /sys/bus/pci/devices/" + std::string(kFirst) + "/resource0 -w -o*",
              slow);
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string tail(const std::string& text, size_t n) {
  return text.size() < n ? text : text.substr(text.size() - n);
}

pid_t group_of(int pid) {
  return getpgid(pid);
}

struct SignalCase {
  const char* what;
  const char* option;  // -s, or -y, which shows the console messages
  std::function<void(int program)> send;
  int logged;              // the signal number the log names
  bool second_step_fails;  // the first adapter's second step ends with 4
  int status;
};

TEST(SignalsE2E, SignalsDuringAWriteStepEndTheRunAfterThatAdapter) {
  const SignalCase cases[] = {
      {"Ctrl-C to the foreground group", "-s", [](int p) { kill(-group_of(p), SIGINT); }, SIGINT,
       false, 3},
      {"hang-up to zanrex alone", "-y", [](int p) { kill(p, SIGHUP); }, SIGHUP, false, 3},
      {"TERM, then Ctrl-C changes nothing", "-s",
       [](int p) {
         kill(p, SIGTERM);
         usleep(200000);
         kill(-group_of(p), SIGINT);
       },
       SIGTERM, false, 3},
      {"quit from the terminal while a step fails", "-s",
       [](int p) { kill(-group_of(p), SIGQUIT); }, SIGQUIT, true, 2},
  };
  for (const SignalCase& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    set_up(sim);
    if (c.second_step_fails) {
      sim.on_call("hfi1_eprom",
                  "-d /sys/bus/pci/devices/" + std::string(kFirst) + "/resource0 -w -b*", {"", 4});
    }
    sim.while_busy(c.send);

    RunResult r = sim.run({c.option});

    EXPECT_EQ(r.status, c.status) << c.what << r.err;
    std::vector<std::string> expected = flash_calls(kFirst, "1");
    if (c.second_step_fails) expected.pop_back();
    std::vector<std::string> steps(r.calls.begin() + std::min<size_t>(2, r.calls.size()),
                                   r.calls.end());  // after the two version queries
    EXPECT_EQ(steps, expected) << c.what;
    // The slow tool was not cut, and the message came once, as soon as the signal arrived.
    EXPECT_EQ(count_of(r.out, "first write done\n"), 1u) << c.what;
    EXPECT_EQ(r.err,
              "zanrex: signal received; finishing the firmware update of 0000:81:00.0 before "
              "stopping\n")
        << c.what;
    EXPECT_EQ(count_of(r.log, "Upgrade SUCCESS"), c.second_step_fails ? 1u : 3u) << c.what;
    const std::string last =
        "[[ERROR]    ] Firmware upgrade interrupted by signal " + std::to_string(c.logged) + "\n\n";
    EXPECT_EQ(tail(r.log, last.size()), last) << c.what;
    // Before it, the adapter's result line (the time stamp is 25 characters).
    const std::string result =
        c.second_step_fails
            ? "[[ERROR]    ] Adapter 0000:81:00.0: firmware update to 1.3.0 failed\n\n"
            : "[[INFO]     ] Adapter 0000:81:00.0: firmware 1.3.0 written; reboot to load it\n\n";
    EXPECT_EQ(tail(r.log, result.size() + 25 + last.size()).substr(0, result.size()), result);
    // A written adapter needs a reboot, which the console says unless the run is silent.
    const bool reboot = c.option == std::string("-y") && !c.second_step_fails;
    EXPECT_EQ(tail(r.out, sizeof kReboot - 1) == kReboot, reboot) << c.what << r.out;
    // Every step but the loader's read-back query has its console line.
    EXPECT_EQ(count_of(r.out, "Command Executed: "), expected.size() - 1) << c.what << r.out;
  }
}

// Whoever reads the console can go away during a slow step that prints progress: the reader
// of a pipe that has read enough (head), or one ended with the rest of the pipeline by Ctrl-C
// (tee). The tools write on to their end; only their copy to the console is lost.
TEST(SignalsE2E, AConsoleReaderThatGoesAwayCutsNoStep) {
  const std::vector<std::string> first = flash_calls(kFirst, "1"),
                                 second = flash_calls(kSecond, "2");
  const std::vector<std::string> writes_of_first = {first[0], first[2], first[3]};
  std::vector<std::string> writes_of_both = writes_of_first;
  writes_of_both.insert(writes_of_both.end(), {second[0], second[2], second[3]});
  const struct {
    const char* caller;
    bool ctrl_c;
    int status;
    std::vector<std::string> writes;
  } cases[] = {
      {"\"$@\" | head -n 2; exit ${PIPESTATUS[0]}", false, 0, writes_of_both},
      // (the caller's own trap lets it report zanrex's status rather than die of the signal)
      {"trap : INT; \"$@\" | tee run.log; exit ${PIPESTATUS[0]}", true, 3, writes_of_first},
  };
  for (const auto& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    set_up(sim);
    ToolReply slow("first write done\n");
    slow.delay = 1.5;
    slow.progress = true;
    sim.on_call("hfi1_eprom",
                "-d /sys/bus/pci/devices/" + std::string(kFirst) + "/resource0 -w -o*", slow);
    sim.set_caller(c.caller);
    if (c.ctrl_c) sim.while_busy([](int p) { kill(-group_of(p), SIGINT); });

    RunResult r = sim.run({"-s"});

    EXPECT_EQ(r.status, c.status) << c.caller << r.err;
    EXPECT_EQ(sim.finished_writes(), c.writes) << c.caller;
    EXPECT_EQ(count_of(r.log, "Upgrade SUCCESS"), c.writes.size()) << c.caller;
    EXPECT_EQ(count_of(r.log, "Firmware Upgrade failed"), 0u) << c.caller;
    EXPECT_EQ(r.err.empty(), !c.ctrl_c) << c.caller << r.err;
  }
}

TEST(SignalsE2E, InstallFromAReportStopsAfterTheInterruptedAdapter) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim);
  ASSERT_EQ(sim.run({"-d"}).status, 0);
  sim.while_busy([](int p) { kill(p, SIGTERM); });
  RunResult r = sim.run({"-u", "nicdiscovery.xml"});
  EXPECT_EQ(r.status, 3) << r.log;
  EXPECT_EQ(r.calls, flash_calls(kFirst, "1"));
  EXPECT_EQ(count_of(r.out, "first write done\n"), 1u);
  EXPECT_NE(r.err.find("finishing the firmware update of 0000:81:00.0"), std::string::npos);
  EXPECT_EQ(tail(r.log, 57), "[[ERROR]    ] Firmware upgrade interrupted by signal 15\n\n");
}

// A caller that leaves SIGCHLD ignored, as daemons and agents often do.
TEST(SignalsE2E, IgnoredChildSignalOfTheCallerChangesNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({kFirst});
  sim.set_installed_version(kFirst, "1.2.0");
  sim.set_catalogue(catalogue());
  sim.set_caller("trap '' CHLD; exec \"$@\"");
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.log;
  std::vector<std::string> steps(r.calls.begin() + 1, r.calls.end());
  EXPECT_EQ(steps, flash_calls(kFirst, ""));
  EXPECT_EQ(count_of(r.log, "Upgrade SUCCESS"), 3u);
  EXPECT_EQ(count_of(r.log, "[ERROR]"), 0u);
}

// What a write tool finds when it starts: no signal ignored (SIGPIPE included, which zanrex
// itself ignores) or blocked, a session of its own, standard input from the null device, and
// no descriptor of zanrex's beyond 0, 1 and 2 but the adapter's lock as 3.
TEST(SignalsE2E, ToolsStartClean) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({kFirst});
  sim.set_installed_version(kFirst, "1.2.0");
  sim.set_catalogue(catalogue());
  sim.set_caller("trap '' CHLD PIPE INT; exec 7</dev/null; exec \"$@\"");
  ToolReply probed;
  probed.probe =
      "while read -r k v; do case $k in SigIgn:|SigBlk:) echo \"$k $v\";; esac; "
      "done < /proc/$$/status; "
      // (the stand-in's shell keeps its own script files from 10 up)
      "for n in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$n ] && echo \"open $n\"; done; "
      "readlink /proc/$$/fd/0; readlink /proc/$$/fd/3 | sed 's|.*/||'; "
      "read -r a b c d group session rest < /proc/$$/stat; "
      "[ \"$group $session\" = \"$$ $$\" ] && echo own session";
  sim.on_call("hfi1_eprom", "*-w -o*", probed);
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_NE(r.out.find("SigBlk: 0000000000000000\nSigIgn: 0000000000000000\nopen 3\n/dev/null\n" +
                       std::string(kFirst) + "\nown session\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace zanrex_test
