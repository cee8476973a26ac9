#include "listing.h"

#include <cstdio>
#include <vector>

#include "console.h"
#include "inventory.h"
#include "modes.h"
#include "version.h"

namespace zanrex {

std::string listing_block(const Adapter& adapter) {
  const std::string interface = adapter.address.value_or("");
  const std::string name = adapter.images.empty() ? "" : adapter.images[0].name.value_or("");
  char ids[64];
  std::snprintf(ids, sizeof ids, "%04X-%04X-%04X-%04X", static_cast<unsigned>(adapter.ven_id),
                static_cast<unsigned>(adapter.dev_id), static_cast<unsigned>(adapter.sub_ven_id),
                static_cast<unsigned>(adapter.sub_dev_id));

  std::string block = " PCI-ID              \t\tNIC\n";
  block += std::string(ids) + " \t" + name + " \n\n";
  block += "     (Installed)           (Available)\n";
  block += "     Image      Version      Image        Version     \t Interface\n";
  block += std::string(72, '-') + "\n";

  const std::vector<VersionRow> rows = sorted_image_rows(adapter.images);

  const std::string installed = display_version(adapter.installed);
  if (rows.empty()) {
    block += "      ROM       " + installed + "      ROM\t\tNothing\t\t" + interface + "\n";
  } else {
    block += "      ROM       " + installed + "       ROM\t  " + rows[0].text + "\t  " + interface +
             "\n";
    for (size_t i = 1; i < rows.size(); ++i) {
      block += "                    \t\t\t  " + rows[i].text + "\t  " + interface + "\n";
    }
  }
  block += "\n";
  return block;
}

int show_current(RunContext& ctx) {
  open_event_log(ctx);
  build_nic_list(ctx);  // its result does not change the listing: unusable adapters are skipped
  for (const Adapter& adapter : ctx.adapters) {
    if (adapter.flags & kNicValid) print_message(ctx, listing_block(adapter));
  }
  return 0;
}

}  // namespace zanrex
