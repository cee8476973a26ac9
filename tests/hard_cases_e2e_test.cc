// What real servers and real tools throw at the program: spinner output, PCI domains above
// 0xff, full or hostile file systems, names that would forge log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
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

// The calls that flash `tag`'s files into `address`; the thermal tool is given `number` if
// the server has several adapters.
std::vector<std::string> flash_calls(const std::string& address, const std::string& tag,
                                     const std::string& number = "") {
  return {"hfi1_eprom -d " + device(address) + " -w -o ./nic_fw/" + tag + "_1.bin",
          "hfi1_eprom -d " + device(address) + " -V -o",
          "hfi1_eprom -d " + device(address) + " -w -b ./nic_fw/" + tag + "_2.rom",
          "opatmmtool -v" + (number.empty() ? "" : " -h " + number) + " -f ./nic_fw/" + tag +
              "_3.bin update"};
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
  EXPECT_EQ(r.calls, flash_calls(address, "new", "2"));
}

TEST(HardCasesE2e, AFunctionThatCannotBeReadIsPassedOverAndHidesNoAdapter) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  PciFunction gone{"0000:80:00.0"};
  gone.readable = false;  // torn down while the bus is scanned
  sim.add_pci_function(gone);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue("1.3.0"));
  const std::string passed_over = "PCI function 0000:80:00.0 could not be read; passed over\n";
  std::map<std::string, RunResult> runs;
  for (const char* mode : {"-c", "-d", "-s"}) {
    const RunResult& r = runs[mode] = sim.run({mode});
    EXPECT_EQ(r.status, 0) << mode;
    EXPECT_EQ(r.err,
              "pcilib: Cannot open /sys/bus/pci/devices/0000:80:00.0/vendor: No such file "
              "or directory\n" +
                  passed_over)
        << mode;
    EXPECT_TRUE(contains(r.log, "[[WARNING]  ] " + passed_over)) << r.log;
  }
  const std::string& out = runs["-c"].out;
  EXPECT_TRUE(contains(out, "Server.................\n[0] 0000:81:00.0 Intel Corporation\n\n"));
  EXPECT_TRUE(contains(out, "\t  1.3.0\t  0000:81:00.0\n")) << out;
  EXPECT_TRUE(contains(sim.read_file("nicdiscovery.xml"), "<device_id value=\"0000:81:00.0\"/>"));
  std::vector<std::string> calls = flash_calls("0000:81:00.0", "new");
  calls.insert(calls.begin(), "hfi1_eprom -d " + device("0000:81:00.0") + " -V -o");
  EXPECT_EQ(runs["-s"].calls, calls);
}

// A symbolic link `name` in the package directory to `target`, owned by `uid`.
void link_in_package(SimulatedServer& sim, const std::string& name, const std::string& target,
                     uid_t uid) {
  const std::string path = sim.dir() + "/" + name;
  unlink(path.c_str());
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  ASSERT_EQ(lchown(path.c_str(), uid, uid), 0);
}

constexpr uid_t kNobody = 65534;

TEST(HardCasesE2e, LinksOfAnotherUserAreRefusedOwnLinksFollowed) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  if (geteuid() != 0) GTEST_SKIP() << "handing a link to another user needs root";
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue("1.3.0"));
  sim.write_file("victim", "precious\n");

  link_in_package(sim, "nicdiscovery.xml", "victim", kNobody);
  RunResult r = sim.run({"-d"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.log,
                       " [[ERROR]    ] xml_discovery_report: Refusing to write "
                       "nicdiscovery.xml through a link owned by another user\n"))
      << r.log;
  EXPECT_EQ(sim.read_file("victim"), "precious\n");

  link_in_package(sim, "intel_OPA.log", "victim", kNobody);
  r = sim.run({"-c"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "FWUPG_ERROR: could not open intel_OPA.log (13), intel_OPA,1\n");
  EXPECT_TRUE(r.calls.empty());
  EXPECT_EQ(sim.read_file("victim"), "precious\n");

  // The same links laid by the running user are followed: the report replaces the target.
  link_in_package(sim, "intel_OPA.log", "events", 0);
  link_in_package(sim, "nicdiscovery.xml", "victim", 0);
  r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sim.read_file("victim").rfind("<?xml", 0), 0u);
  EXPECT_EQ(sim.read_file("events"), "");  // a clean -d run logs nothing
  EXPECT_TRUE(sim.file_exists("intel_OPA.log"));
}

TEST(HardCasesE2e, AReportOnAFileSystemWithoutFreeInodesKeepsTheEarlierOne) {
  SimulatedServer sim;
  SKIP_WITHOUT_PRIVATE_TMP(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue("1.3.0"));
  sim.set_tmp({{{"reports/nicdiscovery.xml", "<earlier/>\n"}}, true, false});

  RunResult r = sim.run({"-d", "/tmp/reports/nicdiscovery.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.tmp_files,
            (std::map<std::string, std::string>{{"reports/nicdiscovery.xml", "<earlier/>\n"}}));
  EXPECT_TRUE(contains(r.log,
                       " [[ERROR]    ] xml_discovery_report: Failed to save "
                       "/tmp/reports/nicdiscovery.xml\n"))
      << r.log;
}

TEST(HardCasesE2e, ATmpWithoutFreeInodesSendsTheQueryFailuresToTheLog) {
  SimulatedServer sim;
  SKIP_WITHOUT_PRIVATE_TMP(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");  // 0000:82:00.0 gives no version
  sim.set_catalogue(catalogue("1.3.0"));
  sim.set_tmp({{}, true, false});

  RunResult r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.tmp_files.empty());
  EXPECT_TRUE(contains(r.out,
                       " file\n\nIf Device Type or FW_Version is not found for some "
                       "interfaces, please check the event log\n\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Not able to open this /tmp/data"));
  EXPECT_TRUE(contains(r.log,
                       " [[ERROR]    ] \n\nFWUPG_ERROR: Sub device ID or FW_Version is "
                       "not found for 0000:82:00.0 interface\n\n"))
      << r.log;

  // Inodes left but no space: the file is made and named, the lines it cannot take are logged,
  // and the file, left empty, is removed at the end.
  sim.remove_file("intel_OPA.log");
  sim.set_tmp({{}, false, true});
  r = sim.run({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.tmp_files.empty());
  EXPECT_TRUE(contains(r.out, "please check /tmp/data")) << r.out;
  EXPECT_TRUE(contains(r.log, "not found for 0000:82:00.0 interface\n\n")) << r.log;
}

TEST(HardCasesE2e, AFullFileSystemUnderTheLogIsSaidOnceAndTheRunGoesOn) {
  SimulatedServer sim;
  SKIP_WITHOUT_PRIVATE_TMP(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue("1.3.0"));
  sim.set_tmp({{{"logs/intel_OPA.log", ""}}, false, true});
  link_in_package(sim, "intel_OPA.log", "/tmp/logs/intel_OPA.log", geteuid());

  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.calls.size(), 5u);  // the query, the three flashing steps, the loader read back
  EXPECT_EQ(r.err,
            "zanrex: the event log intel_OPA.log could not be written: "
            "No space left on device\n");
  EXPECT_EQ(r.tmp_files.at("logs/intel_OPA.log"), "");
}

TEST(HardCasesE2e, ALineEndInACatalogueNameCannotForgeALogLine) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue("1.3.0", "new", "HFI&#10;Thu Jan  1 00:00:00 1970 [[INFO]     ] ok"));

  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.log, "\nSelecting HFI?Thu Jan  1 00:00:00 1970 [[INFO]     ] ok MAC: "))
      << r.log;
  EXPECT_FALSE(contains(r.log, "\nThu Jan  1 00:00:00 1970"));
}

}  // namespace
}  // namespace zanrex_test
