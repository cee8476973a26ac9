// The run-flags word: option bits in the low byte, run status bits in the second.
// Bits are only ever set during a run.
#pragma once

namespace zanrex {

enum RunFlag : int {
  kShowCurrent = 0x1,      // -c: list installed and available firmware
  kSilent = 0x2,           // -s: no console messages, every question answered yes
  kForce = 0x4,            // -f / -F: with -s, re-flash an adapter that is up to date
  kOptP = 0x8,             // -p: an ordinary interactive upgrade
  kAssumeYes = 0x10,       // -y: every question answered yes
  kDiscovery = 0x20,       // -d: write the discovery report
  kInstallReport = 0x40,   // -u: install as a discovery report asks
  kUserQuit = 0x100,       // the operator cancelled the upgrade
  kFlashFailed = 0x200,    // at least one flashing step failed
  kFlashDone = 0x400,      // at least one flashing step succeeded
  kStopSelection = 0x800,  // "c" reply: no selection for later adapters
  kNoticeLogged = 0x1000,  // the "several minutes" notice has been logged
  kAdapterDone = 0x2000,   // every step of at least one adapter succeeded
};

constexpr int kOptionMask = 0xff;

}  // namespace zanrex
