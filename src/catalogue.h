// The package's firmware catalogue, nic_fw/NICFWData.xml, read as a stream per lookup.
#pragma once

#include <string>
#include <vector>

#include "adapter.h"
#include "run_context.h"

namespace zanrex {

// "%04X-%04X-%04X-%04X-%s" of the four PCI IDs and the device type.
std::string adapter_key(int ven_id, int dev_id, int sub_ven_id, int sub_dev_id,
                        const std::string& device_type);

// The key of a catalogue entry: "%4s-%4s-%4s-%4s-%s" of its texts (each of the first four
// right-aligned in at least four characters, longer ones kept whole).
std::string entry_key(const std::string& ven_id, const std::string& dev_id,
                      const std::string& sub_ven_id, const std::string& sub_dev_id,
                      const std::string& device_type);

// What one lookup asks for.
struct CatalogueQuery {
  std::string key;      // adapter_key of the adapter
  std::string sub_ven;  // the adapter's own "%04X" subsystem IDs, which stand in for the
  std::string sub_dev;  // entries' subvenid and subdevid values
  size_t capacity = kMaxImagesPerAdapter;  // most entries to collect
};

// What one pass over a catalogue found.
struct CatalogueMatch {
  bool opened = false;                  // the catalogue could be opened at all
  bool more_than_capacity = false;      // a further entry matched after `capacity` were collected
  std::vector<CatalogueEntry> entries;  // matching entries in document order
};

// One streaming pass over the catalogue at `path` (or held in `xml`). A document that is not
// well-formed ends the pass quietly at the fault; entries collected before it stand.
CatalogueMatch match_catalogue_file(const std::string& path, const CatalogueQuery& query);
CatalogueMatch match_catalogue_text(const std::string& xml, const CatalogueQuery& query);

// Appends to `entries` every catalogue entry of `catalogue_path` that matches `key`, in
// document order (at most kMaxImagesPerAdapter in all; the log says when more matched, naming
// `address`). `sub_ven` and `sub_dev` are the adapter's own "%04X" subsystem IDs, which stand in
// for the entries' values. A catalogue that cannot be opened is logged and ends the run with
// status 1 (ExitRequest).
void read_catalogue(RunContext& ctx, const std::string& catalogue_path, const std::string& key,
                    const std::string& sub_ven, const std::string& sub_dev,
                    const std::string& address, std::vector<CatalogueEntry>& entries);

// The adapter's images made from collected entries: names, files and parsed versions (an
// entry without rom gets 0.0.0).
std::vector<Image> images_from_entries(const std::vector<CatalogueEntry>& entries);

}  // namespace zanrex
