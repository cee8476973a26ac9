// Vendor names from a PCI ID file (pci.ids), read by the rules libpci's own reader follows, so
// that a name, its fallback and an error come out exactly as the library's vendor lookup gives
// them. The library keeps every name of the file in a hash table to answer one question per
// adapter; this reader checks the file the same way but keeps only the vendor names, at a
// fraction of the cost.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

namespace zanrex {

// What one reading of an ID file gives.
struct PciIdsContents {
  std::unordered_map<int, std::string> vendors;  // vendor ID -> name as the file gives it
  // The first fault in the file, as the library words it ("Parse error", "Line too long",
  // "Duplicate entry", "Vendor does not exist", "I/O error"), and the line it was found on.
  std::optional<std::string> error;
  int error_line = 0;
};

// Reads and checks the whole of the file open at `fd`; a fault ends the reading, as it ends
// the library's.
PciIdsContents read_pci_ids(int fd);

// The vendor names of the ID file at one path, read on the first lookup.
class PciIdNames {
 public:
  explicit PciIdNames(std::string path) : path_(std::move(path)) {}

  // The name of vendor `vendor_id`; "Vendor %04x" when the file has none or cannot be opened.
  // Nothing when the file is faulty; `error()` then holds the library's message for it,
  // "<fault> at <path>, line <n>\n".
  std::optional<std::string> vendor_name(int vendor_id);
  const std::string& error() const { return error_; }

 private:
  void load();

  std::string path_;
  bool loaded_ = false;
  std::unordered_map<int, std::string> vendors_;
  std::string error_;
};

}  // namespace zanrex
