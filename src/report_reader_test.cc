#include "report_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "modes.h"
#include "report_writer.h"
#include "test_support.h"
#include "version.h"

namespace zanrex {
namespace {

// A device element with the given inner elements, each "name=value".
std::string device(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = "<device>";
  for (const auto& [name, value] : values) text += "<" + name + " value=\"" + value + "\"/>";
  return text + "</device>";
}

std::string report(const std::string& devices) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarvik_rom_discovery version=\"2.0.0.0\">"
         "<type value=\"INTEL_NIC\"/><devices>" +
         devices + "</devices></tarvik_rom_discovery>\n";
}

class ReportReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ctx_.log.open(dir_ + "/intel_OPA.log")); }

  ReportRead read_text(const std::string& text, std::vector<Adapter>& devices) {
    std::string path = dir_ + "/report.xml";
    std::ofstream(path, std::ios::binary) << text;
    return read_report(ctx_, path, devices);
  }
  std::string log_text() { return read_file(dir_ + "/intel_OPA.log"); }

  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  RunContext ctx_;
};

TEST_F(ReportReaderTest, ReadsBackWhatTheWriterWrote) {
  Adapter a;
  a.address = "0000:81:1f.3";
  a.ven_id = 0x8086;
  a.dev_id = 0x24f0;
  a.sub_ven_id = 0x10a9;
  a.sub_dev_id = 0xe2;
  a.dev_type = "00e2";
  a.installed = parse_version("1.2.0");
  a.flags = kNicValid;
  Image image;
  image.name = "HFI \"card\" <1>";
  image.version = parse_version("1.3.0");
  a.images = {image};
  Adapter b = a;
  b.address = "0000:05:00.0";
  b.images.clear();
  ctx_.adapters = {a, b};
  std::string path = dir_ + "/nicdiscovery.xml";
  ASSERT_EQ(save_discovery_report(ctx_, path), 0);

  std::vector<Adapter> devices;
  ASSERT_EQ(read_report(ctx_, path, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 2u);
  const Adapter& d = devices[0];
  EXPECT_EQ(d.device_id, "0000:81:1f.3");
  EXPECT_EQ(d.address, "0000:81:1f.3");
  EXPECT_EQ(d.ven_id, 0x8086);
  EXPECT_EQ(d.dev_id, 0x24f0);
  EXPECT_EQ(d.sub_ven_id, 0x10a9);
  EXPECT_EQ(d.sub_dev_id, 0xe2);
  EXPECT_EQ(d.firmware_id, "00e2");
  EXPECT_EQ(d.product_id, "HFI \"card\" <1>");
  EXPECT_EQ(d.current_mac, "");
  EXPECT_EQ(d.port, "");
  EXPECT_EQ(display_version(d.installed), "1.2.0");
  EXPECT_EQ(d.flags, kNicValid | kNicFlash);  // "upgrade"
  EXPECT_EQ(devices[1].address, "0000:05:00.0");
  EXPECT_EQ(devices[1].flags, kNicValid);  // "Nothing"
  EXPECT_EQ(devices[1].product_id, "");
  EXPECT_EQ(log_text(), "");
}

TEST_F(ReportReaderTest, ElementsCountWhereverTheyStandUntilTheDeviceEnds) {
  std::string text =
      report(
          // Address parts after the action: the address is rebuilt at the end of the device.
          device({{"action", "rewrite"},
                  {"funcnumber", "1"},
                  {"devicenumber", "00"},
                  {"busnumber", "0000:82"},
                  {"active_version", "1.0.0"}}) +
          // An empty device element is counted but closes no record: the next one's data lands
          // in the same record, and the last record stays empty.
          "<device/>" + device({{"venid", "8086"}, {"type", "ROM"}, {"active_version", "2.3.4"}}) +
          // Data after the last device belongs to no record.
          "") +
      "";
  text.insert(text.find("</tarvik_rom_discovery>"), "<device_id value=\"late\"/>");
  std::vector<Adapter> devices;
  ASSERT_EQ(read_text(text, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].address, "0000:82:00.1");
  EXPECT_EQ(devices[0].flags, kNicFlash);  // the header's type INTEL_NIC was in force
  EXPECT_EQ(display_version(devices[0].installed), "0.0.0");
  EXPECT_EQ(devices[1].ven_id, 0x8086);
  EXPECT_EQ(display_version(devices[1].installed), "2.3.4");
  EXPECT_EQ(devices[1].address, ":.");
  EXPECT_FALSE(devices[2].address.has_value());
  EXPECT_FALSE(devices[2].device_id.has_value());
  EXPECT_NE(log_text().find("] read_FW_cur_version: Error Wrong image type\n"), std::string::npos);
}

TEST_F(ReportReaderTest, VersionBeforeAnyTypeCountsAsRomAndNotApplicableIsSkipped) {
  std::string text =
      "<r><device><active_version value=\"1.2.3\"/></device>"
      "<device><active_version value=\"n/a\"/></device></r>";
  std::vector<Adapter> devices;
  ASSERT_EQ(read_text(text, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(display_version(devices[0].installed), "1.2.3");
  EXPECT_EQ(devices[0].flags, kNicValid);
  EXPECT_EQ(devices[1].flags, 0);
  EXPECT_EQ(log_text(), "");
}

TEST_F(ReportReaderTest, BrokenOrMissingReportsAreRefused) {
  std::string whole = report(device({{"action", "upgrade"}}) + device({{"action", "upgrade"}}));
  std::vector<Adapter> devices;
  EXPECT_EQ(read_text(whole.substr(0, whole.size() - 60), devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_text("", devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_text("not xml at all", devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_report(ctx_, dir_ + "/absent.xml", devices), ReportRead::kOpenFailed);
  EXPECT_EQ(read_report(ctx_, dir_, devices), ReportRead::kParseFailed);  // a directory
}

TEST_F(ReportReaderTest, EntityBombsEndAsParseFailures) {
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n<r><device><action value=\"&l9;\"/></device></r>\n";
  std::vector<Adapter> devices;
  EXPECT_EQ(read_text(laughs, devices), ReportRead::kParseFailed);

  // One large entity used many times stays under the parser's own checks; its use in an
  // attribute value is refused before it is expanded.
  std::string quadratic = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"" +
                          std::string(100000, 'a') + "\">]>\n<r><device><action value=\"";
  for (int i = 0; i < 5000; ++i) quadratic += "&e;";
  quadratic += "upgrade\"/></device></r>\n";
  EXPECT_EQ(read_text(quadratic, devices), ReportRead::kParseFailed);

  // Character references and the predefined entities are plain text.
  ASSERT_EQ(read_text(report(device({{"action", "&#117;pgrade &amp; more"}})), devices),
            ReportRead::kOk);
  EXPECT_EQ(devices.at(0).flags, kNicFlash);
}

TEST_F(ReportReaderTest, KeepsLongValuesWholeAndAnyNumberOfDevices) {
  std::string long_id(100000, 'f');
  std::string devices_text;
  for (int i = 0; i < 80; ++i) {
    devices_text += device({{"busnumber", "0000:" + std::to_string(10 + i)},
                            {"devicenumber", "00"},
                            {"funcnumber", "0"},
                            {"firmware_id", long_id},
                            {"macaddress", long_id + std::to_string(i)}});
  }
  std::vector<Adapter> devices;
  ASSERT_EQ(read_text(report(devices_text), devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 80u);
  EXPECT_EQ(devices[79].firmware_id, long_id);
  EXPECT_EQ(devices[79].current_mac, long_id + "79");
  EXPECT_EQ(devices[79].address, "0000:89:00.0");
}

TEST(ReportValues, HexAddressAndActionRules) {
  EXPECT_EQ(report_hex_value("8086"), 0x8086);
  EXPECT_EQ(report_hex_value("80861234"), 0x8086);
  EXPECT_EQ(report_hex_value("86"), 0x86);
  EXPECT_EQ(report_hex_value(""), 0);
  EXPECT_EQ(report_hex_value("aBcD"), 0xabcd);
  EXPECT_EQ(report_hex_value("1g23"), 0x1);
  EXPECT_EQ(report_hex_value("0x86"), 0);   // x ends the number
  EXPECT_EQ(report_hex_value(":?"), 0xaf);  // 0x2A to 0x3F count by their low four bits

  for (const char* good : {"0000:05:00.0", "ABCD:ef:1F.7", "10000:05:00.0", "00000:05:00.0"}) {
    EXPECT_TRUE(is_pci_address(good)) << good;
  }
  for (const char* bad : {"", "0000:05:00.8", "0000:05:00.0 ", "../../../0000:05:00.0",
                          "0000:05:00.0/../..", "000:05:00.0", "0000:05:0g.0", "0000-05-00.0",
                          "1000g:05:00.0", "10000:5:00.0", "10000:05:00:0", ":."}) {
    EXPECT_FALSE(is_pci_address(bad)) << bad;
  }

  for (const char* yes : {"upgrade", "rewrite", "downgrade", "please downgrade now", "xrewritex"})
    EXPECT_TRUE(action_requests_install(yes)) << yes;
  for (const char* no : {"Nothing", "", "Upgrade", "REWRITE", "up grade", "Downgrade"})
    EXPECT_FALSE(action_requests_install(no)) << no;
}

}  // namespace
}  // namespace zanrex

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
}

}  // namespace
}  // namespace zanrex
