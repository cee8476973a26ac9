// The upgrade mode's per-adapter decision: compare the installed firmware with the package's
// images, list them, ask or decide whether to flash.
#pragma once

#include "run_context.h"

namespace zanrex {

// What to do with one adapter. The first four are the operator question's answers.
enum class Decision : int {
  kFlash = 0,          // flash it
  kNo = 1,             // leave it
  kQuit = 2,           // cancel the run
  kFlashThenStop = 3,  // flash it and select nothing after it
  kSkip = 4,           // silent run, already up to date: left alone and counted
};

// Prints the comparison and listing for the adapter and asks (or, silent, decides).
// A silent skip adds one to ctx.fw_invalid_count.
Decision decide_flash(RunContext& ctx, const Adapter& adapter);

// Decides for a usable adapter and records the outcome: kNicFlash on the adapter, or its
// flags cleared; kStopSelection or kUserQuit in the run's status. Unusable adapters give kNo.
Decision select_firmware(RunContext& ctx, Adapter& adapter);

// Takes the adapters of the built table in order: decides, flashes, and returns the run's
// result: 3 cancelled, 1 a silent run with every Intel adapter up to date, 2 a flashing step
// failed, else 0. Prints the cancellation or summary message.
int upgrade_adapters(RunContext& ctx);

}  // namespace zanrex
