#include "app.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "cmdline.h"
#include "console.h"
#include "inventory.h"
#include "modes.h"
#include "signals.h"

namespace zanrex {

namespace {

// The vendor's library files in the package; none when nothing matches.
std::vector<std::string> library_files() {
  std::vector<std::string> files;
  glob_t found{};
  if (glob("./nic_fw/libpsm2.so*", 0, nullptr, &found) == 0) {
    files.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
  }
  globfree(&found);
  return files;
}

// Lack of memory, processes or descriptors: the probe could not be started at all.
bool lack_of_resources(int error) {
  return error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE;
}

// Copies the vendor's library into the system's library directories and probes the
// thermal-management tool; only the probe's outcome is looked at.
void run_startup_commands(RunContext& ctx) {
  std::vector<std::string> files = library_files();
  if (!files.empty()) {
    for (const char* dir : {"/usr/lib64/", "/usr/lib/"}) {
      Command copy{"/usr/bin/cp", {"cp"}, Output::kDiscard};
      copy.args.insert(copy.args.end(), files.begin(), files.end());
      copy.args.emplace_back(dir);
      ctx.processes->run(copy, nullptr);
    }
  }
  Outcome probe =
      ctx.processes->run({"./nic_fw/opatmmtool", {"opatmmtool"}, Output::kDiscard}, nullptr);
  if (lack_of_resources(probe.start_error)) {
    std::fputs("opatmmtool failed....check the driver installation\n\n", ctx.out);
  } else if (probe.start_error == ENOENT || (probe.start_error == 0 && probe.exit_code == 127)) {
    std::fputs("opatmmtool command is not found\n\n", ctx.out);
  }
}

int show_usage(RunContext& ctx) {
  for (const std::string& line : usage_lines()) print_message(ctx, line);
  return 1;
}

int dispatch(RunContext& ctx) {
  switch (choose_mode(ctx.options)) {
    case Mode::kUsage:
      return show_usage(ctx);
    case Mode::kShowCurrent:
      return show_current(ctx);
    case Mode::kDiscovery:
      return write_discovery_report(ctx);
    case Mode::kInstallReport:
      return install_from_report(ctx);
    case Mode::kUpgrade:
      return upgrade_firmware(ctx);
  }
  return 1;
}

int run_mode(RunContext& ctx) {
  try {
    return dispatch(ctx);
  } catch (const ExitRequest& exit) {
    return exit.status;
  } catch (const std::exception& e) {
    // Out of memory and the like: a clear message and a failure status, never an abort.
    std::fprintf(ctx.err, "zanrex: internal error: %s\n", e.what());
    return 1;
  }
}

// Events that never reached the log are said once, at the end; the status stays what the run
// earned, as the flashing it reports on has happened.
void report_lost_log_lines(RunContext& ctx) {
  if (ctx.log.write_error() == 0) return;
  std::fprintf(ctx.err, "zanrex: the event log %s could not be written: %s\n",
               ctx.log.path().c_str(), std::strerror(ctx.log.write_error()));
}

// --help or --version as the only argument: the text alone, before anything else is done.
bool print_help_or_version(RunContext& ctx, const std::vector<std::string>& words) {
  if (words.size() != 2 || (words[1] != "--help" && words[1] != "--version")) return false;
  std::string text = words[1] == "--help" ? long_help() : version_text();
  std::fwrite(text.data(), 1, text.size(), ctx.out);
  return true;
}

}  // namespace

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken, which is `fd` itself.
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
  prepare_signals();
}

int run_program(RunContext& ctx, std::vector<std::string> words) {
  if (print_help_or_version(ctx, words)) return 0;
  run_startup_commands(ctx);

  switch (check_shape(words, ctx.options.report_path)) {
    case Shape::kUsage:
      return show_usage(ctx);
    case Shape::kBootEnable:
      return 0;
    case Shape::kGoOn:
      break;
  }

  ParseOutcome parsed = parse_options(words, ctx.options);
  if (parsed.help) return show_usage(ctx);
  if (parsed.bad_option) {
    print_message(ctx, std::string("Unknown command line option: ") + parsed.bad_option + "\n");
    return show_usage(ctx);
  }

  std::string b = banner();
  std::fwrite(b.data(), 1, b.size(), ctx.out);

  int status = run_mode(ctx);
  remove_empty_error_file(ctx);
  report_lost_log_lines(ctx);
  return status;
}

}  // namespace zanrex
