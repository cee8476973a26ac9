#include "pci_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace zanrex {
namespace {

// A sysfs tree of our own that libpci is pointed at.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override { mkdir((root_ + "/devices").c_str(), 0755); }

  void add(const std::string& address, const char* vendor, const char* cls) {
    std::string d = root_ + "/devices/" + address;
    mkdir(d.c_str(), 0755);
    write(d + "/vendor", vendor);
    write(d + "/device", "0x24f0");
    write(d + "/class", cls);
    write(d + "/subsystem_vendor", "0x8086");
    write(d + "/subsystem_device", "0xe8f1");
  }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
  }

  ScratchDir scratch_;
  std::string root_ = scratch_.path();
};

TEST_F(FakeSysfs, ScanListsOneFunctionPerDeviceInAddressOrderWithVendorNames) {
  add("10000:01:00.0", "0x8086", "0x020800");
  add("ffff:00:00.0", "0x8086", "0x020800");
  add("0000:81:00.1", "0x8086", "0x020800");
  add("0000:81:00.0", "0x8086", "0x020800");
  add("0000:05:00.0", "0x15b3", "0x020800");
  add("0000:00:1f.0", "0x8086", "0x060100");  // another class
  add("0000:82:00.0", "0x1fff", "0x020800");  // a vendor without a name
  // A function without attributes is passed over; the next function of its device is not.
  mkdir((root_ + "/devices/0000:83:00.0").c_str(), 0755);
  add("0000:83:00.1", "0x8086", "0x020800");
  PciScanResult r = scan_pci_class(0x0208, {root_});
  ASSERT_FALSE(r.error) << *r.error;
  std::vector<std::string> addresses;
  for (const PciFunction& f : r.functions) addresses.push_back(f.address);
  EXPECT_EQ(addresses, (std::vector<std::string>{"0000:05:00.0", "0000:81:00.0", "0000:82:00.0",
                                                 "0000:83:00.1", "ffff:00:00.0", "10000:01:00.0"}));
  EXPECT_EQ(r.functions[0].vendor_name, "Mellanox Technologies");
  EXPECT_EQ(r.functions[1].vendor_name, "Intel Corporation");
  EXPECT_EQ(r.functions[2].vendor_name, "Vendor 1fff");
  EXPECT_EQ(r.functions[0].vendor_id, 0x15b3);
  EXPECT_EQ(r.functions[1].vendor_id, 0x8086);
  ASSERT_EQ(r.passed_over.size(), 1u);
  EXPECT_EQ(r.passed_over[0].address, "0000:83:00.0");
  EXPECT_EQ(r.passed_over[0].message,
            "Cannot open " + root_ + "/devices/0000:83:00.0/vendor: No such file or directory");
}

TEST_F(FakeSysfs, LibraryErrorsEndTheScanInsteadOfTheProgram) {
  add("0000:81:00.0", "0x8086", "0x020800");
  mkdir((root_ + "/devices/not-an-address").c_str(), 0755);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_disable();  // libpci, given up on in mid-scan, cannot free what it was building
#endif
  PciScanResult r = scan_pci_class(0x0208, {root_});
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
  ASSERT_TRUE(r.error);
  EXPECT_EQ(*r.error, "sysfs_scan: Couldn't parse entry name not-an-address");
  EXPECT_TRUE(r.functions.empty());

  std::filesystem::remove_all(root_ + "/devices");
  r = scan_pci_class(0x0208, {root_});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(*r.error, "Cannot open " + root_ + "/devices");
}

TEST_F(FakeSysfs, IdentityComesFromTheFourFilesOrNotAtAll) {
  add("0000:81:00.0", "0x8086", "0x020800");
  write(root_ + "/devices/0000:81:00.0/subsystem_device", "junk");
  FILE* err = tmpfile();
  std::optional<PciIdentity> id = read_pci_identity(root_ + "/devices", "0000:81:00.0", err);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->ven_id, 0x8086);
  EXPECT_EQ(id->dev_id, 0x24f0);
  EXPECT_EQ(id->sub_ven_id, 0x8086);
  EXPECT_EQ(id->sub_dev_id, 0);  // no number in the file
  EXPECT_EQ(std::ftell(err), 0);

  EXPECT_FALSE(read_pci_identity(root_ + "/devices", "", err));
  EXPECT_EQ(std::ftell(err), 0);
  EXPECT_FALSE(read_pci_identity(root_ + "/devices", "0000:99:00.0", err));
  std::rewind(err);
  char line[512] = {0};
  ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
  EXPECT_EQ(std::string(line),
            "ERROR: could not open " + root_ +
                "/devices/0000:99:00.0/vendor (errno=2), common_utilities,412\n");
  std::fclose(err);
}

}  // namespace
}  // namespace zanrex
