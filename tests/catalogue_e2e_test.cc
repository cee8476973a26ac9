// A firmware catalogue that is not well-formed, end to end: every mode ends as for a missing
// catalogue, before anything is flashed or written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simulated_server.h"

namespace zanrex_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The entry that fits both simulated adapters and is newer than what they run.
const char kEntry[] =
    "<nic name=\"HFI\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
    "subdevid=\"2628\" rom=\"1.3.0\" fwFile1=\"a\" fwFile2=\"b\" fwFile3=\"c\"/>\n";
const std::string kHead = std::string("<?xml version=\"1.0\"?>\n<NICFWData>\n") + kEntry;

std::string entity_bomb() {
  std::string laughs = "<!ENTITY a \"aaaaaaaaaa\">\n";
  for (char e = 'b'; e <= 'j'; ++e) {
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += std::string("&") + static_cast<char>(e - 1) + ";";
    laughs += std::string("<!ENTITY ") + e + " \"" + refs + "\">\n";
  }
  return "<?xml version=\"1.0\"?>\n<!DOCTYPE NICFWData [\n" + laughs + "]>\n<NICFWData>\n" +
         kEntry + "<nic name=\"&j;\"/>\n</NICFWData>\n";
}

std::string deep_nesting() {
  std::string text = kHead;
  for (int i = 0; i < 100000; ++i) text += "<d>";
  for (int i = 0; i < 100000; ++i) text += "</d>";
  return text + "</NICFWData>\n";
}

const char kReport[] =
    "<?xml version=\"1.0\"?>\n<tarvik_rom_discovery version=\"2.0.0.0\"><devices><device>"
    "<device_id value=\"0000:81:00.0\"/><venid value=\"8086\"/><devid value=\"24F0\"/>"
    "<subvenid value=\"8086\"/><subdevid value=\"2628\"/><busnumber value=\"0000:81\"/>"
    "<devicenumber value=\"00\"/><funcnumber value=\"0\"/><fw_item><type value=\"ROM\"/>"
    "<firmware_id value=\"2628\"/><active_version value=\"1.2.0\"/>"
    "<action value=\"upgrade\"/></fw_item></device></devices></tarvik_rom_discovery>\n";

TEST(DamagedCatalogueE2E, EveryModeEndsWithOneBeforeFlashingOrWriting) {
  SimulatedServer sim;
  SKIP_WITHOUT_UMOCKDEV(sim);
  sim.add_pci_function({"0000:81:00.0"});
  sim.add_pci_function({"0000:82:00.0"});
  sim.set_installed_version("0000:81:00.0", "1.2.0");
  sim.set_installed_version("0000:82:00.0", "1.2.0");
  sim.write_file("r.xml", kReport);
  const std::string earlier = "<earlier report/>\n";

  const struct {
    const char* what;
    std::string catalogue;
    int line;
  } damaged[] = {
      {"cut short after the matching entry", kHead + "<nic name=\"next\" ven", 4},
      {"a NUL byte", kHead + "<x>" + std::string(1, '\0') + "</x></NICFWData>\n", 4},
      {"invalid UTF-8", kHead + "<x name=\"\xff\"/></NICFWData>\n", 4},
      {"an entity bomb", entity_bomb(), 16},
      {"deep nesting", deep_nesting(), 4},
  };
  const std::vector<std::vector<std::string>> modes = {{"-c"}, {"-d"}, {"-s"}, {}, {"-u", "r.xml"}};
  for (const auto& d : damaged) {
    sim.set_catalogue(d.catalogue);
    for (const std::vector<std::string>& args : modes) {
      const std::string mode = args.empty() ? "upgrade" : args[0];
      SCOPED_TRACE(std::string(d.what) + ", " + mode);
      sim.write_file("nicdiscovery.xml", earlier);
      sim.remove_file("intel_OPA.log");
      RunResult r = sim.run(args, "y\ny\n");
      EXPECT_EQ(r.status, 1);
      const std::string line = std::to_string(d.line);
      EXPECT_EQ(r.err, "zanrex: the firmware catalogue nic_fw/NICFWData.xml is damaged (line " +
                           line + "); nothing was done\n");
      const std::string logged = "[[ERROR]    ] Unable to read nic_fw/NICFWData.xml: ";
      EXPECT_TRUE(contains(r.log, logged)) << r.log;
      EXPECT_TRUE(contains(r.log, " at line " + line + "\n")) << r.log;
      EXPECT_EQ(r.log.find(" [["), r.log.rfind(" [[")) << r.log;  // that event alone
      for (const std::string& call : r.calls) EXPECT_TRUE(contains(call, " -V -o")) << call;
      EXPECT_EQ(sim.read_file("nicdiscovery.xml"), earlier);
      EXPECT_FALSE(contains(r.out, "flash the firmware"));
    }
  }
}

}  // namespace
}  // namespace zanrex_test
