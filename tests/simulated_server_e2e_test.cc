// Checks that the simulated server behaves as the other end-to-end tests rely on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

// Runs a shell command and returns its standard output and exit status.
std::string shell_output(const std::string& command, int* status) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

TEST(SimulatedServer, RunsTheProgramWithoutRecordingTheProbe) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  RunResult r = sim.run({"-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("####"), std::string::npos);
  EXPECT_EQ(r.out.rfind("USAGE: zanrex", 0), 0u);
  EXPECT_TRUE(r.calls.empty());
  EXPECT_EQ(r.log, "");
}

TEST(SimulatedServer, StandInToolsRecordAndAnswerByRule) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.on_call("hfi1_eprom", "*-w -o*", {"first\n", 0});
  sim.on_call("hfi1_eprom", "*-w -o ./nic_fw/bad*", {"", 4});
  sim.on_call("opatmmtool", "* update", {"dying\n", 0, SIGKILL});
  const std::string tools = "cd '" + sim.dir() + "' && exec ./nic_fw/";
  int status = 0;

  EXPECT_EQ(shell_output(tools + "hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o",
                         &status),
            "loader file version: 1.2.3\n");
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(shell_output(tools + "hfi1_eprom -d x -w -o ./nic_fw/good.bin", &status), "first\n");
  EXPECT_EQ(shell_output(tools + "hfi1_eprom -d x -w -o ./nic_fw/bad.bin", &status), "");
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(shell_output(tools + "opatmmtool -v -f 'a b.bin' update", &status), "dying\n");
  EXPECT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 128 + SIGKILL);
  EXPECT_EQ(shell_output(tools + "opatmmtool", &status), "");
  EXPECT_EQ(shell_output(tools + "hfi1_eprom -V", &status), "");
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::vector<std::string> expected = {
      "hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o",
      "hfi1_eprom -d x -w -o ./nic_fw/good.bin",
      "hfi1_eprom -d x -w -o ./nic_fw/bad.bin",
      "opatmmtool -v -f a b.bin update",
      "hfi1_eprom -V",
  };
  EXPECT_EQ(sim.recorded_calls(), expected);
}

TEST(SimulatedServer, DescribesPciFunctionsOnAnyDomainAndBus) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:00:02.0"});
  sim.add_pci_function({"0000:81:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0xe8f1});
  sim.add_pci_function({"0000:81:00.1", 0x020000, 0x15b3, 0x1013, 0x15b3, 0x0003});
  sim.add_pci_function({"0001:0a:1f.7"});
  int status = 0;
  std::string lspci = shell_output(
      "umockdev-run -d '" + sim.write_device_file() + "' -- lspci -n 2>/dev/null", &status);
  EXPECT_EQ(lspci,
            "0000:00:02.0 0208: 8086:24f0 (rev 11)\n"
            "0000:81:00.0 0208: 8086:24f0 (rev 11)\n"
            "0000:81:00.1 0200: 15b3:1013 (rev 11)\n"
            "0001:0a:1f.7 0208: 8086:24f0 (rev 11)\n");
  std::string one = shell_output(
      "umockdev-run -d '" + sim.write_device_file() + "' -- lspci -nv -s 0000:81:00.0 2>/dev/null",
      &status);
  EXPECT_NE(one.find("\tSubsystem: 8086:e8f1\n"), std::string::npos) << one;
  std::string sysfs = shell_output("umockdev-run -d '" + sim.write_device_file() +
                                       "' -- cat /sys/bus/pci/devices/0001:0a:1f.7/vendor",
                                   &status);
  EXPECT_EQ(sysfs, "0x8086");
}

TEST(SimulatedServer, WithoutFunctionsShowsOnlyAHostBridge) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  int status = 0;
  EXPECT_EQ(
      shell_output("umockdev-run -d '" + sim.write_device_file() + "' -- lspci -n 2>/dev/null",
                   &status),
      "00:00.0 0600: 8086:0d57 (rev 11)\n");
}

TEST(SimulatedServer, EachRunHasATmpOfItsOwn) {
  SimulatedServer sim;
  SKIP_WITHOUT_PRIVATE_TMP(sim);
  sim.add_pci_function({"0000:81:00.0"});
  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.tmp_files.size(), 1u);
  EXPECT_EQ(r.tmp_files.begin()->first.rfind("data", 0), 0u);
  const std::string error_file = "/tmp/" + r.tmp_files.begin()->first;
  EXPECT_NE(r.out.find("please check " + error_file + "\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(error_file));  // not in the machine's /tmp

  // Files laid out beforehand are handed back as the run left them; the fillers are not.
  sim.set_tmp({{{"old/report.xml", "<old/>"}}, true, false});
  r = sim.run({"-d", "/tmp/old/report.xml"});
  EXPECT_EQ(r.tmp_files, (std::map<std::string, std::string>{{"old/report.xml", "<old/>"}}));
  EXPECT_NE(r.out.find("Not able to open this /tmp/data"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists("/tmp/old"));
}

}  // namespace
}  // namespace zanrex_test
