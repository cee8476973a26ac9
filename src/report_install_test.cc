#include "report_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace zanrex {
namespace {

// Installs from a report in a scratch package directory whose catalogue holds one entry for
// device type 2628 and none for any other.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir("nic_fw", 0755), 0);
    std::ofstream("nic_fw/NICFWData.xml")
        << "<c><fw name=\"HFI\" venid=\"8086\" devid=\"24F0\" subvenid=\"8086\" "
           "DEVICE_TYPE=\"2628\" subdevid=\"2628\" rom=\"1.3.0\" fwFile1=\"a\" fwFile2=\"b\" "
           "fwFile3=\"c\"/></c>\n";
    ScratchPackage::add("a", "1.3.0");
    for (const char* image : {"b", "c"}) ScratchPackage::add(image);
    run_.ctx.options.install_report = true;
    run_.ctx.options.report_path = "r.xml";
  }
  // The sysfs directory of the adapter the install fixture's reports describe.
  void present(const std::string& address) {
    const std::string d = dir_ + "/sys/" + address;
    std::filesystem::create_directories(d + "/infiniband/hfi1_" + address.substr(5, 2));
    const char* files[][2] = {{"class", "0x020800"},
                              {"vendor", "0x8086"},
                              {"device", "0x24f0"},
                              {"subsystem_vendor", "0x8086"},
                              {"subsystem_device", "0x2628"}};
    for (auto& f : files) std::ofstream(d + "/" + f[0]) << f[1] << "\n";
  }

  // One device per (bus, device type, action); each is present in sysfs.
  int install(const std::vector<std::vector<std::string>>& asks) {
    std::string devices;
    for (const auto& a : asks) {
      if (is_pci_address(a[0] + ":00.0")) present(a[0] + ":00.0");
      devices += device({{"venid", "8086"},
                         {"devid", "24F0"},
                         {"subvenid", "8086"},
                         {"subdevid", "2628"},
                         {"busnumber", a[0]},
                         {"devicenumber", "00"},
                         {"funcnumber", "0"},
                         {"firmware_id", a[1]},
                         {"action", a[2]}});
    }
    std::ofstream("r.xml") << report(devices);
    run_.ctx.adapter_locks.clear();  // the locks of the install before, as if that run ended
    return install_from_report(run_.ctx, dir_ + "/sys");
  }

  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  WorkingDir cwd_{dir_};
  TestRun run_;
};

TEST_F(InstallTest, EachRequestedDeviceMustBeInstalledForSuccess) {
  run_.processes.codes = {5};  // the first device's first step fails, the second succeeds
  EXPECT_EQ(install({{"0000:81", "2628", "upgrade"}, {"0000:82", "2628", "upgrade"}}), 2);
  EXPECT_EQ(run_.processes.steps(), 4u);
  EXPECT_NE(run_.log().find("read_discovery_report: Firmware flash failed for 0000:81:00.0\n"),
            std::string::npos);
  EXPECT_EQ(run_.log().find("failed for 0000:82:00.0"), std::string::npos);
  EXPECT_EQ(run_.log().find("Error at read_NIC_FW_xml_file"), std::string::npos);
}

TEST_F(InstallTest, DevicesNotAskedForCountOnlyByTheirCatalogueMatch) {
  // Matched and left alone: success with nothing flashed.
  EXPECT_EQ(install({{"0000:81", "2628", "Nothing"}}), 0);
  EXPECT_TRUE(run_.processes.calls.empty());
  // Unmatched and left alone, beside a flashed one: still success.
  EXPECT_EQ(install({{"0000:81", "ffff", ""}, {"0000:82", "2628", "upgrade"}}), 0);
  EXPECT_EQ(run_.processes.steps(), 3u);
  // Every device failed: the run fails with the summary line.
  EXPECT_EQ(install({{"0000:81", "ffff", "Nothing"}}), 2);
  EXPECT_NE(run_.log().find("read_discovery_report: Error at read_NIC_FW_xml_file\n"),
            std::string::npos);
  // The address of a device left alone is never looked at.
  EXPECT_EQ(install({{"..", "2628", "Nothing"}, {"0000:82", "2628", "upgrade"}}), 0);
  EXPECT_EQ(run_.log().find("Invalid PCI address"), std::string::npos);
}

TEST_F(InstallTest, RequestedDeviceOfAnotherTypeOrWithoutAddressIsNotFlashed) {
  EXPECT_EQ(install({{"0000:81", "ffff", "upgrade"},
                     {"0000:82", "2628", "rewrite"},
                     {"0000:83/..", "2628", "upgrade"},
                     {"0000:84&#10;x", "2628", "upgrade"}}),
            2);
  EXPECT_EQ(run_.processes.command_lines(),
            (std::vector<std::string>{
                "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:82:00.0/resource0 -w -o "
                "./nic_fw/a",
                "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:82:00.0/resource0 -V -o",
                "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:82:00.0/resource0 -w -b "
                "./nic_fw/b",
                "./nic_fw/opatmmtool -v -h 83 -f ./nic_fw/c update"}));
  std::string log = run_.log();
  // The firmware_id names another device type than the adapter's subsystem device.
  EXPECT_NE(log.find("read_discovery_report: 0000:81:00.0 is not the adapter the report "
                     "describes\n"),
            std::string::npos);
  EXPECT_NE(log.find("[[ERROR]    ] read_discovery_report: Invalid PCI address 0000:83/..:00.0\n"),
            std::string::npos);
  EXPECT_NE(log.find("Invalid PCI address 0000:84?x:00.0\n"), std::string::npos);
  EXPECT_FALSE(run_.ctx.status.has(kFlashFailed));  // no flashing step ran for any of them
  // Only the address shape sysfs uses reaches a flashing tool.
  for (const char* good : {"0000:05:00.0", "ABCD:ef:1F.7", "10000:05:00.0", "00000:05:00.0"}) {
    EXPECT_TRUE(is_pci_address(good)) << good;
  }
  for (const char* bad : {"", "0000:05:00.8", "0000:05:00.0 ", "../../../0000:05:00.0",
                          "0000:05:00.0/../..", "000:05:00.0", "0000:05:0g.0", "0000-05-00.0",
                          "1000g:05:00.0", "10000:5:00.0", "10000:05:00:0", ":."}) {
    EXPECT_FALSE(is_pci_address(bad)) << bad;
  }
}

}  // namespace
}  // namespace zanrex
