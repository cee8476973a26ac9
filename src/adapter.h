// The adapter record every run mode works on, and the catalogue entry it is matched with.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "version.h"

namespace zanrex {

// Bits of Adapter::flags.
enum AdapterFlag : int {
  kNicValid = 0x1,  // usable adapter: its installed version and device type were read
  kNicFlash = 0x2,  // selected for flashing
};

// Most catalogue entries kept for one adapter.
constexpr size_t kMaxImagesPerAdapter = 100;

// "%04X" of a PCI ID, as catalogue keys and reports write it.
inline std::string id_text(int id) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id));
  return text;
}

// One catalogue entry as the catalogue reader collects it. Absent attributes stay empty.
struct CatalogueEntry {
  std::optional<std::string> name;
  std::optional<std::string> ven_id;
  std::optional<std::string> dev_id;
  std::optional<std::string> sub_ven_id;
  std::optional<std::string> sub_dev_id;
  std::optional<std::string> rom;
  std::optional<std::string> fw_file1;
  std::optional<std::string> fw_file2;
  std::optional<std::string> fw_file3;
  std::optional<std::string> device_type;
};

// One catalogue image matched to an adapter; each keeps its own set of three files.
struct Image {
  std::optional<std::string> name;
  Version version;
  std::optional<std::string> fw_file1;
  std::optional<std::string> fw_file2;
  std::optional<std::string> fw_file3;
};

// One adapter: an entry of the PCI scan, or the adapter a device of a discovery report names
// (what only a report says is in ReportDevice, report_parse.h).
struct Adapter {
  std::optional<std::string> address;       // PCI address "%04x:%02x:%02x.%d"; a report's is
                                            // rebuilt from its bus, device and function
  std::optional<std::string> firmware_ver;  // installed version text as the tool printed it
  int ven_id = 0;
  int dev_id = 0;
  int sub_ven_id = 0;
  int sub_dev_id = 0;
  std::optional<std::string> current_mac;  // from a report; empty for a scanned adapter
  Version installed;
  std::vector<Image> images;            // matched catalogue entries, in catalogue order
  std::optional<std::string> dev_type;  // subsystem device ID as lspci prints it
  int flags = 0;
};

// The versions of `images` as table rows, ascending by sort key (sorted_version_rows).
inline std::vector<VersionRow> sorted_image_rows(const std::vector<Image>& images) {
  std::vector<Version> versions;
  versions.reserve(images.size());
  for (const Image& image : images) versions.push_back(image.version);
  return sorted_version_rows(versions);
}

}  // namespace zanrex
