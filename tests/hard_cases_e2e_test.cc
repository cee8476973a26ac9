// What real servers and real tools throw at the program: spinner output, PCI domains above
// 0xff, full or hostile file systems, names that would forge log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

// One catalogue entry for the default adapter IDs, named `name`, its files tagged `tag`.
std::string catalogue(const std::string& rom, const std::string& tag = "new",
                      const std::string& name = "Intel Omni-Path HFI Adapter 100 Series") {
  return "<?xml version=\"1.0\"?>\n<NICFWData>\n  <nic name=\"" + name +
         "\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
         "subdevid=\"2628\" rom=\"" +
         rom + "\" fwFile1=\"" + tag + "_1.bin\" fwFile2=\"" + tag + "_2.rom\" fwFile3=\"" + tag +
         "_3.bin\"/>\n</NICFWData>\n";
}

std::string device(const std::string& address) {
  return "/sys/bus/pci/devices/" + address + "/resource0";
}

std::vector<std::string> flash_calls(const std::string& address, const std::string& tag) {
  return {"hfi1_eprom -d " + device(address) + " -w -o ./nic_fw/" + tag + "_1.bin",
          "hfi1_eprom -d " + device(address) + " -w -b ./nic_fw/" + tag + "_2.rom",
          "opatmmtool -v -f ./nic_fw/" + tag + "_3.bin update"};
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(HardCasesE2e, SpinnerOutputOfTheEepromToolReadsAsTheFinalVersion) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  std::string line = "loader file version:  ";
  for (int turn = 0; turn < 80; ++turn) line += "\b-\b\\\b|\b/";
  line += std::string(22, '\b') + "loader file version: 1.6.0.0.0\n";
  sim.set_version_query_output("0000:81:00.0", "Using device: 0000:81:00.0\n" + line);
  sim.set_catalogue(catalogue("1.6.0"));

  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "FW_VERSION 1.6.0.0.0, BUS_INFO 0000:81:00.0")) << r.out;
  EXPECT_TRUE(contains(r.out, "      ROM       1.6.0       ROM\t  1.6.0\t  0000:81:00.0\n"));

  // The adapter is current: a silent upgrade has nothing to do.
  r = sim.run({"-s"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.calls,
            std::vector<std::string>{"hfi1_eprom -d " + device("0000:81:00.0") + " -V -o"});
}

TEST(HardCasesE2e, AnAdapterInDomainTenThousandIsListedQueriedAndFlashed) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  const std::string address = "10000:01:00.0";
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({address});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_installed_version(address, "1.2.3");
  sim.set_catalogue(catalogue("1.3.0"));

  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out,
                       "[0] 0000:81:00.0 Intel Corporation\n"
                       "[1] 10000:01:00.0 Intel Corporation\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out,
                       "Intel OPA Card info for 10000:01:00.0 = FW_VERSION 1.2.3, "
                       "BUS_INFO 10000:01:00.0, Sub_Device_ID 2628\n"));
  EXPECT_TRUE(contains(r.out, "\t  1.3.0\t  10000:01:00.0\n"));

  r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0);
  const std::string report = sim.read_file("nicdiscovery.xml");
  EXPECT_TRUE(contains(report, "<device_id value=\"10000:01:00.0\"/>")) << report;
  EXPECT_TRUE(contains(report, "<busnumber value=\"10000:01\"/>"));

  // The report handed back with only the domain-10000 adapter asking for an install.
  std::string ask = report;
  size_t first = ask.find("value=\"upgrade\"");
  ASSERT_NE(first, std::string::npos);
  ask.replace(first, 15, "value=\"Nothing\"");
  sim.write_file("ask.xml", ask);
  r = sim.run({"-u", "ask.xml"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls(address, "new"));
}

}  // namespace
}  // namespace zanrex_test
