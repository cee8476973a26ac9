#include "upgrade.h"

#include <algorithm>
#include <string>
#include <vector>

#include "console.h"
#include "flashing.h"
#include "inventory.h"
#include "modes.h"
#include "paths.h"
#include "version.h"

namespace zanrex {

namespace {

const char kFlashQuestion[] = "Would you like to flash the firmware?\n";

bool has_newer_image(const Adapter& adapter) {
  return std::any_of(adapter.images.begin(), adapter.images.end(), [&](const Image& image) {
    return is_newer(image.version, adapter.installed);
  });
}

void print_versions(RunContext& ctx, const Adapter& adapter) {
  const std::string address = adapter.address.value_or("");
  print_message(ctx, "\nCurrent Firmware Version is " + display_version(adapter.installed) +
                         " on " + address + " \n");
  if (adapter.images.empty()) return;
  print_message(
      ctx, "Repository has " + std::to_string(adapter.images.size()) + " firmware available\n");
  std::vector<VersionRow> rows = sorted_image_rows(adapter.images);
  for (size_t i = 0; i < rows.size(); ++i) {
    print_message(ctx, "[" + std::to_string(i + 1) + "] Image Version  " + rows[i].text + "\n");
  }
  print_message(ctx, "\n");
}

}  // namespace

Decision decide_flash(RunContext& ctx, const Adapter& adapter) {
  bool newer = has_newer_image(adapter);
  if (newer) {
    print_message(ctx, "Repository has New firmware version for interface " +
                           adapter.address.value_or("") +
                           ".................Please flash the newer version\n");
  }
  print_versions(ctx, adapter);
  if (newer) return static_cast<Decision>(ask_yes_no(ctx, kFlashQuestion, kAnswerYes, "y"));

  ctx.log.warning("*** WARNING *** - Installed firmware is the latest firmware\n");
  print_message(ctx,
                "Repository doesn't have newer firmware version, Installed firmware version is the "
                "latest one..........Please Quit the updation.\n");
  // A silent run skips an up-to-date adapter unless -f asks to flash it anyway.
  if (ctx.options.silent && !ctx.options.force) {
    ++ctx.fw_invalid_count;
    return Decision::kSkip;
  }
  return static_cast<Decision>(ask_yes_no(ctx, kFlashQuestion, kAnswerNo, "n"));
}

Decision select_firmware(RunContext& ctx, Adapter& adapter) {
  if (!(adapter.flags & kNicValid)) return Decision::kNo;
  for (const Image& image : adapter.images) {
    if (image.fw_file1 && image.fw_file1->find("n/a") != std::string::npos) {
      ctx.log.warning(std::string("Failed to get firmware image filename from ") + kCatalogueFile +
                      "\n");
    }
  }

  Decision decision = decide_flash(ctx, adapter);
  switch (decision) {
    case Decision::kFlash:
      adapter.flags |= kNicFlash;
      break;
    case Decision::kFlashThenStop:
      adapter.flags |= kNicFlash;
      ctx.status.set(kStopSelection);
      break;
    case Decision::kQuit:
      adapter.flags = 0;
      ctx.status.set(kUserQuit);
      break;
    default:
      adapter.flags = 0;
      break;
  }
  return decision;
}

int upgrade_adapters(RunContext& ctx) {
  for (Adapter& adapter : ctx.adapters) {
    Decision decision = Decision::kNo;
    if (!ctx.status.has(kStopSelection)) decision = select_firmware(ctx, adapter);
    if (ctx.status.has(kUserQuit)) {
      print_message(ctx, "\nFirmware upgrade cancelled by User \n");
      return 3;
    }
    if (decision != Decision::kSkip) flash_adapter(ctx, adapter);
    if (ctx.interrupted_by != 0) return end_interrupted_run(ctx);
  }

  if (ctx.fw_invalid_count == ctx.intel_ports) return 1;
  if (ctx.status.has(kFlashFailed)) {
    print_message(ctx, "\nNIC firmware update completed with errors. \n");
    return 2;
  }
  if (ctx.status.has(kFlashDone)) {
    print_message(ctx, kRebootNotice);
    return 0;
  }
  ctx.adapters.clear();
  return 0;
}

int upgrade_firmware(RunContext& ctx) {
  open_event_log(ctx);
  int inventory = build_nic_list(ctx);
  if (inventory != 0) {
    print_message(ctx, "\nNIC firmware update did not complete.  Check log for errors. \n");
    ctx.adapters.clear();
    return inventory;
  }
  return upgrade_adapters(ctx);
}

}  // namespace zanrex
