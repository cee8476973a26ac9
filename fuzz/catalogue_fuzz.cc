// The firmware catalogue reader and its matching rules, on any document. Besides "no crash",
// checks that every collected entry really fits the adapter, that a smaller capacity yields a
// prefix of the same entries, and that the overflow flag says so exactly when more matched.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "catalogue.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same_entry(const zanrex::CatalogueEntry& a, const zanrex::CatalogueEntry& b) {
  return a.name == b.name && a.ven_id == b.ven_id && a.dev_id == b.dev_id &&
         a.sub_ven_id == b.sub_ven_id && a.sub_dev_id == b.sub_dev_id && a.rom == b.rom &&
         a.fw_file1 == b.fw_file1 && a.fw_file2 == b.fw_file2 && a.fw_file3 == b.fw_file3 &&
         a.device_type == b.device_type;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zanrex;
  std::string xml(reinterpret_cast<const char*>(data), size);
  CatalogueQuery query{adapter_key(0x8086, 0x24f0, 0x8086, 0x2628, "2628"), "8086", "2628",
                       kMaxImagesPerAdapter};
  CatalogueMatch all = match_catalogue_text(xml, query);
  check(all.opened || size == 0);
  check(all.entries.size() <= query.capacity);
  for (const CatalogueEntry& e : all.entries) {
    check(e.ven_id && e.dev_id && e.device_type && e.sub_ven_id && e.sub_dev_id);
    check(*e.sub_ven_id == query.sub_ven && *e.sub_dev_id == query.sub_dev);
    std::string key = entry_key(*e.ven_id, *e.dev_id, *e.sub_ven_id, *e.sub_dev_id, *e.device_type);
    check(strcasecmp(key.c_str(), query.key.c_str()) == 0);
  }
  images_from_entries(all.entries);

  CatalogueQuery small = query;
  small.capacity = 2;
  CatalogueMatch few = match_catalogue_text(xml, small);
  check(few.entries.size() == std::min<size_t>(2, all.entries.size()));
  for (size_t i = 0; i < few.entries.size(); ++i) {
    check(same_entry(few.entries[i], all.entries[i]));
  }
  if (!all.more_than_capacity) check(few.more_than_capacity == (all.entries.size() > 2));
  return 0;
}
