// The firmware catalogue reader and its matching rules, on any document. Besides "no crash",
// checks that every collected entry really fits its adapter, that at most 100 are collected,
// and that one pass for several adapters gives each exactly what a pass of its own gives it.
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

bool same_match(const zanrex::CatalogueMatch& a, const zanrex::CatalogueMatch& b) {
  if (a.more_than_capacity != b.more_than_capacity || a.entries.size() != b.entries.size()) {
    return false;
  }
  for (size_t i = 0; i < a.entries.size(); ++i) {
    if (!same_entry(a.entries[i], b.entries[i])) return false;
  }
  return true;
}

void check_fits(const zanrex::CatalogueMatch& m, const zanrex::CatalogueQuery& q) {
  check(m.entries.size() <= zanrex::kMaxImagesPerAdapter);
  for (const zanrex::CatalogueEntry& e : m.entries) {
    check(e.ven_id && e.dev_id && e.device_type && e.sub_ven_id && e.sub_dev_id);
    check(*e.sub_ven_id == q.sub_ven && *e.sub_dev_id == q.sub_dev);
    std::string key =
        zanrex::entry_key(*e.ven_id, *e.dev_id, *e.sub_ven_id, *e.sub_dev_id, *e.device_type);
    check(strcasecmp(key.c_str(), q.key.c_str()) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zanrex;
  std::string xml(reinterpret_cast<const char*>(data), size);
  const std::vector<CatalogueQuery> queries = {query_for(0x8086, 0x24f0, 0x8086, 0x2628, "2628"),
                                               query_for(0x8086, 0x24f0, 0x8086, 0xe8f1, "e8f1"),
                                               query_for(0x8086, 0x24f1, 0x1590, 0x0001, "2628")};
  CataloguePass together = match_catalogue_text(xml, queries);
  if (together.fault) {
    check(together.matches.empty());
    return 0;
  }
  check(together.matches.size() == queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    check_fits(together.matches[i], queries[i]);
    images_from_entries(together.matches[i].entries);
    CataloguePass alone = match_catalogue_text(xml, {queries[i]});
    check(!alone.fault && same_match(alone.matches[0], together.matches[i]));
  }
  return 0;
}
