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

TEST(ParsePciAddress, ReadsEveryPartOfAnAddress) {
  PciAddressFilter f;
  EXPECT_EQ(parse_pci_address("0000:81:00.0", f), std::nullopt);
  EXPECT_EQ(f.domain, 0);
  EXPECT_EQ(f.bus, 0x81);
  EXPECT_EQ(f.slot, 0);
  EXPECT_EQ(f.func, 0);
  EXPECT_EQ(parse_pci_address("00ff:0A:1f.7", f), std::nullopt);
  EXPECT_EQ(f.domain, 0xff);
  EXPECT_EQ(f.bus, 0x0a);
  EXPECT_EQ(f.slot, 0x1f);
  EXPECT_EQ(f.func, 7);
  // Domains of any width: 0100 on a large machine, 10000 behind a volume-management device.
  EXPECT_EQ(parse_pci_address("0100:81:00.0", f), std::nullopt);
  EXPECT_EQ(f.domain, 0x100);
  EXPECT_EQ(parse_pci_address("10000:e1:1f.3", f), std::nullopt);
  EXPECT_EQ(f.domain, 0x10000);
  EXPECT_EQ(f.bus, 0xe1);
  EXPECT_EQ(f.slot, 0x1f);
  EXPECT_EQ(f.func, 3);
  EXPECT_EQ(format_pci_address(0x10000, 0xe1, 0x1f, 3), "10000:e1:1f.3");
  EXPECT_EQ(format_pci_address(0x100, 5, 0, 0), "0100:05:00.0");

  // "*" and empty parts leave their fields as they were.
  PciAddressFilter any;
  EXPECT_EQ(parse_pci_address("0002:*:*.*", any), std::nullopt);
  EXPECT_EQ(any.domain, 2);
  EXPECT_EQ(any.bus, -1);
  EXPECT_EQ(any.slot, -1);
  EXPECT_EQ(any.func, -1);
  EXPECT_EQ(parse_pci_address("0001:02:03.", any), std::nullopt);
  EXPECT_EQ(any.slot, 3);
  EXPECT_EQ(any.func, -1);
}

TEST(ParsePciAddress, NamesTheFirstPartOutOfRange) {
  PciAddressFilter f;
  EXPECT_EQ(parse_pci_address("80000000:81:00.0", f), "Invalid domain number");
  EXPECT_EQ(parse_pci_address(std::string(5000, 'f') + ":81:00.0", f), "Invalid domain number");
  EXPECT_EQ(parse_pci_address("0000:81", f), "Invalid input. Either colon or dot missing!");
  EXPECT_EQ(parse_pci_address("0000.81", f), "Invalid input. Either colon or dot missing!");
  EXPECT_EQ(parse_pci_address("", f), "Invalid input. Either colon or dot missing!");
  EXPECT_EQ(parse_pci_address("0000:00:20.0", f), "Invalid slot number");
  EXPECT_EQ(parse_pci_address("0000:00:00.8", f), "Invalid function number");
  EXPECT_EQ(parse_pci_address("0000:00:00.10", f), "Invalid function number");
  EXPECT_EQ(parse_pci_address("0000:00:00." + std::string(5000, 'f'), f),
            "Invalid function number");
}

TEST(OneAddressPerDevice, SortsAndKeepsTheLowestFunction) {
  std::vector<std::string> kept = one_address_per_device(
      {"0000:81:00.1", "10000:01:00.1", "0000:81:00.0", "10000:01:01.0", "0001:00:00.0",
       "0000:05:00.0", "ffff:00:00.0", "10000:01:00.0", "0000:81:01.0"});
  std::vector<std::string> expected = {"0000:05:00.0", "0000:81:00.0", "0000:81:01.0",
                                       "0001:00:00.0", "ffff:00:00.0", "10000:01:00.0",
                                       "10000:01:01.0"};
  EXPECT_EQ(kept, expected);
  EXPECT_TRUE(one_address_per_device({}).empty());
}

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
  add("0000:81:00.1", "0x8086", "0x020800");
  add("0000:81:00.0", "0x8086", "0x020800");
  add("0000:05:00.0", "0x15b3", "0x020800");
  add("0000:00:1f.0", "0x8086", "0x060100");  // another class
  add("0000:82:00.0", "0x1fff", "0x020800");  // a vendor without a name
  PciScanResult r = scan_pci_class(0x0208, {root_});
  ASSERT_FALSE(r.error) << *r.error;
  ASSERT_EQ(r.functions.size(), 3u);
  EXPECT_EQ(r.functions[0].address, "0000:05:00.0");
  EXPECT_EQ(r.functions[0].vendor_name, "Mellanox Technologies");
  EXPECT_EQ(r.functions[1].address, "0000:81:00.0");
  EXPECT_EQ(r.functions[1].vendor_name, "Intel Corporation");
  EXPECT_EQ(r.functions[2].address, "0000:82:00.0");
  EXPECT_EQ(r.functions[2].vendor_name, "Vendor 1fff");
  EXPECT_EQ(r.functions[0].vendor_id, 0x15b3);
  EXPECT_EQ(r.functions[1].vendor_id, 0x8086);
}

TEST_F(FakeSysfs, VendorNamesComeFromTheFirstReadableIdFile) {
  add("0000:81:00.0", "0x8086", "0x020800");
  write(root_ + "/first.ids", "8086  First Vendor Name");
  write(root_ + "/second.ids", "8086  Second Vendor Name");
  PciScanOptions options{root_};
  options.pci_ids_places = {root_ + "/missing.ids", root_ + "/first.ids", root_ + "/second.ids"};
  PciScanResult r = scan_pci_class(0x0208, options);
  ASSERT_EQ(r.functions.size(), 1u);
  EXPECT_EQ(r.functions[0].vendor_name, "First Vendor Name");

  // With no file at any place, the vendor is named by its ID and the scan is otherwise alike.
  options.pci_ids_places = {root_ + "/missing.ids", root_ + "/also-missing.ids"};
  r = scan_pci_class(0x0208, options);
  ASSERT_FALSE(r.error) << *r.error;
  ASSERT_EQ(r.functions.size(), 1u);
  EXPECT_EQ(r.functions[0].address, "0000:81:00.0");
  EXPECT_EQ(r.functions[0].vendor_name, "Vendor 8086");
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
