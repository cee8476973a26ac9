// The package's firmware catalogue, nic_fw/NICFWData.xml: opened where the first adapter is
// looked up, read in one streaming pass for every adapter of the run.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "fd.h"
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

// What one adapter asks of the catalogue.
struct CatalogueQuery {
  std::string key;      // adapter_key of the adapter
  std::string sub_ven;  // the adapter's own "%04X" subsystem IDs, which stand in for the
  std::string sub_dev;  // entries' subvenid and subdevid values
};

// The query of an adapter whose IDs and device type are known.
CatalogueQuery query_for(int ven_id, int dev_id, int sub_ven_id, int sub_dev_id,
                         const std::string& device_type);

// What the catalogue holds for one query.
struct CatalogueMatch {
  bool more_than_capacity = false;      // a further entry matched after the first 100
  std::vector<CatalogueEntry> entries;  // matching entries in document order, at most 100
};

// Where and why a catalogue could not be read to its end.
struct CatalogueFault {
  std::string message;  // libxml2's message without its line end, or the pass's own
  int line = 0;
};

// What one pass found: a match per query (in the order asked) or the fault that makes every
// match untrustworthy (the parser drops the entries of the piece of input the fault lies in).
struct CataloguePass {
  std::optional<CatalogueFault> fault;
  std::vector<CatalogueMatch> matches;
};

// A catalogue opened but not yet read. It is read with libxml2's streaming reader
// (xmlTextReader), which takes the file block by block; libxml2 reports nothing of its own
// while it is used.
class CatalogueFile {
 public:
  // Opens the file at `path` as it stands (no decompression); false when it cannot be.
  bool open(const std::string& path);
  // Reads from `fd` instead, which it then owns.
  void adopt(int fd) { fd_.reset(fd); }
  bool is_open() const { return static_cast<bool>(fd_); }

  // The one pass over the whole document; a file can be read once.
  CataloguePass read(const std::vector<CatalogueQuery>& queries);

 private:
  Fd fd_;
};

// One pass over a document held in memory, read as a file is: through a memory file
// (tests, fuzzing).
CataloguePass match_catalogue_text(const std::string& xml,
                                   const std::vector<CatalogueQuery>& queries);

// The catalogue as a run uses it: the queries of the run's adapters collected as they become
// known (adapters of one kind ask once), then answered by one pass over the file. Opening logs
// "Unable to open" and ends the run with status 1 (ExitRequest) when the file cannot be opened;
// reading does the same, with the log line "Unable to read" and a line on standard error, when
// the file is damaged.
class RunCatalogue {
 public:
  RunCatalogue(RunContext& ctx, std::string path) : ctx_(ctx), path_(std::move(path)) {}

  // Opens the file unless it is open already.
  void open();
  // Adds a query to those the pass answers; every query is asked before the first answer.
  void ask(const CatalogueQuery& query);
  // What the catalogue holds for a query asked before. The first answer opens the file if need
  // be and reads it once for every query asked.
  const CatalogueMatch& answer(const CatalogueQuery& query);

 private:
  static std::string identity(const CatalogueQuery& q) {
    return q.key + '\n' + q.sub_ven + '\n' + q.sub_dev;
  }
  void read();

  RunContext& ctx_;
  std::string path_;
  CatalogueFile file_;
  std::vector<CatalogueQuery> asked_;              // each distinct query once, in order asked
  std::map<std::string, CatalogueMatch> answers_;  // by identity; filled by the pass
  bool read_ = false;
};

// Logs that more entries matched the adapter at `address` than it can hold.
void log_overflow(RunContext& ctx, const CatalogueMatch& match, const std::string& address);

// The adapter's images made from collected entries: names, files and parsed versions (an
// entry without rom gets 0.0.0).
std::vector<Image> images_from_entries(const std::vector<CatalogueEntry>& entries);

}  // namespace zanrex
