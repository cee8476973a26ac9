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

// Appends to `entries` every catalogue entry of `catalogue_path` that matches `key`, in
// document order (at most kMaxImagesPerAdapter; the log says when more matched). `sub_ven` and
// `sub_dev` are the adapter's own "%04X" subsystem IDs, which stand in for the entries' values.
// A catalogue that cannot be opened is logged and ends the run with status 1.
void read_catalogue(RunContext& ctx, const std::string& catalogue_path, const std::string& key,
                    const std::string& sub_ven, const std::string& sub_dev,
                    const std::string& address, std::vector<CatalogueEntry>& entries);

// The adapter's images made from collected entries: names, files and parsed versions (an
// entry without rom gets 0.0.0).
std::vector<Image> images_from_entries(const std::vector<CatalogueEntry>& entries);

}  // namespace zanrex
