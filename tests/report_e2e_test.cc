// The discovery report end to end: -d writes it from a simulated server, -u installs what a
// handed-back report asks for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "expected_report.h"
#include "simulated_server.h"

namespace zanrex_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// One catalogue entry for adapters 8086:24f0 of device type `type`; its three files are
// `stem`.1, `stem`.2 and `stem`.3.
std::string entry(const std::string& name, const std::string& type, const std::string& rom,
                  const std::string& stem) {
  return "  <fw name=\"" + name +
         "\" venid=\"8086\" devid=\"24F0\" subvenid=\"8086\" DEVICE_TYPE=\"" + type +
         "\" subdevid=\"0000\" rom=\"" + rom + "\" fwFile1=\"" + stem + ".1\" fwFile2=\"" + stem +
         ".2\" fwFile3=\"" + stem + ".3\"/>\n";
}

std::string catalogue(const std::string& entries) {
  return "<?xml version=\"1.0\"?>\n<NICFW>\n" + entries + "</NICFW>\n";
}

// A handed-back device: the address parts, the device type and the action.
struct Ask {
  std::string bus = "0000:81";
  std::string dev = "00";
  std::string fn = "0";
  std::string type = "2628";
  std::string action = "upgrade";
  std::string mac = "";
  std::string fw_type = "ROM";
};

std::string asked_device(const Ask& a) {
  return "<device><device_id value=\"" + a.bus + ":" + a.dev + "." + a.fn +
         "\"/><venid value=\"8086\"/><devid value=\"24F0\"/><subvenid value=\"8086\"/>"
         "<subdevid value=\"2628\"/><macaddress value=\"" +
         a.mac +
         "\"/>"
         "<product_id value=\"p\"/><busnumber value=\"" +
         a.bus + "\"/><devicenumber value=\"" + a.dev + "\"/><funcnumber value=\"" + a.fn +
         "\"/><slotnumber value=\"\"/>"
         "<nictype value=\"INTEL_OPA\"/><fw_item><type value=\"" +
         a.fw_type + "\"/><firmware_id value=\"" + a.type +
         "\"/><version value=\"1.3.0\"/>"
         "<active_version value=\"1.2.0\"/><action value=\"" +
         a.action +
         "\"/><duration value=\"210\"/><message value=\"\"/><shared value=\"no\"/></fw_item>"
         "</device>\n";
}

std::string asked_report(const std::vector<Ask>& asks) {
  std::string text;
  for (const Ask& a : asks) text += asked_device(a);
  return expected_report::document(text);
}

// The three tool calls that flash the adapter at `address` with the files of `stem`.
// The thermal tool is given `number` when the server has several adapters.
std::vector<std::string> flash_calls(const std::string& address, const std::string& stem,
                                     const std::string& number = "") {
  std::string dev = "/sys/bus/pci/devices/" + address + "/resource0";
  return {"hfi1_eprom -d " + dev + " -w -o ./nic_fw/" + stem + ".1",
          "hfi1_eprom -d " + dev + " -V -o",
          "hfi1_eprom -d " + dev + " -w -b ./nic_fw/" + stem + ".2",
          "opatmmtool -v" + (number.empty() ? "" : " -h " + number) + " -f ./nic_fw/" + stem +
              ".3 update"};
}

std::vector<std::string> joined(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Only the calls that write firmware (the inventory's version queries left out).
std::vector<std::string> writes(const std::vector<std::string>& calls) {
  std::vector<std::string> w;
  for (const std::string& c : calls) {
    if (!contains(c, " -V")) w.push_back(c);
  }
  return w;
}

// --- -d ----------------------------------------------------------------------------------

TEST(DiscoveryReportE2E, OneAdapterGivesTheExactReport) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.0");
  sim.set_catalogue(catalogue(entry("HFI Silicon 100", "2628", "1.3.0", "hfi")));
  RunResult r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0) << r.err << r.log;
  EXPECT_EQ(sim.read_file("nicdiscovery.xml"),
            expected_report::document(
                {{"0000:81:00.0", "2628", "HFI Silicon 100", "1.3.0", "1.2.0", "upgrade"}}));
  EXPECT_TRUE(writes(r.calls).empty());
  EXPECT_FALSE(contains(r.out, "List of OmniPath"));  // the console stays quiet
}

TEST(DiscoveryReportE2E, SeveralAdaptersGiveEachActionInTableOrder) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:05:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0001});
  sim.add_pci_function({"0000:06:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0002});
  sim.add_pci_function({"0000:07:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0003});
  sim.add_pci_function({"0000:08:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0004});
  sim.add_pci_function({"0000:09:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0005});
  sim.add_pci_function({"0000:0a:00.1", 0x020800, 0x15b3, 0x1013, 0x15b3, 0x0006});
  sim.add_pci_function({"0000:0b:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0x0007});
  sim.set_installed_version("0000:05:00.0", "1.2.0");
  sim.set_installed_version("0000:06:00.0", "1.2.0");
  sim.set_installed_version("0000:07:00.0", "2.0.0");
  sim.set_installed_version("0000:08:00.0", "1.9.0");
  sim.set_installed_version("0000:09:00.0", "1.0.0");
  sim.set_version_query_output("0000:0b:00.0", "no version here\n");  // its query fails
  sim.set_catalogue(
      catalogue(entry("one-a", "0001", "1.1.0", "a") + entry("one-b", "0001", "1.2.0", "b") +
                entry("one-c", "0001", "1.3.0", "c") + entry("two-a", "0002", "1.2.0", "d") +
                entry("two-b", "0002", "1.1.0", "e") + entry("three", "0003", "1.9.9", "f") +
                entry("four-a", "0004", "1.9.0", "g") + entry("four-b", "0004", "1.10.0", "h") +
                entry("seven", "0007", "9.9.9", "i")));
  sim.write_file("nicdiscovery.xml", "an earlier report");

  RunResult r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0) << r.err << r.log;
  EXPECT_EQ(
      sim.read_file("nicdiscovery.xml"),
      expected_report::document({{"0000:05:00.0", "0001", "one-a", "1.3.0", "1.2.0", "upgrade"},
                                 {"0000:06:00.0", "0002", "two-a", "1.2.0", "1.2.0", "rewrite"},
                                 {"0000:07:00.0", "0003", "three", "1.9.9", "2.0.0", "downgrade"},
                                 // 1.10.0 is newer, while 1.9.0 has the greater sort key
                                 {"0000:08:00.0", "0004", "four-a", "1.9.0", "1.9.0", "upgrade"},
                                 {"0000:09:00.0", "0005", "", "", "1.0.0", "Nothing"}}));
}

TEST(DiscoveryReportE2E, NoUsableAdapterLeavesTheEarlierReport) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.set_catalogue(catalogue(entry("x", "2628", "1.0.0", "x")));
  sim.write_file("nicdiscovery.xml", "an earlier report");
  RunResult r = sim.run({"-d"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(sim.read_file("nicdiscovery.xml"), "an earlier report");

  sim.add_pci_function({"0000:81:00.0"});
  sim.set_version_query_output("0000:81:00.0", "");
  r = sim.run({"-d"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(sim.read_file("nicdiscovery.xml"), "an earlier report");
}

TEST(DiscoveryReportE2E, PathFormsSymlinksAndUnwritableTargets) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.0");
  sim.set_catalogue(catalogue(entry("HFI", "2628", "1.3.0", "hfi")));

  // "/d" with a second word writes where the word says, relative to the working directory.
  RunResult r = sim.run({"/d", "out/report.xml"});
  EXPECT_EQ(r.status, 2);  // out/ does not exist
  EXPECT_TRUE(contains(r.log, "xml_discovery_report: Failed to save out/report.xml\n"));
  EXPECT_FALSE(sim.file_exists("out/report.xml"));
  sim.write_file("out/report.xml", "old");
  r = sim.run({"/d", "out/report.xml"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sim.read_file("out/report.xml").rfind("<?xml", 0), 0u);

  // A symbolic link stays a link; the file it names is replaced, keeping its mode.
  sim.write_file("reports/real.xml", "old");
  ASSERT_EQ(chmod((sim.dir() + "/reports/real.xml").c_str(), 0604), 0);
  ASSERT_EQ(symlink("reports/real.xml", (sim.dir() + "/nicdiscovery.xml").c_str()), 0);
  r = sim.run({"-d"});
  EXPECT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(lstat((sim.dir() + "/nicdiscovery.xml").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((sim.dir() + "/reports/real.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(sim.read_file("reports/real.xml").rfind("<?xml", 0), 0u);

  // A device is written in place: the report follows the banner on standard output.
  r = sim.run({"-d", "/dev/stdout"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.find("<?xml")), sim.read_file("reports/real.xml"));

  // A target whose directory is a file cannot be written: an error, status 2.
  r = sim.run({"-d", "nic_fw/NICFWData.xml/report.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.log,
                       "[[ERROR]    ] xml_discovery_report: Failed to save "
                       "nic_fw/NICFWData.xml/report.xml\n"));
}

TEST(DiscoveryReportE2E, WrittenReportInstallsBack) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.0");
  sim.set_installed_version("0000:82:00.0", "1.3.0");
  sim.set_catalogue(catalogue(entry("HFI", "2628", "1.3.0", "hfi")));
  ASSERT_EQ(sim.run({"-d"}).status, 0);
  // The first adapter is recommended an upgrade and the second a rewrite: both flashed.
  RunResult r = sim.run({"-u", "nicdiscovery.xml"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, joined({flash_calls("0000:81:00.0", "hfi", "1"),
                             flash_calls("0000:82:00.0", "hfi", "2")}));
}

// --- -u ----------------------------------------------------------------------------------

class InstallE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sim.usable()) GTEST_SKIP() << "umockdev-run is not installed";
    sim.set_catalogue(catalogue(entry("HFI", "2628", "1.3.0", "hfi")));
  }
  RunResult install(const std::string& report, std::vector<std::string> args = {"-u", "r.xml"}) {
    sim.write_file("r.xml", report);
    return sim.run(args);
  }
  // Installs from a report of `asks`, each adapter present on the server as described.
  RunResult install(const std::vector<Ask>& asks, std::vector<std::string> args = {"-u", "r.xml"}) {
    for (const Ask& a : asks) present(a.bus + ":" + a.dev + "." + a.fn);
    return install(asked_report(asks), args);
  }
  // Adds the adapter at `address` to the server once; an address of another shape is left out.
  void present(const std::string& address) {
    static const std::regex shape("[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]");
    if (!std::regex_match(address, shape) || !present_.insert(address).second) return;
    sim.add_pci_function({address});
  }
  SimulatedServer sim;
  std::set<std::string> present_;
};

TEST_F(InstallE2E, FlashesOnlyTheDevicesWhoseActionAsks) {
  Ask nothing{"0000:81", "00", "0", "2628", "Nothing"};
  Ask upgrade{"0000:82", "00", "0", "2628", "upgrade"};
  Ask capital{"0000:83", "00", "0", "2628", "Upgrade"};
  Ask inside{"0000:84", "00", "1", "2628", "please rewrite it"};
  Ask down{"0000:85", "1f", "7", "2628", "downgrade"};
  RunResult r = install({nothing, upgrade, capital, inside, down});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, joined({flash_calls("0000:82:00.0", "hfi", "2"),
                             flash_calls("0000:84:00.1", "hfi", "4"),
                             flash_calls("0000:85:1f.7", "hfi", "5")}));
  // The tools' command lines are shown; the console is otherwise silent.
  EXPECT_EQ(count_of(r.out, "Command Executed: "), 9u);
  EXPECT_FALSE(contains(r.out, "Firmware Flashed"));
  EXPECT_EQ(count_of(r.log, "Upgrade SUCCESS"), 9u);
  EXPECT_FALSE(contains(r.log, "[ERROR]"));
}

TEST_F(InstallE2E, FlashesTheEntryWithTheGreatestSortKey) {
  sim.set_catalogue(catalogue(entry("ten", "2628", "1.10.0", "ten") +
                              entry("nine", "2628", "1.9.0", "nine") +
                              entry("nine-again", "2628", "1.9.0", "again")));
  RunResult r = install({Ask{}});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls("0000:81:00.0", "nine"));
}

TEST_F(InstallE2E, UnmatchedOrFailingRequestedDeviceMakesTheRunFail) {
  Ask unknown;
  unknown.type = "beef";
  Ask second{"0000:82", "00", "0"};
  RunResult r = install({unknown, second});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.calls, flash_calls("0000:82:00.0", "hfi", "2"));  // the others are still flashed
  EXPECT_TRUE(contains(r.log, "0000:81:00.0"));

  // The first device succeeds, the second's first step fails: the run fails.
  sim.on_call("hfi1_eprom", "*0000:82:00.0* -w -o *", {"", 3});
  r = install({Ask{}, second});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.calls, joined({flash_calls("0000:81:00.0", "hfi", "1"),
                             {flash_calls("0000:82:00.0", "hfi")[0]}}));
  EXPECT_TRUE(contains(
      r.log, "[[INFO]     ] Adapter 0000:81:00.0: firmware 1.3.0 written; reboot to load it\n"));
  // The failed one's result line comes right after its last step entry (.{25}: a time stamp),
  // before -u's own line about the device.
  EXPECT_TRUE(std::regex_search(
      r.log, std::regex(R"(Upgrade failed\n \n\n.{25}\[\[ERROR\]    \] Adapter 0000:82:00\.0: )"
                        R"(firmware update to 1\.3\.0 failed\n\n.{25}\[\[ERROR\]    \] )"
                        R"(read_discovery_report: Firmware flash failed for 0000:82:00\.0\n)")))
      << r.log;
  EXPECT_FALSE(contains(r.log, "Firmware flash failed for 0000:81:00.0"));

  // A failed device that was not asked for ("Nothing", no catalogue entry) does not count
  // against the run while another device succeeds.
  Ask idle = unknown;
  idle.action = "Nothing";
  sim.on_call("hfi1_eprom", "*0000:82:00.0* -w -o *", {"", 0});
  r = install({idle, second});
  EXPECT_EQ(r.status, 0) << r.log;
}

TEST_F(InstallE2E, ReportsWithoutDevicesOrBrokenOffFlashNothing) {
  RunResult r = install(expected_report::document(""));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(
      contains(r.log, "[[ERROR]    ] read_discovery_report: Error at read_NIC_FW_xml_file\n"));

  std::string whole = asked_report({Ask{}, Ask{"0000:82"}});
  r = install(whole.substr(0, whole.rfind("<fw_item>")));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.calls.empty());
  EXPECT_TRUE(contains(r.log, "[[ERROR]    ] read_discovery_report: Failed to parse r.xml\n"));

  r = sim.run({"-u", "absent.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.calls.empty());
  EXPECT_TRUE(contains(r.log, "[[ERROR]    ] read_discovery_report: Failed to open absent.xml\n"));
}

TEST_F(InstallE2E, CommandLineFormsChooseTheReport) {
  sim.write_file("nicdiscovery.xml", asked_report({Ask{}}));
  present("0000:81:00.0");
  RunResult r = install({Ask{"0000:82"}}, {"-uX"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls("0000:81:00.0", "hfi", "1"));

  r = sim.run({"-su", "r.xml"});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls("0000:82:00.0", "hfi", "2"));

  r = sim.run({"-s", "-u", "r.xml"});  // three words are refused
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.calls.empty());
}

TEST_F(InstallE2E, RefusesAddressesThatAreNotPciAddresses) {
  Ask traversal{"../../../../tmp", "x", "y/../../0000:81:00.0"};
  Ask bad_function{"0000:81", "00", "8"};
  Ask good{"0000:82", "00", "0"};
  RunResult r = install({traversal, bad_function, good});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.calls, flash_calls("0000:82:00.0", "hfi"));
  EXPECT_TRUE(contains(r.log,
                       "[[ERROR]    ] read_discovery_report: Invalid PCI address "
                       "../../../../tmp:x.y/../../0000:81:00.0\n"));
  EXPECT_TRUE(contains(r.log, "read_discovery_report: Invalid PCI address 0000:81:00.8\n"));
}

TEST_F(InstallE2E, FlashesOnlyTheAdapterTheReportDescribesAndOnlyOnce) {
  // The first four are set up here (0000:83:00.0 is not there at all), not by install().
  present_ = {"0000:81:00.0", "0000:82:00.0", "0000:83:00.0", "0000:84:00.0"};
  sim.add_pci_function({"0000:81:00.0", 0x020000});  // an Ethernet function with the same IDs
  PciFunction other{"0000:82:00.0"};
  other.subsystem_device = 0x2629;
  sim.add_pci_function(other);
  PciFunction foreign{"0000:84:00.0", 0x020800, 0x16e5};  // the report's IDs, another vendor
  sim.add_pci_function(foreign);
  Ask ethernet{"0000:81"}, other_ids{"0000:82"}, missing{"0000:83"}, intellon{"0000:84"};
  Ask good{"0000:85"};
  RunResult r = install({ethernet, other_ids, good, missing, intellon, good, good});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.calls, flash_calls("0000:85:00.0", "hfi", "2"));
  for (const char* address : {"0000:81:00.0", "0000:82:00.0", "0000:83:00.0", "0000:84:00.0"}) {
    EXPECT_TRUE(contains(r.log, std::string("[[ERROR]    ] read_discovery_report: ") + address +
                                    " is not the adapter the report describes\n"))
        << address << r.log;
  }
  EXPECT_EQ(count_of(r.log,
                     "read_discovery_report: 0000:85:00.0 is named more than once; "
                     "flashed once\n"),
            2u);

  // Named twice is not a failure in itself.
  r = install({good, good});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls("0000:85:00.0", "hfi", "2"));
}

TEST_F(InstallE2E, OddButWellFormedReports) {
  // A firmware item of another image type: its installed version is refused, the action
  // still counts.
  Ask other_type;
  other_type.fw_type = "BIOS";
  RunResult r = install({other_type});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.log, "[[ERROR]    ] read_FW_cur_version: Error Wrong image type\n"));
  EXPECT_EQ(r.calls, flash_calls("0000:81:00.0", "hfi"));

  // An empty device element opens no record of its own: the next device's data fills the
  // first record, and the empty last record matches nothing.
  std::string text = asked_report({Ask{"0000:82"}});
  text.insert(text.find("<device>"), "<device/>");
  present("0000:82:00.0");
  r = install(text);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.calls, flash_calls("0000:82:00.0", "hfi", "2"));
}

TEST_F(InstallE2E, EntityBombEndsAsAParseFailure) {
  std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">\n";
  }
  Ask a;
  a.action = "&l9;upgrade";
  std::string report = asked_report({a});
  report.replace(0, report.find('\n') + 1, bomb);
  RunResult r = install(report);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.calls.empty());
  EXPECT_TRUE(contains(r.log, "read_discovery_report: Failed to parse r.xml\n"));
}

TEST_F(InstallE2E, LongValuesAndManyDevices) {
  std::vector<Ask> asks;
  for (int i = 0; i < 80; ++i) {
    char bus[16];
    std::snprintf(bus, sizeof bus, "0000:%02x", 0x10 + i);
    Ask a{bus};
    a.mac = std::string(100000, 'm');
    asks.push_back(a);
  }
  Ask long_type;
  long_type.bus = "0000:ff";
  long_type.type = std::string(100000, 'a');
  long_type.action = "Nothing";
  asks.push_back(long_type);
  RunResult r = install(asks);
  EXPECT_EQ(r.status, 0) << r.log.substr(0, 2000);
  ASSERT_EQ(r.calls.size(), 320u);
  EXPECT_EQ(r.calls[316], flash_calls("0000:5f:00.0", "hfi")[0]);
  EXPECT_TRUE(contains(r.log, "MAC " + std::string(100000, 'm') + " Upgrade SUCCESS\n"));
}

}  // namespace
}  // namespace zanrex_test
