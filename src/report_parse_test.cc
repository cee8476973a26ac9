#include "report_parse.h"

#include <gtest/gtest.h>

#include "report_writer.h"
#include "test_support.h"
#include "version.h"

namespace zanrex {
namespace {

class ReportReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ctx_.log.open(dir_ + "/intel_OPA.log")); }

  ReportRead read_text(const std::string& text, std::vector<ReportDevice>& devices) {
    std::string path = dir_ + "/report.xml";
    std::ofstream(path, std::ios::binary) << text;
    return read_report(ctx_.log, path, devices);
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

  std::vector<ReportDevice> devices;
  ASSERT_EQ(read_report(ctx_.log, path, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 2u);
  const Adapter& d = devices[0].adapter;
  EXPECT_EQ(devices[0].device_id, "0000:81:1f.3");
  EXPECT_EQ(d.address, "0000:81:1f.3");
  EXPECT_EQ(d.ven_id, 0x8086);
  EXPECT_EQ(d.dev_id, 0x24f0);
  EXPECT_EQ(d.sub_ven_id, 0x10a9);
  EXPECT_EQ(d.sub_dev_id, 0xe2);
  EXPECT_EQ(devices[0].firmware_id, "00e2");
  EXPECT_EQ(devices[0].product_id, "HFI \"card\" <1>");
  EXPECT_EQ(d.current_mac, "");
  EXPECT_EQ(devices[0].slot, "");
  EXPECT_EQ(display_version(d.installed), "1.2.0");
  EXPECT_EQ(d.flags, kNicValid | kNicFlash);  // "upgrade"
  EXPECT_EQ(devices[1].adapter.address, "0000:05:00.0");
  EXPECT_EQ(devices[1].adapter.flags, kNicValid);  // "Nothing"
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
  std::vector<ReportDevice> devices;
  ASSERT_EQ(read_text(text, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].adapter.address, "0000:82:00.1");
  EXPECT_EQ(devices[0].adapter.flags, kNicFlash);  // the header's type INTEL_NIC was in force
  EXPECT_EQ(display_version(devices[0].adapter.installed), "0.0.0");
  EXPECT_EQ(devices[1].adapter.ven_id, 0x8086);
  EXPECT_EQ(display_version(devices[1].adapter.installed), "2.3.4");
  EXPECT_EQ(devices[1].adapter.address, ":.");
  EXPECT_FALSE(devices[2].adapter.address.has_value());
  EXPECT_FALSE(devices[2].device_id.has_value());
  EXPECT_NE(log_text().find("] read_FW_cur_version: Error Wrong image type\n"), std::string::npos);
}

TEST_F(ReportReaderTest, VersionBeforeAnyTypeCountsAsRomAndNotApplicableIsSkipped) {
  std::string text =
      "<r><device><active_version value=\"1.2.3\"/></device>"
      "<device><active_version value=\"n/a\"/></device></r>";
  std::vector<ReportDevice> devices;
  ASSERT_EQ(read_text(text, devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(display_version(devices[0].adapter.installed), "1.2.3");
  EXPECT_EQ(devices[0].adapter.flags, kNicValid);
  EXPECT_EQ(devices[1].adapter.flags, 0);
  EXPECT_EQ(log_text(), "");
}

TEST_F(ReportReaderTest, BrokenOrMissingReportsAreRefused) {
  std::string whole = report(device({{"action", "upgrade"}}) + device({{"action", "upgrade"}}));
  std::vector<ReportDevice> devices;
  EXPECT_EQ(read_text(whole.substr(0, whole.size() - 60), devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_text("", devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_text("not xml at all", devices), ReportRead::kParseFailed);
  EXPECT_EQ(read_report(ctx_.log, dir_ + "/absent.xml", devices), ReportRead::kOpenFailed);
  EXPECT_EQ(read_report(ctx_.log, dir_, devices), ReportRead::kParseFailed);  // a directory
}

TEST_F(ReportReaderTest, EntityBombsEndAsParseFailures) {
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n<r><device><action value=\"&l9;\"/></device></r>\n";
  std::vector<ReportDevice> devices;
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
  EXPECT_EQ(devices.at(0).adapter.flags, kNicFlash);
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
  std::vector<ReportDevice> devices;
  ASSERT_EQ(read_text(report(devices_text), devices), ReportRead::kOk);
  ASSERT_EQ(devices.size(), 80u);
  EXPECT_EQ(devices[79].firmware_id, long_id);
  EXPECT_EQ(devices[79].adapter.current_mac, long_id + "79");
  EXPECT_EQ(devices[79].adapter.address, "0000:89:00.0");
}

TEST(ReportValues, HexAndActionRules) {
  EXPECT_EQ(report_hex_value("8086"), 0x8086);
  EXPECT_EQ(report_hex_value("80861234"), 0x8086);
  EXPECT_EQ(report_hex_value("86"), 0x86);
  EXPECT_EQ(report_hex_value(""), 0);
  EXPECT_EQ(report_hex_value("aBcD"), 0xabcd);
  EXPECT_EQ(report_hex_value("1g23"), 0x1);
  EXPECT_EQ(report_hex_value("0x86"), 0);   // x ends the number
  EXPECT_EQ(report_hex_value(":?"), 0xaf);  // 0x2A to 0x3F count by their low four bits
  for (const char* yes : {"upgrade", "rewrite", "downgrade", "please downgrade now", "xrewritex"})
    EXPECT_TRUE(action_requests_install(yes)) << yes;
  for (const char* no : {"Nothing", "", "Upgrade", "REWRITE", "up grade", "Downgrade"})
    EXPECT_FALSE(action_requests_install(no)) << no;
}

}  // namespace
}  // namespace zanrex
