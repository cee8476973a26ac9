// Everything one run of the program shares: the options, the run's status, console streams,
// the event log, the adapter table and the counters that carry the run from step to step.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "adapter.h"
#include "adapter_lock.h"
#include "cmdline.h"
#include "event_log.h"
#include "paths.h"
#include "processes.h"

namespace zanrex {

// Thrown where the run must end at once with `status` (the log, the catalogue or an adapter's
// sysfs identity cannot be opened); caught by the entry point.
struct ExitRequest {
  int status;
};

// What has happened so far in a run. Bits are only ever set.
enum StatusBit : unsigned {
  kUserQuit = 0x1,       // the operator cancelled the upgrade
  kFlashFailed = 0x2,    // at least one flashing step failed
  kFlashDone = 0x4,      // at least one flashing step succeeded
  kStopSelection = 0x8,  // "c" reply: no selection for later adapters
  kNoticeLogged = 0x10,  // the "several minutes" notice has been logged
  kAdapterDone = 0x20,   // every step of at least one adapter succeeded
};

struct RunStatus {
  unsigned bits = 0;
  void set(StatusBit bit) { bits |= bit; }
  bool has(StatusBit bit) const { return (bits & bit) != 0; }
};

struct RunContext {
  Options options;  // what the command line asked for
  RunStatus status;

  FILE* out = stdout;  // console
  FILE* err = stderr;
  FILE* in = stdin;  // operator replies
  EventLog log;
  Processes* processes = nullptr;

  std::vector<Adapter> adapters;           // one per entry of the PCI scan, or per report device
  int intel_ports = 0;                     // scan entries with Intel's vendor ID
  int fw_invalid_count = 0;                // up-to-date adapters skipped by a silent upgrade
  std::vector<AdapterLock> adapter_locks;  // one per adapter queried or flashed, held to the end
  int interrupted_by = 0;  // the stop signal that arrived while an adapter was flashed
  std::string error_file;  // the inventory's per-run error file, once made
  std::string sysfs_devices = kSysfsPciDevices;  // where the adapters' sysfs directories lie
};

}  // namespace zanrex
