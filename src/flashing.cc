#include "flashing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "adapter_sysfs.h"
#include "console.h"
#include "fd.h"
#include "loader_check.h"
#include "paths.h"
#include "signals.h"
#include "version.h"

namespace zanrex {

namespace {

// The thermal tool's words for an update whose read-back differs from the image; it still
// ends with 0 then.
constexpr char kThermalFailure[] = "Firmware Update Failed";

// One run of a vendor tool: the program with its argument list (the program's own name
// first), shown on the console just before it starts.
struct ToolStep {
  Command command;
  std::optional<Version> loader_written;  // the loader's version, checked once the step ends
  const char* failure_words = nullptr;    // output that fails the step whatever its exit code
};

// A flashing step runs detached from the console, the caller and this process (see
// Output::kDetached) and holds the adapter's lock, `lock_fd`, for as long as it writes.
Command step_command(const std::string& program, std::vector<std::string> args, int lock_fd) {
  Command c{program, std::move(args), Output::kDetached};
  c.inherited_fd = lock_fd;
  return c;
}

// The image paths and device path of one adapter, or the reason it cannot be flashed.
struct FlashTargets {
  std::string device_path;
  std::string images[3];
  std::string problem;
  Version loader_version;             // of the entry written
  std::optional<int> thermal_number;  // -h N of the thermal tool, where it needs one
  int lock_fd = -1;                   // the run's lock on the adapter, for the tools to hold
};

bool has_text(const std::optional<std::string>& s) {
  return s && !s->empty();
}

FlashTargets flash_targets(const std::string& sysfs_devices, const Adapter& adapter,
                           const Image& image) {
  FlashTargets t;
  if (!has_text(adapter.address)) {
    t.problem = "no PCI address for the adapter";
    return t;
  }
  t.device_path = resource_file(*adapter.address);
  const std::optional<std::string>* files[3] = {&image.fw_file1, &image.fw_file2, &image.fw_file3};
  for (int i = 0; i < 3; ++i) {
    if (!has_text(*files[i])) {
      t.problem = "image file name missing in XML for " + *adapter.address;
      return t;
    }
    t.images[i] = std::string(kFwDir) + **files[i];
  }
  ThermalNumber thermal = thermal_number(sysfs_devices, *adapter.address);
  if (thermal.named && !thermal.number) {
    t.problem = *adapter.address + " has no hfi1 unit; its thermal firmware cannot be addressed";
  }
  t.thermal_number = thermal.number;
  t.loader_version = image.version;
  return t;
}

// True when `path` opens for reading as a regular file. A FIFO or device is not an image and
// must not block the check, hence O_NONBLOCK.
bool readable_regular_file(const std::string& path) {
  Fd fd;
  do {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  } while (!fd && errno == EINTR);
  struct stat st {};
  return fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

// The first of the three image paths that is not a readable regular file, if any. Checked
// before the first step, so a missing file never leaves the adapter with part of a set.
std::optional<std::string> missing_image(const FlashTargets& t) {
  for (const std::string& path : t.images) {
    if (!readable_regular_file(path)) return path;
  }
  return std::nullopt;
}

std::vector<ToolStep> flash_steps(const FlashTargets& t) {
  const std::string eprom = std::string(kFwDir) + "hfi1_eprom";
  std::vector<std::string> thermal = {"opatmmtool", "-v"};
  if (t.thermal_number) thermal.insert(thermal.end(), {"-h", std::to_string(*t.thermal_number)});
  thermal.insert(thermal.end(), {"-f", t.images[2], "update"});
  return {
      {step_command(eprom, {"hfi1_eprom", "-d", t.device_path, "-w", "-o", t.images[0]}, t.lock_fd),
       t.loader_version},
      {step_command(eprom, {"hfi1_eprom", "-d", t.device_path, "-w", "-b", t.images[1]}, t.lock_fd),
       std::nullopt},
      {step_command(std::string(kFwDir) + "opatmmtool", std::move(thermal), t.lock_fd),
       std::nullopt, kThermalFailure},
  };
}

// The MAC text padded on the right to twelve characters, as the log lines show it. It may come
// from a handed-back report, so control characters are masked.
std::string padded_mac(const Adapter& adapter) {
  std::string mac = printable(adapter.current_mac.value_or(""));
  if (mac.size() < 12) mac.append(12 - mac.size(), ' ');
  return mac;
}

// Logs the once-per-run notice and the chosen entry, and condenses the adapter's MAC text.
void announce_upgrade(RunContext& ctx, Adapter& adapter, const Image& image) {
  if (!ctx.status.has(kNoticeLogged)) {
    ctx.status.set(kNoticeLogged);
    ctx.log.info("\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
  }
  ctx.log.info("\nSelecting " + printable(image.name.value_or("")) +
               " MAC: " + padded_mac(adapter) + " \n");
  adapter.current_mac = format_mac(adapter.current_mac.value_or(""));
}

// The failed-write entry of the log, with why (masked, as it may name a report's text).
void log_failure(RunContext& ctx, const std::string& why) {
  ctx.status.set(kFlashFailed);
  ctx.log.error("Firmware Upgrade failed\n " + printable(why) + "\n");
}

// Why a step that ended with 0 still failed: the loader written is not what the adapter
// reports afterwards. Empty when the step succeeded.
std::string after_step_problem(RunContext& ctx, const Adapter& adapter, const ToolStep& step) {
  if (!step.loader_written) return "";
  return loader_check_failure(ctx, adapter.address.value_or(""), *step.loader_written).value_or("");
}

// True when the step's tool said in its output that the step failed.
bool failed_in_words(const ToolStep& step, const Outcome& run) {
  if (step.failure_words == nullptr) return false;
  return run.output.find(step.failure_words) != std::string::npos ||
         run.error_output.find(step.failure_words) != std::string::npos;
}

// Runs the steps in order and stops at the first that fails; returns its exit code, or 0.
int run_steps(RunContext& ctx, const Adapter& adapter, const std::vector<ToolStep>& steps) {
  for (const ToolStep& step : steps) {
    // The line goes out directly, silent or not, whether or not the tool can be started.
    std::fputs(("Command Executed: " + command_text(step.command) + "\n").c_str(), ctx.out);
    std::fflush(ctx.out);
    Outcome run = ctx.processes->run(step.command, nullptr);
    int code = run.start_error != 0 ? 1 : run.exit_code;
    if (code == 0 && failed_in_words(step, run)) code = 1;
    const std::string problem = code == 0 ? after_step_problem(ctx, adapter, step) : "";
    if (code != 0 || !problem.empty()) {
      log_failure(ctx, problem);
      return code != 0 ? code : 1;
    }
    ctx.status.set(kFlashDone);
    print_message(
        ctx, "Firmware Flashed:\tSUCCESS  for interface " + adapter.address.value_or("") + "\n\n");
    ctx.log.info("MAC " + padded_mac(adapter) + " Upgrade SUCCESS\n");
  }
  return 0;
}

// Runs the steps with the stop signals held back, so that no signal to this process cuts an
// adapter's image set in half; the tools run in a session of their own, out of reach of the
// terminal and of this process's group. A signal that arrived meanwhile ends the run after
// this adapter.
int run_guarded_steps(RunContext& ctx, const Adapter& adapter, const std::vector<ToolStep>& steps) {
  DeferredSignals deferred("zanrex: signal received; finishing the firmware update of " +
                           adapter.address.value_or("") + " before stopping\n");
  int code = run_steps(ctx, adapter, steps);
  if (int signal_number = deferred.finish()) {
    if (ctx.interrupted_by == 0) ctx.interrupted_by = signal_number;
  }
  return code;
}

// The adapter's one result line, right after its last step entry: the version written, or
// that the update failed. An adapter written in full makes the run need a reboot.
void log_result(RunContext& ctx, const Adapter& adapter, const Image& image, bool written) {
  const std::string address = printable(adapter.address.value_or(""));
  const std::string version = display_version(image.version);
  if (written) {
    ctx.status.set(kAdapterDone);
    ctx.log.info("Adapter " + address + ": firmware " + version + " written; reboot to load it\n");
  } else {
    ctx.log.error("Adapter " + address + ": firmware update to " + version + " failed\n");
  }
}

// Checks the image set of the chosen entry and runs its steps: 0, or why the adapter was not
// written (the exit code of the step that failed, 1 for a refusal before the first step).
int write_image(RunContext& ctx, const Adapter& adapter, const Image& image);

}  // namespace

std::optional<size_t> chosen_image(const Adapter& adapter) {
  if (adapter.images.empty()) return std::nullopt;
  const std::string greatest = sorted_image_rows(adapter.images).back().text;
  for (size_t k = 0; k < adapter.images.size(); ++k) {
    if (display_version(adapter.images[k].version) == greatest) return k;
  }
  return std::nullopt;
}

int flash_adapter(RunContext& ctx, Adapter& adapter) {
  if (!(adapter.flags & kNicFlash)) return 0;
  if (adapter.images.empty()) {
    print_message(ctx, "Quitting......................as nothing found in repository\n");
    return 0;
  }
  std::optional<size_t> chosen = chosen_image(adapter);
  if (!chosen) {
    print_message(ctx,
                  "You have not entered the right Index for firmware version "
                  "....................\n");
    return 0;
  }
  const Image& image = adapter.images[*chosen];
  if (!ctx.options.install_report) announce_upgrade(ctx, adapter, image);
  // Every way out of the write, a refusal before the first step included, gets its result line.
  int code = write_image(ctx, adapter, image);
  log_result(ctx, adapter, image, code == 0);
  return code;
}

namespace {

// Why the adapter must not be written at all, checked before its first step; empty when
// nothing stands in the way.
std::string refusal(const RunContext& ctx, const Adapter& adapter, const FlashTargets& targets) {
  if (!targets.problem.empty()) return targets.problem;
  if (std::optional<std::string> missing = missing_image(targets)) {
    return "image file " + *missing + " not found in the package";
  }
  if (!sysfs_shows_adapter(ctx.sysfs_devices, *adapter.address, adapter)) {
    return *adapter.address + " is not the adapter that was inventoried";
  }
  return "";
}

int write_image(RunContext& ctx, const Adapter& adapter, const Image& image) {
  FlashTargets targets = flash_targets(ctx.sysfs_devices, adapter, image);
  const std::string why_not = refusal(ctx, adapter, targets);
  if (!why_not.empty()) {
    log_failure(ctx, why_not);
    return 1;
  }
  targets.lock_fd = lock_descriptor(ctx.adapter_locks, *adapter.address);
  return run_guarded_steps(ctx, adapter, flash_steps(targets));
}

}  // namespace

int end_interrupted_run(RunContext& ctx) {
  ctx.log.error("Firmware upgrade interrupted by signal " + std::to_string(ctx.interrupted_by) +
                "\n");
  if (ctx.status.has(kAdapterDone)) print_message(ctx, kRebootNotice);
  return ctx.status.has(kFlashFailed) ? 2 : 3;
}

std::string format_mac(const std::string& mac) {
  std::string out;
  for (size_t group = 0; group < 6; ++group) {
    for (size_t pos = 3 * group; pos < 3 * group + 2; ++pos) {
      if (pos >= mac.size()) return out;
      out += mac[pos];
    }
  }
  return out;
}

}  // namespace zanrex
