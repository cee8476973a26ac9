// Everything one run of the program shares: options and status bits, console streams, the
// event log, the adapter table and the counters that carry the run from step to step.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "adapter.h"
#include "adapter_lock.h"
#include "event_log.h"
#include "paths.h"
#include "processes.h"

namespace zanrex {

// Thrown where the run must end at once with `status` (the log, the catalogue or an adapter's
// sysfs identity cannot be opened); caught by the entry point.
struct ExitRequest {
  int status;
};

struct RunContext {
  int flags = 0;            // run flags, see run_flags.h
  int silent = 0;           // 2 once -s is parsed or a report install starts
  std::string report_path;  // discovery report to write (-d) or read (-u)

  FILE* out = stdout;  // console
  FILE* err = stderr;
  FILE* in = stdin;  // operator replies
  EventLog log;
  Processes* processes = nullptr;

  std::vector<Adapter> adapters;           // one per entry of the PCI scan, or per report device
  int intel_ports = 0;                     // adapters whose vendor name says Intel
  int fw_invalid_count = 0;                // up-to-date adapters skipped by a silent upgrade
  bool read_discovery = false;             // flashing from a report: take the lookup's entry
  std::vector<AdapterLock> adapter_locks;  // one per adapter queried or flashed, held to the end
  int interrupted_by = 0;  // the stop signal that arrived while an adapter was flashed
  std::string error_file;  // the inventory's per-run error file, once made
  std::string sysfs_devices = kSysfsPciDevices;  // where the adapters' sysfs directories lie
};

}  // namespace zanrex
