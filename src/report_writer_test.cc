#include "report_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "test_support.h"
#include "version.h"

namespace zanrex {
namespace {

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Image image(const char* name, const char* rom) {
  Image i;
  i.name = name;
  i.version = parse_version(rom);
  i.fw_file1 = "a.bin";
  i.fw_file2 = "b.bin";
  i.fw_file3 = "c.bin";
  return i;
}

Adapter adapter(const char* address, const char* installed, std::vector<Image> images) {
  Adapter a;
  a.address = address;
  a.firmware_ver = installed;
  a.installed = parse_version(installed);
  a.ven_id = 0x8086;
  a.dev_id = 0x24f0;
  a.sub_ven_id = 0x8086;
  a.sub_dev_id = 0x2628;
  a.dev_type = "2628";
  a.images = std::move(images);
  a.flags = kNicValid;
  return a;
}

const char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<tarvik_rom_discovery version=\"2.0.0.0\">\n"
    "    <type value=\"INTEL_NIC\"/>\n"
    "    <alt_name value=\"Quillon Online Firmware Upgrade Utility for Linux\"/>\n"
    "    <version value=\"1.6.0\"/>\n"
    "    <takes_effect value=\"reboot\"/>\n";

std::string device_text(const std::string& address, const std::string& bus, const std::string& dev,
                        const std::string& fn, const std::string& product,
                        const std::string& version, const std::string& active,
                        const std::string& action) {
  return "        <device>\n"
         "            <device_id value=\"" +
         address +
         "\"/>\n"
         "            <venid value=\"8086\"/>\n"
         "            <devid value=\"24F0\"/>\n"
         "            <subvenid value=\"8086\"/>\n"
         "            <subdevid value=\"2628\"/>\n"
         "            <macaddress value=\"\"/>\n"
         "            <product_id value=\"" +
         product +
         "\"/>\n"
         "            <busnumber value=\"" +
         bus +
         "\"/>\n"
         "            <devicenumber value=\"" +
         dev +
         "\"/>\n"
         "            <funcnumber value=\"" +
         fn +
         "\"/>\n"
         "            <slotnumber value=\"\"/>\n"
         "            <nictype value=\"INTEL_OPA\"/>\n"
         "            <fw_item>\n"
         "                <type value=\"ROM\"/>\n"
         "                <firmware_id value=\"2628\"/>\n"
         "                <version value=\"" +
         version +
         "\"/>\n"
         "                <active_version value=\"" +
         active +
         "\"/>\n"
         "                <action value=\"" +
         action +
         "\"/>\n"
         "                <duration value=\"210\"/>\n"
         "                <message value=\"\"/>\n"
         "                <shared value=\"no\"/>\n"
         "            </fw_item>\n"
         "        </device>\n";
}

class ReportWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ctx_.log.open(dir_ + "/intel_OPA.log"));
    ctx_.log.set_clock([] { return std::time_t{0}; });
  }
  std::string log_text() { return read_file(dir_ + "/intel_OPA.log"); }

  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  RunContext ctx_;
};

TEST_F(ReportWriterTest, OneAdapterGivesTheExactDocument) {
  ctx_.adapters.push_back(
      adapter("0000:05:00.0", "1.2.0", {image("HFI & <Card>", "1.2.0"), image("other", "1.3.0")}));
  std::string path = dir_ + "/nicdiscovery.xml";
  ASSERT_EQ(save_discovery_report(ctx_, path), 0);
  EXPECT_EQ(read_file(path),
            std::string(kHeader) + "    <devices>\n" +
                device_text("0000:05:00.0", "0000:05", "00", "0", "HFI &amp; &lt;Card&gt;", "1.3.0",
                            "1.2.0", "upgrade") +
                "    </devices>\n</tarvik_rom_discovery>\n");
  EXPECT_EQ(log_text(), "");
}

TEST_F(ReportWriterTest, OnlyUsableAdaptersAreListedInTableOrder) {
  Adapter other;  // a function of another vendor: an all-zero record
  Adapter failed = adapter("0000:04:00.0", "1.0.0", {});
  failed.flags = 0;  // its queries failed
  ctx_.adapters = {other, failed, adapter("0000:81:00.1", "1.9.0", {}),
                   adapter("abcd:ef:1f.7", "1.9.0", {image("n", "1.9.0"), image("m", "1.10.0")})};
  std::string path = dir_ + "/r.xml";
  ASSERT_EQ(save_discovery_report(ctx_, path), 0);
  EXPECT_EQ(
      read_file(path),
      std::string(kHeader) + "    <devices>\n" +
          device_text("0000:81:00.1", "0000:81", "00", "1", "", "", "1.9.0", "Nothing") +
          device_text("abcd:ef:1f.7", "abcd:ef", "1f", "7", "n", "1.9.0", "1.9.0", "upgrade") +
          "    </devices>\n</tarvik_rom_discovery>\n");
}

TEST_F(ReportWriterTest, NoUsableAdapterStillGivesAWellFormedDocument) {
  std::string path = dir_ + "/r.xml";
  ASSERT_EQ(save_discovery_report(ctx_, path), 0);
  EXPECT_EQ(read_file(path), std::string(kHeader) + "    <devices/>\n</tarvik_rom_discovery>\n");
}

TEST(RecommendedAction, ComparesTriplesWhileTheVersionFollowsTheSortKey) {
  struct Case {
    const char* installed;
    std::vector<const char*> images;
    const char* action;
    const char* version;
  };
  const Case cases[] = {
      {"1.2.0", {"1.1.0", "1.2.0", "1.3.0"}, "upgrade", "1.3.0"},
      {"1.2.0", {"1.2.0", "1.1.0"}, "rewrite", "1.2.0"},
      {"2.0.0", {"1.9.9"}, "downgrade", "1.9.9"},
      {"2.0.0", {}, "Nothing", ""},
      {"1.9.0", {"1.9.0", "1.10.0"}, "upgrade", "1.9.0"},  // 1.10.0 has the smaller key
      {"1.0.0", {"10.2.3", "1.2.3"}, "upgrade", "1.2.3"},
      {"1.2.3", {"1.2.30", "1.2.3"}, "upgrade", "1.2.3"},  // equal keys: the later row wins
      {"3.0.0", {"2.0.0", "10.0.0"}, "upgrade", "2.0.0"},
  };
  for (const Case& c : cases) {
    std::vector<Image> images;
    for (const char* v : c.images) images.push_back(image("n", v));
    Adapter a = adapter("0000:05:00.0", c.installed, images);
    EXPECT_EQ(recommended_action(a), c.action) << c.installed;
    EXPECT_EQ(newest_version_text(a), c.version) << c.installed;
  }
}

TEST(SplitPciAddress, JoinsBackAndLeavesMissingPartsEmpty) {
  PciAddressParts p = split_pci_address("0000:05:00.0");
  EXPECT_EQ(p.bus + ":" + p.device + "." + p.function, "0000:05:00.0");
  p = split_pci_address("");
  EXPECT_EQ(p.bus + "|" + p.device + "|" + p.function, "||");
  p = split_pci_address("05:00.1");
  EXPECT_EQ(p.bus + "|" + p.device + "|" + p.function, "05||1");
}

// Saving: an earlier report is replaced whole or not at all.

TEST_F(ReportWriterTest, ReplacingKeepsModeAndSymlinkAndLeavesNoTemporaryFile) {
  ctx_.adapters.push_back(adapter("0000:05:00.0", "1.2.0", {}));
  std::string real = dir_ + "/real.xml";
  write_file(real, "old");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::string link = dir_ + "/link.xml";
  ASSERT_EQ(symlink("real.xml", link.c_str()), 0);

  ASSERT_EQ(save_discovery_report(ctx_, link), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(real).find("<?xml"), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                          std::filesystem::directory_iterator()),
            3)
      << "a temporary file was left behind";

  // A dangling link is followed too: the report is created where it points.
  std::string dangling = dir_ + "/dangling.xml";
  ASSERT_EQ(symlink("new.xml", dangling.c_str()), 0);
  mode_t old_mask = umask(027);
  ASSERT_EQ(save_discovery_report(ctx_, dangling), 0);
  umask(old_mask);
  ASSERT_EQ(stat((dir_ + "/new.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ReportWriterTest, FailedSaveIsAnErrorAndLeavesNoHalfReport) {
  ctx_.adapters.push_back(adapter("0000:05:00.0", "1.2.0", {}));
  std::string path = dir_ + "/missing-dir/nicdiscovery.xml";
  EXPECT_EQ(save_discovery_report(ctx_, path), 2);
  EXPECT_NE(log_text().find(" [[ERROR]    ] xml_discovery_report: Failed to save " + path + "\n\n"),
            std::string::npos);

  // A value that cannot be written as XML fails the document; the earlier report stays.
  std::string kept = dir_ + "/kept.xml";
  write_file(kept, "earlier report");
  ctx_.adapters[0].dev_type = std::string("\x01\xff", 2);
  EXPECT_EQ(save_discovery_report(ctx_, kept), 2);
  EXPECT_EQ(read_file(kept), "earlier report");
  EXPECT_NE(log_text().find("Error at XmlTextWriterEndDocument\n"), std::string::npos);
}

TEST_F(ReportWriterTest, NoTemporaryFileMeansNoSaveAndTheEarlierReportStays) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ctx_.adapters.push_back(adapter("0000:05:00.0", "1.2.0", {}));
  std::string sub = dir_ + "/ro";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  write_file(sub + "/nicdiscovery.xml", "old");
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  EXPECT_EQ(save_discovery_report(ctx_, sub + "/nicdiscovery.xml"), 2);
  EXPECT_EQ(read_file(sub + "/nicdiscovery.xml"), "old");
  EXPECT_NE(log_text().find("xml_discovery_report: Failed to save " + sub + "/nicdiscovery.xml\n"),
            std::string::npos);
  chmod(sub.c_str(), 0755);
}

TEST_F(ReportWriterTest, LinksOfAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "handing a link to another user needs root";
  ctx_.adapters.push_back(adapter("0000:05:00.0", "1.2.0", {}));
  std::string victim = dir_ + "/victim";
  write_file(victim, "precious");
  std::string link = dir_ + "/nicdiscovery.xml";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
  EXPECT_EQ(save_discovery_report(ctx_, link), 2);
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_NE(log_text().find(" [[ERROR]    ] xml_discovery_report: Refusing to write " + link +
                            " through a link owned by another user\n\n"),
            std::string::npos);
}

TEST_F(ReportWriterTest, NamesAreTakenLiterallyAndDevicesWrittenInPlace) {
  ctx_.adapters.push_back(adapter("0000:05:00.0", "1.2.0", {}));
  std::string percent = dir_ + "/a%41 b%2.xml";
  ASSERT_EQ(save_discovery_report(ctx_, percent), 0);
  EXPECT_EQ(read_file(percent).find("<?xml"), 0u);
  std::string percent2 = dir_ + "/c%41d.xml";
  ASSERT_EQ(save_discovery_report(ctx_, percent2), 0);
  EXPECT_EQ(read_file(percent2).find("<?xml"), 0u);
  EXPECT_NE(access((dir_ + "/cAd.xml").c_str(), F_OK), 0);

  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(save_discovery_report(ctx_, fifo), 0);
  std::string got(65536, '\0');
  ssize_t n = read(reader, &got[0], got.size());
  close(reader);
  ASSERT_GT(n, 0);
  EXPECT_EQ(got.substr(0, 5), "<?xml");
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace zanrex
