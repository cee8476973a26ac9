#include "catalogue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace zanrex {
namespace {

const char kKey[] = "8086-24F0-8086-2628-2628";

CatalogueMatch match(const std::string& body, size_t capacity = kMaxImagesPerAdapter) {
  return match_catalogue_text("<?xml version=\"1.0\"?>\n<NICFWData>" + body + "</NICFWData>",
                              {kKey, "8086", "2628", capacity});
}

std::vector<std::string> names(const CatalogueMatch& m) {
  std::vector<std::string> out;
  for (const CatalogueEntry& e : m.entries) out.push_back(e.name.value_or("(none)"));
  return out;
}

TEST(CatalogueKeys, AdapterAndEntryForms) {
  EXPECT_EQ(adapter_key(0x8086, 0x24f0, 0x8086, 0x2628, "2628"), kKey);
  EXPECT_EQ(adapter_key(0x15b3, 0x3, 0, 0xe8f1, "e8f1"), "15B3-0003-0000-E8F1-e8f1");
  EXPECT_EQ(entry_key("8086", "24f0", "8086", "2628", "2628"), "8086-24f0-8086-2628-2628");
  EXPECT_EQ(entry_key("86", "0x24f0", "", "2628", ""), "  86-0x24f0-    -2628-");
}

TEST(CatalogueMatching, VendorDeviceAndTypeDecideIgnoringCase) {
  CatalogueMatch m = match(
      "<nic name='a' venid='8086' devid='24F0' subvenid='1111' DEVICE_TYPE='2628' "
      "subdevid='9999'/>"  // subsystem values have no effect
      "<nic name='b' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>"
      "<nic name='c' venid='0x8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>"
      "<nic name='d' venid=' 8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>"
      "<nic name='e' venid='86' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>"
      "<nic name='f' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='e8f1' subdevid='x'/>");
  EXPECT_TRUE(m.opened);
  EXPECT_EQ(names(m), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.entries[0].sub_ven_id, "8086");  // the adapter's own, not the catalogue's
  EXPECT_EQ(m.entries[0].sub_dev_id, "2628");
  EXPECT_EQ(m.entries[0].dev_id, "24F0");
}

TEST(CatalogueMatching, RememberedValuesAndAttributeOrder) {
  CatalogueMatch m = match(
      "<nic name='no subdevid' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' "
      "rom='9.9.9' fwFile1='stray.bin'/>"
      // Carries nothing but subdevid: judged with everything remembered from above.
      "<group><nic subdevid='x' rom='1.0.0' fwFile1='one.bin'/></group>"
      // Its DEVICE_TYPE comes too late: judged with the remembered 2628, which matches.
      "<nic name='late type' subdevid='x' DEVICE_TYPE='0001' rom='2.0.0'/>"
      // Now judged with 0001, which does not match.
      "<nic name='after' subdevid='x' rom='3.0.0'/>"
      "<nic name='back' DEVICE_TYPE='2628' subdevid='x' fwFile2='b2' fwFile3='b3'/>");
  ASSERT_EQ(names(m), (std::vector<std::string>{"no subdevid", "late type", "back"}));
  // The element without subdevid gave its image attributes to nobody.
  EXPECT_EQ(m.entries[0].rom, "1.0.0");
  EXPECT_EQ(m.entries[0].fw_file1, "one.bin");
  EXPECT_EQ(m.entries[1].rom, "2.0.0");
  EXPECT_EQ(m.entries[1].fw_file1, std::nullopt);
  EXPECT_EQ(m.entries[2].rom, std::nullopt);
  EXPECT_EQ(m.entries[2].fw_file2, "b2");
  EXPECT_EQ(m.entries[2].fw_file3, "b3");
}

TEST(CatalogueMatching, NothingMatchesBeforeEveryKeyValueWasSeen) {
  EXPECT_TRUE(
      match("<nic venid='8086' devid='24f0' DEVICE_TYPE='2628' subdevid='x'/>").entries.empty());
  EXPECT_TRUE(
      match("<nic venid='8086' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>").entries.empty());
  EXPECT_TRUE(match("<nic venid='8086' devid='24f0' subvenid='x' subdevid='x'/>").entries.empty());
  CatalogueMatch m = match(
      "<nic venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' "
      "subdevid='x'/>");
  ASSERT_EQ(m.entries.size(), 1u);
  EXPECT_EQ(m.entries[0].name, std::nullopt);
}

TEST(CatalogueMatching, AFaultKeepsWhatCameBefore) {
  const std::string good =
      "<nic name='%' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>";
  // The parser works in chunks: what it delivered before it met the fault stands.
  const std::string filler = "<!--" + std::string(4000, '-') + "-->";
  CatalogueMatch m = match(good + good + filler + "<broken attr=>" + good);
  EXPECT_TRUE(m.opened);
  EXPECT_EQ(m.entries.size(), 2u);
  m = match_catalogue_text("", {kKey, "8086", "2628"});
  EXPECT_TRUE(m.entries.empty());
}

TEST(CatalogueMatching, StopsAfterCapacityAndSaysMoreMatched) {
  std::string body;
  for (int i = 0; i < 160; ++i) {
    body += "<nic name='n" + std::to_string(i) +
            "' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x' "
            "rom='1.0." +
            std::to_string(i) + "'/>";
  }
  CatalogueMatch m = match(body);
  ASSERT_EQ(m.entries.size(), 100u);
  EXPECT_TRUE(m.more_than_capacity);
  EXPECT_EQ(m.entries[99].name, "n99");
  EXPECT_EQ(m.entries[99].rom, "1.0.99");
  m = match(body, 160);
  EXPECT_EQ(m.entries.size(), 160u);
  EXPECT_FALSE(m.more_than_capacity);
}

TEST(ReadCatalogue, MissingFileIsLoggedAndEndsTheRun) {
  char log_name[] = "/tmp/zanrex-cat-log-XXXXXX";
  int fd = mkstemp(log_name);
  ASSERT_GE(fd, 0);
  close(fd);
  RunContext ctx;
  ctx.log.set_clock([] { return std::time_t{0}; });
  ASSERT_TRUE(ctx.log.open(log_name));
  std::vector<CatalogueEntry> entries;
  try {
    read_catalogue(ctx, "/nonexistent/NICFWData.xml", kKey, "8086", "2628", "0000:81:00.0",
                   entries);
    ADD_FAILURE() << "no exit requested";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status, 1);
  }
  std::ifstream in(log_name);
  std::string line;
  std::getline(in, line);
  EXPECT_NE(line.find(" [[ERROR]    ] Unable to open /nonexistent/NICFWData.xml"),
            std::string::npos)
      << line;
  unlink(log_name);
}

TEST(ImagesFromEntries, VersionsParsedAndFilesKeptPerEntry) {
  std::vector<CatalogueEntry> entries(2);
  entries[0].name = "first";
  entries[0].rom = "1.10.0";
  entries[0].fw_file1 = "a1";
  entries[0].fw_file2 = "a2";
  entries[1].fw_file3 = "b3";
  std::vector<Image> images = images_from_entries(entries);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].name, "first");
  EXPECT_EQ(display_version(images[0].version), "1.10.0");
  EXPECT_EQ(images[0].fw_file2, "a2");
  EXPECT_EQ(images[0].fw_file3, std::nullopt);
  EXPECT_EQ(display_version(images[1].version), "0.0.0");  // no rom
  EXPECT_EQ(images[1].fw_file3, "b3");
}

}  // namespace
}  // namespace zanrex
