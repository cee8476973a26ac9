#include "catalogue.h"

#include <gtest/gtest.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace zanrex {
namespace {

const char kKey[] = "8086-24F0-8086-2628-2628";

const CatalogueQuery kQuery{kKey, "8086", "2628"};

std::string document(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<NICFWData>" + body + "</NICFWData>";
}

CatalogueMatch match(const std::string& body) {
  CataloguePass pass = match_catalogue_text(document(body), {kQuery});
  EXPECT_FALSE(pass.fault) << pass.fault->message;
  return pass.matches.empty() ? CatalogueMatch{} : pass.matches[0];
}

std::vector<std::string> names_of(const CatalogueMatch& m) {
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
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.entries[0].sub_ven_id, "8086");  // the adapter's own, not the catalogue's
  EXPECT_EQ(m.entries[0].sub_dev_id, "2628");
  EXPECT_EQ(m.entries[0].dev_id, "24F0");
}

TEST(CatalogueMatching, RememberedValuesAndAttributeOrder) {
  CatalogueMatch m = match(
      "<nic name='no subdevid' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' "
      "rom='9.9.9' fwFile1='stray.bin'/>"
      // Carries nothing but subdevid: judged with everything remembered from above.
      "<group><nic subdevid='x' rom='1.0.0' fwFile1='one.bin'><x/></nic></group>"
      // Its DEVICE_TYPE comes too late: judged with the remembered 2628, which matches.
      "<nic name='late type' subdevid='x' DEVICE_TYPE='0001' rom='2.0.0'/>"
      // Now judged with 0001, which does not match.
      "<nic name='after' subdevid='x' rom='3.0.0'/>"
      "<nic name='back' DEVICE_TYPE='2628' subdevid='x' fwFile2='b2' fwFile3='b3'/>");
  ASSERT_EQ(names_of(m), (std::vector<std::string>{"no subdevid", "late type", "back"}));
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

// The value libxml2's tree reader gives the first `name` attribute of `xml`.
std::string name_as_a_tree_reads_it(const std::string& xml) {
  xmlTextReaderPtr reader = xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr,
                                               nullptr, XML_PARSE_NONET);
  std::string value = "(none)";
  while (value == "(none)" && xmlTextReaderRead(reader) == 1) {
    xmlChar* v = xmlTextReaderGetAttribute(reader, BAD_CAST "name");
    if (v != nullptr) value = reinterpret_cast<const char*>(v);
    xmlFree(v);
  }
  xmlFreeTextReader(reader);
  return value;
}

TEST(CatalogueMatching, ReadsTheDocumentAsATreeReaderWould) {
  const std::string fits = "venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'";
  const std::string names[] = {"a &amp; b &#38;&#38;#38; &lt;&gt;&quot;&apos; &#x41;&#233;",
                               "line&#10;end\ttab\nnew  line", "", "plain"};
  for (const std::string& name : names) {
    const std::string xml = document("<nic name=\"" + name + "\" " + fits + "/>");
    CatalogueMatch m = match(xml.substr(xml.find("<NICFWData>") + 11,
                                        xml.rfind("</NICFWData>") - xml.find("<NICFWData>") - 11));
    ASSERT_EQ(m.entries.size(), 1u) << name;
    EXPECT_EQ(m.entries[0].name, name_as_a_tree_reads_it(xml)) << name;
  }
  // Attributes defaulted by the document's own DTD, prefixed ones and elements inside an
  // entity's text are not part of the document as read.
  CataloguePass pass = match_catalogue_text(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE c [\n<!ATTLIST nic rom CDATA '9.9.9'>\n"
      "<!ENTITY e \"<nic name='inside' " +
          fits +
          "/>\">\n]>\n"
          "<c xmlns:p='urn:p'><nic name='one' " +
          fits +
          "/>&e;"
          "<nic p:name='prefixed' " +
          fits + " p:rom='8.8.8'/></c>",
      {kQuery});
  ASSERT_FALSE(pass.fault);
  EXPECT_EQ(names_of(pass.matches[0]), (std::vector<std::string>{"one", "one"}));
  EXPECT_EQ(pass.matches[0].entries[0].rom, std::nullopt);
  EXPECT_EQ(pass.matches[0].entries[1].rom, std::nullopt);
}

TEST(CatalogueMatching, OnePassGivesEachAdapterWhatItsOwnPassWould) {
  const CatalogueQuery other{"8086-24F0-8086-E8F1-E8F1", "8086", "E8F1"};
  const std::string body =
      "<nic name='a' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x' "
      "rom='1.0.0'/>"
      // Fits the first adapter only, which then takes the later DEVICE_TYPE along; the second
      // stops looking at subdevid and keeps 2628.
      "<nic name='b' subdevid='x' DEVICE_TYPE='e8f1' rom='2.0.0'/>"
      "<nic name='c' subdevid='x' rom='3.0.0'/>"
      "<nic name='d' DEVICE_TYPE='E8F1' subdevid='x' fwFile1='d1'/>";
  CataloguePass both = match_catalogue_text(document(body), {kQuery, other, kQuery});
  ASSERT_FALSE(both.fault);
  ASSERT_EQ(both.matches.size(), 3u);
  EXPECT_EQ(names_of(both.matches[0]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(names_of(both.matches[1]), (std::vector<std::string>{"d"}));
  EXPECT_EQ(names_of(both.matches[2]), names_of(both.matches[0]));
  EXPECT_EQ(both.matches[1].entries[0].sub_dev_id, "E8F1");
  EXPECT_EQ(both.matches[1].entries[0].fw_file1, "d1");
  EXPECT_EQ(both.matches[0].entries[1].rom, "2.0.0");
  CataloguePass alone = match_catalogue_text(document(body), {other});
  EXPECT_EQ(names_of(alone.matches[0]), names_of(both.matches[1]));
}

TEST(CatalogueMatching, ADamagedDocumentGivesItsFaultAndNoEntries) {
  const std::string good =
      "<nic name='g' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>\n";
  const std::string head = "<?xml version=\"1.0\"?>\n<c>\n" + good;
  std::string laughs = "<!ENTITY a \"aaaaaaaaaa\">";
  for (char e = 'b'; e <= 'j'; ++e) {
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += std::string("&") + static_cast<char>(e - 1) + ";";
    laughs += std::string("<!ENTITY ") + e + " \"" + refs + "\">";
  }
  const struct {
    std::string xml;
    std::string message;
    int line;
  } cases[] = {
      {head + "<nic name='cut' venid='80", "AttValue: ' expected", 4},
      {head + "<x>" + std::string(1, '\0') + "</x></c>", "Char 0x0 out of allowed range", 4},
      {head + "<x name='\xff\xfe'/></c>",
       "Input is not proper UTF-8, indicate encoding !\nBytes: 0xFF 0xFE 0x27 0x2F", 4},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE c [" + laughs + "]>\n<c>\n" + good +
           "<nic name='&j;'/></c>",
       "Detected an entity reference loop", 5},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE c [<!ENTITY a 'aaaa'>]>\n<c>\n" + good +
           "<nic name='&a;&a;'/></c>",
       "Entity reference in the value of attribute name", 5},
      {"", "", 0},
  };
  for (const auto& c : cases) {
    CataloguePass pass = match_catalogue_text(c.xml, {kQuery});
    ASSERT_TRUE(pass.fault) << c.xml.substr(0, 200);
    EXPECT_TRUE(pass.matches.empty());
    if (!c.message.empty()) {
      EXPECT_EQ(pass.fault->message, c.message);
      EXPECT_EQ(pass.fault->line, c.line);
    }
  }
  std::string deep = head;
  for (int i = 0; i < 100000; ++i) deep += "<d>";
  CataloguePass pass = match_catalogue_text(deep, {kQuery});
  ASSERT_TRUE(pass.fault);
  EXPECT_EQ(pass.fault->message, "Excessive depth in document: 256 use XML_PARSE_HUGE option");
}

TEST(CatalogueMatching, KeepsTheFirstHundredAndSaysMoreMatched) {
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
  // The rest of the document is still read: a fault after the hundredth entry counts.
  EXPECT_TRUE(match_catalogue_text(document(body) + "<", {kQuery}).fault);
}

// A run context whose event log is a scratch file and whose standard error is captured.
class RunCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.log.set_clock([] { return std::time_t{0}; });
    ASSERT_TRUE(ctx_.log.open(dir_ + "/intel_OPA.log"));
    err_ = std::tmpfile();
    ctx_.err = err_;
  }
  void TearDown() override { std::fclose(err_); }
  // Reads `path` with the query and returns the exit status requested, or -1.
  int read(const std::string& path) {
    RunCatalogue catalogue(ctx_, path);
    catalogue.ask(kQuery);
    try {
      catalogue.answer(kQuery);
    } catch (const ExitRequest& e) {
      return e.status;
    }
    return -1;
  }
  std::string log_events() {
    std::string text = read_file(dir_ + "/intel_OPA.log");
    std::string out;
    for (size_t at = 0; (at = text.find(" [[", at)) != std::string::npos; ++at) {
      out += text.substr(at + 1, text.find('\n', at) - at);
    }
    return out;
  }
  std::string err() {
    std::rewind(err_);
    std::string s;
    for (int c; (c = std::fgetc(err_)) != EOF;) s += static_cast<char>(c);
    return s;
  }

  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  RunContext ctx_;
  FILE* err_ = nullptr;
};

TEST_F(RunCatalogueTest, MissingFileIsLoggedAndEndsTheRun) {
  EXPECT_EQ(read(dir_ + "/NICFWData.xml"), 1);
  EXPECT_EQ(log_events(), "[[ERROR]    ] Unable to open " + dir_ + "/NICFWData.xml\n");
  EXPECT_EQ(err(), "");
}

TEST_F(RunCatalogueTest, DamagedFileIsLoggedSaidOnStandardErrorAndEndsTheRun) {
  const std::string path = dir_ + "/NICFWData.xml";
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<c>\n<x name='\xff'/>\n</c>\n";
  // libxml2 itself says nothing: what it would write to the process's standard error is kept.
  std::fflush(stderr);
  int saved = dup(2);
  FILE* caught = std::tmpfile();
  dup2(fileno(caught), 2);
  int status = read(path);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::rewind(caught);
  EXPECT_EQ(std::fgetc(caught), EOF);
  std::fclose(caught);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(log_events(), "[[ERROR]    ] Unable to read " + path +
                              ": Input is not proper UTF-8, indicate encoding !?Bytes: 0xFF 0x27 "
                              "0x2F 0x3E at line 3\n");
  EXPECT_EQ(err(),
            "zanrex: the firmware catalogue " + path + " is damaged (line 3); nothing was done\n");
}

TEST_F(RunCatalogueTest, SameAdaptersShareOneAnswer) {
  const std::string path = dir_ + "/NICFWData.xml";
  std::ofstream(path) << document(
      "<nic name='a' venid='8086' devid='24f0' subvenid='x' DEVICE_TYPE='2628' subdevid='x'/>");
  RunCatalogue catalogue(ctx_, path);
  catalogue.open();
  std::remove(path.c_str());  // opened where the first adapter asked: read from that
  const CatalogueQuery other{"X", "8086", "2628"};
  for (const CatalogueQuery& q : {kQuery, other, kQuery}) catalogue.ask(q);
  CatalogueMatch m = catalogue.answer(kQuery);
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(catalogue.answer(other).entries.empty());
  EXPECT_EQ(names_of(catalogue.answer(kQuery)), (std::vector<std::string>{"a"}));
  log_overflow(ctx_, m, "0000:81:00.0");
  m.more_than_capacity = true;
  log_overflow(ctx_, m, "0000:81:00.0");
  EXPECT_EQ(log_events(),
            "[[WARNING]  ] For 0000:81:00.0 more than 100 firmware files match in XML, the first "
            "100 are used\n");
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
