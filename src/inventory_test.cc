#include "inventory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "test_support.h"
#include "tool_query.h"

namespace zanrex {
namespace {

std::string text_of(FILE* f) {
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
  return s;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Inventory : public ::testing::Test {
 protected:
  void SetUp() override {
    sources_.sysfs_devices = root_ + "/devices";
    sources_.catalogue = root_ + "/NICFWData.xml";
    sources_.error_file_template = root_ + "/dataXXXXXX";
    mkdir(sources_.sysfs_devices.c_str(), 0755);
    std::ofstream(sources_.catalogue)
        << "<c><nic name='HFI' venid='8086' devid='24f0' subvenid='8086' DEVICE_TYPE='2628' "
           "subdevid='2628' rom='1.8.1' fwFile1='a' fwFile2='b' fwFile3='c'/></c>";
    out_ = tmpfile();
    err_ = tmpfile();
    ctx_.out = out_;
    ctx_.err = err_;
    ctx_.processes = &processes_;
  }
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }

  // An Intel adapter whose queries succeed, with its sysfs identity.
  void add_adapter(const std::string& address) {
    std::string d = sources_.sysfs_devices + "/" + address;
    mkdir(d.c_str(), 0755);
    const char* files[][2] = {{"vendor", "0x8086"},
                              {"device", "0x24f0"},
                              {"subsystem_vendor", "0x8086"},
                              {"subsystem_device", "0x2628"}};
    for (auto& f : files) std::ofstream(d + "/" + f[0]) << f[1] << "\n";
    processes_.outputs[command_text(version_command(address))] = "loader file version: 1.2.3\n";
    processes_.outputs[command_text(card_type_command(lspci_program(), address))] =
        "\tSubsystem: 8086:2628\n";
  }

  ScratchDir scratch_;
  std::string root_ = scratch_.path();
  InventorySources sources_;
  FakeProcesses processes_;
  RunContext ctx_;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
};

TEST_F(Inventory, UsableAdapterCarriesItsIdentityVersionAndImages) {
  add_adapter("0000:81:00.0");
  PciScanResult scan;
  // Only the vendor ID counts: neither "Intellon" nor a name holding "Intel" makes an Intel
  // adapter, and an Intel function without a name in the ID database is one.
  scan.functions = {{"0000:05:00.0", "Mellanox Technologies", 0x15b3},
                    {"0000:06:00.0", "Intellon Corp.", 0x1141},
                    {"0000:81:00.0", "8086", 0x8086}};
  EXPECT_EQ(build_nic_list(ctx_, scan, sources_), 0);
  ASSERT_EQ(ctx_.adapters.size(), 3u);
  EXPECT_EQ(ctx_.intel_ports, 1);
  EXPECT_EQ(ctx_.adapters[0].flags, 0);
  EXPECT_EQ(ctx_.adapters[1].flags, 0);
  EXPECT_NE(text_of(out_).find("Interface 0000:06:00.0 is not Intel OPA one.\n"),
            std::string::npos);
  const Adapter& a = ctx_.adapters[2];
  EXPECT_EQ(a.flags, kNicValid);
  EXPECT_EQ(a.address, "0000:81:00.0");
  EXPECT_EQ(a.firmware_ver, "1.2.3");
  EXPECT_EQ(a.dev_type, "2628");
  EXPECT_EQ(a.sub_dev_id, 0x2628);
  EXPECT_EQ(display_version(a.installed), "1.2.3");
  ASSERT_EQ(a.images.size(), 1u);
  EXPECT_EQ(a.images[0].fw_file3, "c");
  EXPECT_EQ(text_of(err_), "");
}

TEST_F(Inventory, ScanFailureIsReportedAndLeavesAnEmptyTable) {
  ASSERT_TRUE(ctx_.log.open(root_ + "/intel_OPA.log"));
  PciScanResult scan;
  scan.error = "Cannot open /sys/bus/pci/devices";
  EXPECT_EQ(build_nic_list(ctx_, scan, sources_), 1);
  EXPECT_EQ(read_text(root_ + "/intel_OPA.log"), "");  // no word of a server without adapters
  EXPECT_TRUE(ctx_.adapters.empty());
  EXPECT_EQ(text_of(err_),
            "pcilib: Cannot open /sys/bus/pci/devices\n"
            "\n\nFWUPG_ERROR: get_interface_list filed RC = 1\nintel_OPA,1197\n\n");
  std::string out = text_of(out_);
  const std::string start =
      "NO Interface Found\nList of OmniPath Adapters detected on the Server.................\n";
  EXPECT_EQ(out.substr(0, start.size()), start);
}

TEST_F(Inventory, UnreadableIdentityEndsTheRun) {
  const std::string log_name = root_ + "/intel_OPA.log";
  ASSERT_TRUE(ctx_.log.open(log_name));
  add_adapter("0000:05:00.0");
  processes_.outputs[command_text(card_type_command(lspci_program(), "0000:05:00.0"))] =
      "\tSubsystem: 8086:e8f1\n";
  add_adapter("0000:81:00.0");
  std::remove((sources_.sysfs_devices + "/0000:81:00.0/device").c_str());
  PciScanResult scan;
  scan.functions = {{"0000:05:00.0", "Intel Corporation", 0x8086},
                    {"0000:81:00.0", "Intel Corporation", 0x8086}};
  try {
    build_nic_list(ctx_, scan, sources_);
    ADD_FAILURE() << "the run goes on";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_EQ(text_of(err_), "ERROR: could not open " + sources_.sysfs_devices +
                               "/0000:81:00.0/device (errno=2), common_utilities,412\n"
                               "\n\nFWUPG_ERROR: RC = 1\nintel_OPA,1291\n\n");
  // The adapter looked up before it is still told of in the log.
  EXPECT_NE(read_file(log_name).find("For 0000:05:00.0 no matching firmware file in XML"),
            std::string::npos);
}

TEST_F(Inventory, ErrorFileThatCannotBeMadeSendsItsLinesToTheLog) {
  sources_.error_file_template = root_ + "/missing/dataXXXXXX";
  ASSERT_TRUE(ctx_.log.open(root_ + "/intel_OPA.log"));
  PciScanResult scan;
  scan.functions = {{"0000:81:00.0", "Intel Corporation", 0x8086}};  // its queries print nothing
  EXPECT_EQ(build_nic_list(ctx_, scan, sources_), 2);
  std::string out = text_of(out_);
  EXPECT_NE(out.find("Not able to open this " + root_ + "/missing/data"), std::string::npos) << out;
  EXPECT_NE(out.find(" file\n\nIf Device Type or FW_Version is not found for some interfaces, "
                     "please check the event log\n\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(ctx_.adapters[0].flags, 0);
  std::string log = read_text(root_ + "/intel_OPA.log");
  EXPECT_NE(log.find(" [[ERROR]    ] \n\nFWUPG_ERROR: get_firmware_info filed RC = 1\n"
                     "intel_OPA,1262\n\n\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" [[ERROR]    ] \n\nFWUPG_ERROR: Sub device ID or FW_Version is not found "
                     "for 0000:81:00.0 interface\n\n"),
            std::string::npos);
}

TEST_F(Inventory, AdapterInUseStopsTheRunBeforeAnyQuery) {
  add_adapter("0000:81:00.0");
  add_adapter("0000:82:00.0");
  std::vector<AdapterLock> other_run;
  ASSERT_FALSE(
      lock_adapters(sources_.sysfs_devices, {"0000:82:00.0"}, LockKind::kShared, other_run));
  PciScanResult scan;
  scan.functions = {{"0000:81:00.0", "Intel Corporation", 0x8086},
                    {"0000:82:00.0", "Intel Corporation", 0x8086}};
  // A listing shares the adapter with another reader.
  ctx_.options.show_current = true;
  EXPECT_NO_THROW(build_nic_list(ctx_, scan, sources_));
  ctx_.adapter_locks.clear();
  // An upgrade needs it alone: the run ends with 2 and its table is never built.
  RunContext upgrade;
  upgrade.out = out_;
  upgrade.err = tmpfile();
  upgrade.processes = &processes_;
  try {
    build_nic_list(upgrade, scan, sources_);
    ADD_FAILURE() << "the run goes on";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status, 2);
  }
  EXPECT_EQ(text_of(upgrade.err),
            "Adapter 0000:82:00.0 is in use by another zanrex run; nothing was done.\n");
  EXPECT_TRUE(upgrade.adapters.empty());
  EXPECT_TRUE(upgrade.adapter_locks.empty());
  std::fclose(upgrade.err);
}

}  // namespace
}  // namespace zanrex
