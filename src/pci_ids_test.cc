#include "pci_ids.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdarg>
#include <cstdlib>
#include <fstream>

#include "test_support.h"

extern "C" {
#include <pci/pci.h>
}

namespace zanrex {
namespace {

// libpci's own vendor lookup on the ID file at `path`: the name, or the library's error
// message when it gives up on the file.
std::jmp_buf library_gave_up;
std::string library_message;

__attribute__((noreturn)) void on_library_error(char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  library_message = text;
  std::longjmp(library_gave_up, 1);
}

void say_nothing(char* /*format*/, ...) {}

struct LibraryAnswer {
  std::vector<std::string> names;  // one per vendor asked for, while the file is good
  std::string error;
};

LibraryAnswer library_lookup(const std::string& path, const std::vector<int>& vendors) {
  static LibraryAnswer answer;  // outside the frame setjmp returns to twice
  answer = {};
  pci_access* access = pci_alloc();
  access->error = on_library_error;
  access->warning = say_nothing;  // pci_init would set these; the lookup needs no bus
  access->debug = say_nothing;
  std::string name_path = path;
  pci_set_name_list_path(access, name_path.data(), 0);
  if (setjmp(library_gave_up) == 0) {
    char buffer[1024];
    for (int vendor : vendors) {
      answer.names.emplace_back(pci_lookup_name(access, buffer, sizeof buffer,
                                                PCI_LOOKUP_VENDOR | PCI_LOOKUP_NO_HWDB, vendor, 0));
    }
  } else {
    answer.names.clear();
    answer.error = library_message;
  }
  pci_cleanup(access);
  return answer;
}

LibraryAnswer our_lookup(const std::string& path, const std::vector<int>& vendors) {
  LibraryAnswer answer;
  PciIdNames names(path);
  for (int vendor : vendors) {
    std::optional<std::string> name = names.vendor_name(vendor);
    if (!name) {
      answer.names.clear();
      answer.error = names.error();
      break;
    }
    answer.names.push_back(*name);
  }
  return answer;
}

class IdFile : public ::testing::Test {
 protected:
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  ScratchDir scratch_;
  std::string path_ = scratch_.path() + "/pci.ids";
};

const std::vector<int> kAsked = {0x8086, 0x15b3, 0x1234, 0x0001, 0xffff};

// A file with every kind of line, good, and texts that break it at one line or another (or only
// just do not): the
// reader answers as the library does, name for name and message for message.
TEST_F(IdFile, AnswersAsTheLibraryDoes) {
  const std::string good =
      "# comment\n"
      "\n"
      "0001  SafeNet \t\n"  // one blank at the end is dropped, no more
      "8086\tIntel Corporation\r\n"
      "\t24f0  Omni-Path HFI Silicon 100 Series [discrete]\n"
      "\t\t8086 2628  Omni-Path HFI Adapter 100 Series, 1 Port, PCIe x16\n"
      "\t\t8086 2629  Omni-Path HFI Adapter 100 Series, 2 Ports\n"
      "15b3  Mellanox Technologies\n"
      "\t   \n"
      "X unrecognised block\n"
      "\t\t\t\tanything at all\n"
      "S 8086\n"
      "\t0001  Generic subsystem\n"
      "C 02  Network controller\n"
      "\t08  Fabric controller\n"
      "\t\t00  Programming interface\n"
      "\t\t01  Another\n";
  const std::vector<std::string> edge_cases = {
      good + "8086  Intel again\n",                     // a second vendor entry
      good + "S 8086\n\t0001  Generic again\n",         // a second generic subsystem
      "\t24f0  A device before any vendor\n",           // no block yet
      "8086  Intel\n\t\t\t0001 0001  three tabs in\n",  // nesting too deep
      "8086  Intel\n\t24f0\n",                          // an entry without a name
      "808g  Not hex\n",                                //
      "S 1234\n\t0001  Generic of a vendor not seen yet\n1234  Vendor\n",
      "8086  Intel\n" + std::string(1100, 'x') + "\n15b3  Mellanox\n",  // too long for a line
      "8086  Intel\n15b3  Mell" + std::string(1, '\0') + "anox\n1234  x\n",
      "8086  Intel\n8086  Intel\nzzzz\n",                  // a duplicate before a parse error
      "8086  Intel\n\t0001  d\n\t0001  d\n8086  Intel\n",  // two: the earlier one counts
      "8086  Intel\nzzzz\n8086  Intel\n",                  // a parse error before a duplicate
      "8086  Intel\n15b3  " + std::string(1017, 'm'),      // a last line without its line end
      "8086  Intel\n15b3  " + std::string(1016, 'm'),      // the same, one shorter: fits
      "8086  Intel\rand what follows a carriage return\n",
      "",
  };
  write(good);
  LibraryAnswer expected = library_lookup(path_, kAsked);
  ASSERT_EQ(expected.error, "");
  LibraryAnswer ours = our_lookup(path_, kAsked);
  EXPECT_EQ(ours.names, expected.names);
  EXPECT_EQ(ours.names[0], "Intel Corporation");
  EXPECT_EQ(ours.names[3], "SafeNet ");
  EXPECT_EQ(ours.names[4], "Vendor ffff");
  for (size_t i = 0; i < edge_cases.size(); ++i) {
    write(edge_cases[i]);
    expected = library_lookup(path_, kAsked);
    ours = our_lookup(path_, kAsked);
    EXPECT_EQ(ours.error, expected.error) << "case " << i;
    EXPECT_EQ(ours.names, expected.names) << "case " << i;
  }

  // No file: every vendor by its ID, and no error. A directory: a read error.
  std::filesystem::remove(path_);
  EXPECT_EQ(our_lookup(path_, {0x8086}).names, std::vector<std::string>{"Vendor 8086"});
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  expected = library_lookup(path_, kAsked);
  EXPECT_EQ(expected.error, "I/O error at " + path_ + ", line 0\n");
  EXPECT_EQ(our_lookup(path_, kAsked).error, expected.error);
}

// The machine's own ID file, every vendor ID there is.
TEST(PciIds, NamesEveryVendorOfTheSystemFileAsTheLibraryDoes) {
  const std::string path = "/usr/share/misc/pci.ids";
  if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << path << " is not installed";
  std::vector<int> all(0x10000);
  for (int i = 0; i < 0x10000; ++i) all[i] = i;
  LibraryAnswer expected = library_lookup(path, all);
  ASSERT_EQ(expected.error, "");
  LibraryAnswer ours = our_lookup(path, all);
  EXPECT_EQ(ours.error, "");
  EXPECT_TRUE(ours.names == expected.names);
}

}  // namespace
}  // namespace zanrex
