// What is checked around an adapter's flashing steps: its identity right before the first, the
// thermal tool's adapter number where the server has several, the loader's version after it
// is written, and the device type a handed-back report names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const char kFirst[] = "0000:81:00.0";
const char kSecond[] = "0000:82:00.0";

std::string catalogue(const std::string& rom) {
  return "<?xml version=\"1.0\"?>\n<NICFWData>\n  <nic name=\"HFI\" venid=\"8086\" devid=\"24f0\" "
         "subvenid=\"8086\" DEVICE_TYPE=\"2628\" subdevid=\"2628\" rom=\"" +
         rom + "\" fwFile1=\"x_1.bin\" fwFile2=\"x_2.rom\" fwFile3=\"x_3.bin\"/>\n</NICFWData>\n";
}

// A server with an adapter at 1.2.0 at each of `addresses`, the hfi1 units given, and one
// image set 1.3.0.
void set_up(SimulatedServer& sim, const std::vector<std::string>& addresses,
            const std::vector<int>& units) {
  for (size_t i = 0; i < addresses.size(); ++i) {
    PciFunction f{addresses[i]};
    f.hfi1_unit = units[i];
    sim.add_pci_function(f);
    sim.set_installed_version(addresses[i], "1.2.0");
  }
  sim.set_catalogue(catalogue("1.3.0"));
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The calls that write firmware, the queries left out.
std::vector<std::string> writes(const std::vector<std::string>& calls) {
  std::vector<std::string> w;
  for (const std::string& c : calls) {
    if (!contains(c, " -V -o")) w.push_back(c);
  }
  return w;
}

TEST(FlashChecksE2E, EachThermalImageReachesItsOwnAdapterOnce) {
  const struct {
    std::vector<int> units;
    std::vector<std::string> thermal;
  } cases[] = {
      {{0, 1}, {"hfi1_0 0000:81:00.0 ./nic_fw/x_3.bin", "hfi1_1 0000:82:00.0 ./nic_fw/x_3.bin"}},
      {{1, 0}, {"hfi1_1 0000:81:00.0 ./nic_fw/x_3.bin", "hfi1_0 0000:82:00.0 ./nic_fw/x_3.bin"}},
  };
  for (const auto& c : cases) {
    SimulatedServer sim;
    SKIP_WITHOUT_UMOCKDEV(sim);
    set_up(sim, {kFirst, kSecond}, c.units);
    RunResult r = sim.run({"-y"});
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(sim.thermal_writes(), c.thermal);
    const std::string first_number = std::to_string(c.units[0] + 1);
    EXPECT_TRUE(contains(r.out, "Command Executed: ./nic_fw/opatmmtool -v -h " + first_number +
                                    " -f ./nic_fw/x_3.bin update\n"))
        << r.out;
    EXPECT_EQ(r.log.find("Firmware Upgrade failed"), std::string::npos);
  }

  // One fabric adapter: the command is the one without a number, and unit 0 is written.
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kFirst}, {kNextUnit});
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(writes(r.calls).back(), "opatmmtool -v -f ./nic_fw/x_3.bin update");
  EXPECT_EQ(sim.thermal_writes(), std::vector<std::string>{"hfi1_0 0000:81:00.0 ./nic_fw/x_3.bin"});
}

TEST(FlashChecksE2E, AnAdapterWithoutItsUnitIsNotWritten) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kFirst, kSecond}, {kNoUnit, 0});
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 2);
  for (const std::string& call : writes(r.calls)) EXPECT_FALSE(contains(call, kFirst)) << call;
  EXPECT_EQ(writes(r.calls).size(), 3u);  // the second adapter is still flashed
  EXPECT_EQ(sim.thermal_writes(), std::vector<std::string>{"hfi1_0 0000:82:00.0 ./nic_fw/x_3.bin"});
  EXPECT_TRUE(contains(r.log,
                       "Firmware Upgrade failed\n 0000:81:00.0 has no hfi1 unit; its thermal "
                       "firmware cannot be addressed\n"))
      << r.log;
}

TEST(FlashChecksE2E, ALoaderWriteThatDidNotTakeIsAFailedStep) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kFirst}, {kNextUnit});
  ToolReply unchanged("writing...done\n");
  unchanged.takes_effect = false;
  sim.on_call("hfi1_eprom", "*-w -o*", unchanged);
  RunResult r = sim.run({"-y"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(writes(r.calls).size(), 1u);  // the remaining steps are not run
  EXPECT_FALSE(contains(r.out, "SUCCESS"));
  EXPECT_FALSE(contains(r.log, "SUCCESS"));
  EXPECT_TRUE(contains(r.out, "NIC firmware update completed with errors."));
  EXPECT_TRUE(contains(r.log,
                       "Firmware Upgrade failed\n 0000:81:00.0 reports version 1.2.0 after the "
                       "update; expected 1.3.0\n"))
      << r.log;
}

TEST(FlashChecksE2E, FivePartVersionsReadAsTheirFirstThree) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({kFirst});
  sim.set_installed_version(kFirst, "1.4.2.0.0");
  sim.set_catalogue(catalogue("1.4.3"));

  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "ROM       1.4.2       ROM\t  1.4.3\t  ")) << r.out;
  EXPECT_TRUE(contains(r.out, "FW_VERSION 1.4.2.0.0,"));  // the tool's text as it printed it
  r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0);
  const std::string report = sim.read_file("nicdiscovery.xml");
  EXPECT_TRUE(contains(report, "<active_version value=\"1.4.2\"/>")) << report;
  EXPECT_TRUE(contains(report, "<action value=\"upgrade\"/>")) << report;
  r = sim.run({}, "\n");  // newer, so the default answer flashes
  EXPECT_TRUE(contains(r.out, "Repository has New firmware version for interface 0000:81:00.0"));
  EXPECT_EQ(writes(r.calls).size(), 3u);
}

TEST(FlashChecksE2E, AReportOfAnotherDeviceTypeInstallsNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kFirst}, {kNextUnit});
  ASSERT_EQ(sim.run({"-d"}).status, 0);
  const std::string written = sim.read_file("nicdiscovery.xml");
  const std::string id = "<firmware_id value=\"2628\"/>";
  ASSERT_TRUE(contains(written, id));
  for (const char* other : {"2629", "26280", ""}) {
    std::string report = written;
    report.replace(report.find(id), id.size(),
                   "<firmware_id value=\"" + std::string(other) + "\"/>");
    sim.write_file("r.xml", report);
    RunResult r = sim.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 2) << other;
    EXPECT_TRUE(writes(r.calls).empty()) << other;
    EXPECT_TRUE(contains(r.log,
                         "read_discovery_report: 0000:81:00.0 is not the adapter the report "
                         "describes\n"))
        << other;
  }
}

TEST(FlashChecksE2E, ACardChangedWhileTheQuestionWaitsIsNotWritten) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  set_up(sim, {kFirst}, {kNextUnit});
  // The caller answers only once the question is on the console, having swapped the card.
  const std::string ctl = sim.busy_file().substr(0, sim.busy_file().rfind('/'));
  sim.set_caller("( i=0; while ! grep -q 'y/n/q' '" + ctl + "/stdout' && [ $i -lt 400 ]; do " +
                 "sleep 0.05; i=$((i+1)); done; echo 0x2629 > " +
                 "/sys/bus/pci/devices/0000:81:00.0/subsystem_device; echo y ) | \"$@\"");
  RunResult r = sim.run({});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(writes(r.calls).empty());
  EXPECT_TRUE(contains(r.log,
                       "Firmware Upgrade failed\n 0000:81:00.0 is not the adapter that was "
                       "inventoried\n"))
      << r.log;
}

}  // namespace
}  // namespace zanrex_test
