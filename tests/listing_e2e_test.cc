// zanrex -c on simulated servers: the inventory's console lines, the error file and the listing.
#include <gtest/gtest.h>

#include <string>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

const std::string kHeader = "List of OmniPath Adapters detected on the Server.................\n";
const std::string kRule = std::string(72, '-') + "\n";
const std::string kColumns =
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t Interface\n" +
    kRule;

// The per-run error file named on the console, as the run left it.
struct ErrorFile {
  std::string name;
  std::string content;
  bool found = false;
};

ErrorFile take_error_file(const RunResult& r) {
  ErrorFile ef;
  const std::string marker = "please check /tmp/";
  size_t at = r.out.find(marker);
  if (at == std::string::npos) return ef;
  at += marker.size();
  std::string below_tmp = r.out.substr(at, r.out.find('\n', at) - at);
  ef.name = "/tmp/" + below_tmp;
  auto file = r.tmp_files.find(below_tmp);
  ef.found = file != r.tmp_files.end();
  if (ef.found) ef.content = file->second;
  return ef;
}

std::string error_file_line(const std::string& name) {
  return "\nIf Device Type or FW_Version is not found for some interfaces, please check " + name +
         "\n\n";
}

std::string card_info(const std::string& address, const std::string& version,
                      const std::string& dev_type) {
  return "\nIntel OPA Card info for " + address + " = FW_VERSION " + version + ", BUS_INFO " +
         address + ", Sub_Device_ID " + dev_type + "\n\n";
}

std::string heading(const std::string& ids, const std::string& name) {
  return " PCI-ID              \t\tNIC\n" + ids + " \t" + name + " \n\n" + kColumns;
}

const char kTwoImageCatalogue[] =
    "<?xml version=\"1.0\"?>\n<NICFWData>\n"
    "  <nic name=\"Intel Omni-Path HFI Silicon 100 Series\" venid=\"8086\" devid=\"24f0\"\n"
    "       subvenid=\"8086\" DEVICE_TYPE=\"2628\" subdevid=\"2628\" rom=\"1.10.0\"\n"
    "       fwFile1=\"hfi1_platform.dat\" fwFile2=\"hfi1_pcie.rom\" fwFile3=\"hfi1_fw.bin\"/>\n"
    "  <nic name=\"Intel Omni-Path HFI (older)\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\"\n"
    "       DEVICE_TYPE=\"2628\" subdevid=\"2628\" rom=\"1.2.3\" fwFile1=\"old.dat\"/>\n"
    "</NICFWData>\n";

TEST(ListingE2e, TwoIntelAdaptersWithTheirOwnVersionsAndForeignFunctions) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({"0000:05:00.0", 0x020800, 0x15b3, 0x1013, 0x15b3, 0x0003});
  // A vendor whose name holds "Intel" is still not Intel.
  sim.add_pci_function({"0000:06:00.0", 0x020800, 0x16e5, 0x24f0, 0x16e5, 0x2628});
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_installed_version("0000:82:00.0", "10.4.0");
  sim.set_catalogue(kTwoImageCatalogue);

  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r);
  EXPECT_FALSE(ef.found) << "an error file with nothing in it is removed at the end";
  EXPECT_EQ(ef.name.rfind("/tmp/data", 0), 0u) << r.out;
  EXPECT_EQ(r.status, 0);
  auto block = [&](const std::string& address, const std::string& installed) {
    std::string rows = "      ROM       " + installed + "       ROM\t  1.10.0\t  " + address +
                       "\n                    \t\t\t  1.2.3\t  " + address + "\n\n";
    return heading("8086-24F0-8086-2628", "Intel Omni-Path HFI Silicon 100 Series") + rows;
  };
  EXPECT_EQ(r.out, kBanner + kHeader + "[0] 0000:05:00.0 Mellanox Technologies\n" +
                       "[1] 0000:06:00.0 Intellon Corp.\n" +
                       "[2] 0000:81:00.0 Intel Corporation\n" +
                       "[3] 0000:82:00.0 Intel Corporation\n" + error_file_line(ef.name) +
                       "Interface 0000:05:00.0 is not Intel OPA one.\n" +
                       "Interface 0000:06:00.0 is not Intel OPA one.\n" +
                       card_info("0000:81:00.0", "1.2.3", "2628") +
                       card_info("0000:82:00.0", "10.4.0", "2628") +
                       block("0000:81:00.0", "1.2.3") + block("0000:82:00.0", "10.4.0"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.log, "");
  std::vector<std::string> calls = {
      "hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o",
      "hfi1_eprom -d /sys/bus/pci/devices/0000:82:00.0/resource0 -V -o"};
  EXPECT_EQ(r.calls, calls);
}

}  // namespace
}  // namespace zanrex_test

namespace zanrex_test {
namespace {

// The log's lines without their time stamps: "[[TAG]  ] text". A text that carries its own
// line end is followed by an empty line.
std::vector<std::string> log_events(const std::string& log) {
  std::vector<std::string> events;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    size_t tag = line.find(" [[");
    events.push_back(tag == std::string::npos ? line : line.substr(tag + 1));
    at = end + 1;
  }
  return events;
}

std::string catalogue_of(const std::string& elements) {
  return "<?xml version=\"1.0\"?>\n<NICFWData>\n" + elements + "</NICFWData>\n";
}

std::string nic(const std::string& name, const std::string& rom, const std::string& type = "2628") {
  return "  <nic name=\"" + name +
         "\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"" + type +
         "\" subdevid=\"" + type + "\" rom=\"" + rom + "\" fwFile1=\"f1\"/>\n";
}

TEST(ListingE2e, NoFabricFunctionAtAll) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.set_catalogue(kTwoImageCatalogue);
  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r);
  EXPECT_FALSE(ef.found);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + "NO Interface Found\n" + kHeader + error_file_line(ef.name));
  EXPECT_EQ(r.err, "\n\nFWUPG_ERROR: get_interface_list filed RC = 1\nintel_OPA,1197\n\n");
  EXPECT_TRUE(r.calls.empty());
  EXPECT_EQ(
      log_events(r.log),
      (std::vector<std::string>{"[[ERROR]    ] No fabric adapter (PCI class 0x0208) found", ""}));
}

TEST(ListingE2e, FiveAdaptersInAddressOrderOneEntryPerDevice) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  // Added out of order; 0000:81:00.1 is the second function of a multifunction device.
  const std::vector<std::string> added = {"0000:81:00.1", "0001:02:00.0", "0000:81:00.0",
                                          "0000:0a:00.0", "0000:af:00.0", "0000:05:00.0"};
  for (const std::string& a : added) sim.add_pci_function({a});
  const std::vector<std::string> order = {"0000:05:00.0", "0000:0a:00.0", "0000:81:00.0",
                                          "0000:af:00.0", "0001:02:00.0"};
  for (size_t i = 0; i < order.size(); ++i) {
    sim.set_installed_version(order[i], "1.0." + std::to_string(i));
  }
  sim.set_catalogue(catalogue_of(nic("HFI", "1.8.1")));

  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r);
  EXPECT_EQ(r.status, 0);
  std::string expected = kBanner + kHeader;
  for (size_t i = 0; i < order.size(); ++i) {
    expected += "[" + std::to_string(i) + "] " + order[i] + " Intel Corporation\n";
  }
  expected += error_file_line(ef.name);
  for (size_t i = 0; i < order.size(); ++i) {
    expected += card_info(order[i], "1.0." + std::to_string(i), "2628");
  }
  for (size_t i = 0; i < order.size(); ++i) {
    expected += heading("8086-24F0-8086-2628", "HFI") + "      ROM       1.0." + std::to_string(i) +
                "       ROM\t  1.8.1\t  " + order[i] + "\n\n";
  }
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(ef.content, "");
  ASSERT_EQ(r.calls.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(r.calls[i], "hfi1_eprom -d /sys/bus/pci/devices/" + order[i] + "/resource0 -V -o");
  }
}

TEST(ListingE2e, AdaptersWhoseQueriesFailAreNamedInTheErrorFileAndNotListed) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:05:00.0"});                                  // no version line
  sim.add_pci_function({"0000:81:00.0", 0x020800, 0x8086, 0x24f0, 0, 0});  // no Subsystem line
  sim.add_pci_function({"0000:82:00.0"});                                  // fine
  sim.add_pci_function({"0000:83:00.0"});                                  // key line, no digits
  sim.set_version_query_output("0000:05:00.0", "hfi1_eprom: cannot open device\n");
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_installed_version("0000:82:00.0", "1.2.3");
  sim.set_version_query_output("0000:83:00.0", "Loader File Version: unknown\n");
  sim.set_catalogue(catalogue_of(nic("HFI", "1.8.1")));

  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r);
  ASSERT_TRUE(ef.found) << r.out;
  EXPECT_EQ(r.status, 0);
  const std::string version_failed =
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nintel_OPA,1262\n\n";
  const std::string type_failed =
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nintel_OPA,1270\n\n";
  EXPECT_EQ(ef.content,
            version_failed +
                "\n\nFWUPG_ERROR: Sub device ID or FW_Version is not found for 0000:05:00.0 "
                "interface\n" +
                type_failed +
                "\n\nFWUPG_ERROR: Sub device ID or FW_Version is not found for 0000:81:00.0 "
                "interface\n" +
                version_failed);
  // The adapter whose version text came back empty still counts as read.
  EXPECT_EQ(r.out.substr(r.out.find(error_file_line(ef.name)) + error_file_line(ef.name).size()),
            card_info("0000:82:00.0", "1.2.3", "2628") + card_info("0000:83:00.0", "", "2628") +
                heading("8086-24F0-8086-2628", "HFI") +
                "      ROM       1.2.3       ROM\t  1.8.1\t  0000:82:00.0\n\n" +
                heading("8086-24F0-8086-2628", "HFI") +
                "      ROM       0.0.0       ROM\t  1.8.1\t  0000:83:00.0\n\n");
  EXPECT_EQ(r.err, "");
}

TEST(ListingE2e, EveryAdapterFailingListsNothingAndStillEndsWithZero) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_catalogue(kTwoImageCatalogue);
  RunResult r = sim.run({"-c"});  // the stand-in tool prints nothing by default
  ErrorFile ef = take_error_file(r);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            kBanner + kHeader + "[0] 0000:81:00.0 Intel Corporation\n" + error_file_line(ef.name));
  EXPECT_NE(ef.content.find("not found for 0000:81:00.0 interface\n"), std::string::npos);
}

TEST(ListingE2e, CatalogueRulesDecideWhatIsListed) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0", 0x020800, 0x8086, 0x24f0, 0x8086, 0xe8f1});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(
      catalogue_of("  <nic name=\"lower case\" venid=\"8086\" devid=\"24F0\" subvenid=\"0000\" "
                   "DEVICE_TYPE=\"E8F1\" subdevid=\"0000\" rom=\"1.9.0\"/>\n"
                   "  <nic name=\"prefixed\" venid=\"0x8086\" subdevid=\"e8f1\" rom=\"9.0.0\"/>\n"
                   "  <nic name=\"blank\" venid=\" 8086\" subdevid=\"e8f1\" rom=\"9.0.1\"/>\n"
                   "  <nic name=\"no subdevid\" venid=\"8086\" rom=\"9.0.2\"/>\n"
                   "  <nic subdevid=\"e8f1\" DEVICE_TYPE=\"2628\" rom=\"1.10.0\"/>\n"
                   "  <nic name=\"other type\" subdevid=\"e8f1\" rom=\"9.0.3\"/>\n"));
  RunResult r = sim.run({"-c"});

  EXPECT_EQ(r.status, 0);
  // The nameless entry is judged with the name and IDs remembered from "no subdevid", and
  // its own DEVICE_TYPE comes after subdevid, so the earlier e8f1 decides.
  const std::string block = heading("8086-24F0-8086-E8F1", "lower case") +
                            "      ROM       1.2.3       ROM\t  1.10.0\t  0000:81:00.0\n"
                            "                    \t\t\t  1.9.0\t  0000:81:00.0\n\n";
  ASSERT_GE(r.out.size(), block.size());
  EXPECT_EQ(r.out.substr(r.out.size() - block.size()), block) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.log, "");
}

TEST(ListingE2e, NoMatchingEntryIsLoggedAndListedAsNothing) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_catalogue(catalogue_of(nic("other", "1.8.1", "e8f1")));
  RunResult r = sim.run({"-c"});

  EXPECT_EQ(r.status, 0);
  const std::string block = heading("8086-24F0-8086-2628", "") +
                            "      ROM       1.2.3      ROM\t\tNothing\t\t0000:81:00.0\n\n";
  ASSERT_GE(r.out.size(), block.size());
  EXPECT_EQ(r.out.substr(r.out.size() - block.size()), block);
  EXPECT_EQ(log_events(r.log),
            (std::vector<std::string>{
                "[[ERROR]    ] For 0000:81:00.0 no matching firmware file in XML", ""}));
}

TEST(ListingE2e, MissingCatalogueEndsTheRunWithStatusOne) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + kHeader + "[0] 0000:81:00.0 Intel Corporation\n" +
                       error_file_line(ef.name) + card_info("0000:81:00.0", "1.2.3", "2628"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(log_events(r.log),
            (std::vector<std::string>{"[[ERROR]    ] Unable to open nic_fw/NICFWData.xml", ""}));
}

TEST(ListingE2e, ManyMatchingEntriesFirstHundredListedAndWarned) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  // A 20,000-character line before the version line: read in pieces, nothing overflows.
  sim.set_version_query_output("0000:81:00.0",
                               std::string(20000, 'v') + "\nloader file version: 1.2.3\n");
  std::string elements;
  const std::string long_name(300, 'N');
  for (int i = 0; i < 160; ++i)
    elements += nic(i == 0 ? long_name : "n", "2.0." + std::to_string(i));
  sim.set_catalogue(catalogue_of(elements));

  RunResult r = sim.run({"-c"});

  EXPECT_EQ(r.status, 0);
  std::string block = heading("8086-24F0-8086-2628", long_name) +
                      "      ROM       1.2.3       ROM\t  2.0.0\t  0000:81:00.0\n";
  size_t at = r.out.find(" PCI-ID");
  ASSERT_NE(at, std::string::npos);
  std::string listing = r.out.substr(at);
  EXPECT_EQ(listing.substr(0, block.size()), block);
  size_t rows = 0;
  for (size_t p = 0; (p = listing.find("\t  0000:81:00.0\n", p)) != std::string::npos; ++p) ++rows;
  EXPECT_EQ(rows, 100u);
  EXPECT_EQ(listing.find("2.0.100"), std::string::npos);
  EXPECT_EQ(log_events(r.log),
            (std::vector<std::string>{"[[WARNING]  ] For 0000:81:00.0 more than 100 firmware "
                                      "files match in XML, the first 100 are used",
                                      ""}));
}

}  // namespace
}  // namespace zanrex_test
