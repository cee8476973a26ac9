// Writing firmware to one adapter through the vendor's tools.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "adapter.h"
#include "run_context.h"

namespace zanrex {

// Printed when a run has written firmware to an adapter.
constexpr const char kRebootNotice[] =
    "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";

// Index of the image flashing writes: the first catalogue entry carrying the version whose
// sort key is the greatest. Nothing when the adapter has no image.
std::optional<size_t> chosen_image(const Adapter& adapter);

// Flashes the adapter if it carries kNicFlash: three tool steps, stopping at the first
// failure; sets kFlashFailed / kFlashDone / kNoticeLogged in ctx.status. Returns 0,
// or the exit code of the step that failed. SIGINT, SIGQUIT, SIGHUP and SIGTERM wait until
// the steps are over; the first one is then in ctx.interrupted_by, and the caller flashes no
// further adapter.
// Once an image is chosen, the log gets one result line for the adapter (written, or failed,
// a refusal before the first step included); an adapter written in full sets kAdapterDone.
int flash_adapter(RunContext& ctx, Adapter& adapter);

// Logs that a signal interrupted the upgrade, prints the reboot notice when an adapter was
// written in full, and returns the run's status: 2 when a flashing step failed, 3 otherwise.
int end_interrupted_run(RunContext& ctx);

// The twelve group characters of a MAC text written as six pairs with separators.
std::string format_mac(const std::string& mac);

}  // namespace zanrex
