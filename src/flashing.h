// Writing firmware to one adapter through the vendor's tools.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "adapter.h"
#include "run_context.h"

namespace zanrex {

// Index of the image flashing writes: the first catalogue entry carrying the version whose
// sort key is the greatest. Nothing when the adapter has no image.
std::optional<size_t> chosen_image(const Adapter& adapter);

// Flashes adapter `index` of ctx.adapters if it carries kNicFlash: three tool steps, stopping
// at the first failure; sets kFlashFailed / kFlashDone / kNoticeLogged in ctx.flags. Returns 0,
// or the exit code of the step that failed.
int flash_adapter(RunContext& ctx, size_t index);

// The twelve group characters of a MAC text written as six pairs with separators.
std::string format_mac(const std::string& mac);

}  // namespace zanrex
