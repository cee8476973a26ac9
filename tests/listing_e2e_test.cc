// zanrex -c on simulated servers: the inventory's console lines, the error file and the listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

#define SKIP_WITHOUT_UMOCKDEV(sim) \
  if (!(sim).usable()) GTEST_SKIP() << "umockdev-run is not installed"

const std::string kBanner = "\n" + std::string(98, '#') +
                            "\nQuillon Online Firmware Upgrade Utility for Linux\n" +
                            std::string(98, '#') + "\n\n";
const std::string kHeader = "List of OmniPath Adapters detected on the Server.................\n";
const std::string kRule = std::string(72, '-') + "\n";
const std::string kColumns =
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t Interface\n" +
    kRule;

// The per-run error file named on the console; read and removed.
struct ErrorFile {
  std::string name;
  std::string content;
  bool found = false;
};

ErrorFile take_error_file(const std::string& out) {
  ErrorFile ef;
  const std::string marker = "please check ";
  size_t at = out.find(marker);
  if (at == std::string::npos) return ef;
  at += marker.size();
  ef.name = out.substr(at, out.find('\n', at) - at);
  std::ifstream in(ef.name);
  ef.found = static_cast<bool>(in);
  std::stringstream ss;
  ss << in.rdbuf();
  ef.content = ss.str();
  unlink(ef.name.c_str());
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

TEST(ListingE2e, TwoIntelAdaptersWithTheirOwnVersionsAndAForeignFunction) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({"0000:05:00.0", 0x020800, 0x15b3, 0x1013, 0x15b3, 0x0003});
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.3");
  sim.set_installed_version("0000:82:00.0", "10.4.0");
  sim.set_catalogue(kTwoImageCatalogue);

  RunResult r = sim.run({"-c"});
  ErrorFile ef = take_error_file(r.out);
  ASSERT_TRUE(ef.found) << r.out;
  EXPECT_EQ(ef.content, "");
  EXPECT_EQ(r.status, 0);
  auto block = [&](const std::string& address, const std::string& installed) {
    std::string rows = "      ROM       " + installed + "       ROM\t  1.10.0\t  " + address +
                       "\n                    \t\t\t  1.2.3\t  " + address + "\n\n";
    return heading("8086-24F0-8086-2628", "Intel Omni-Path HFI Silicon 100 Series") + rows;
  };
  EXPECT_EQ(r.out, kBanner + kHeader + "[0] 0000:05:00.0 Mellanox Technologies\n" +
                       "[1] 0000:81:00.0 Intel Corporation\n" +
                       "[2] 0000:82:00.0 Intel Corporation\n" + error_file_line(ef.name) +
                       "Interface 0000:05:00.0 is not Intel OPA one.\n" +
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
