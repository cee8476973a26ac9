// A simulated server for end-to-end tests: a scratch package directory with stand-in vendor
// tools, an optional catalogue, and a umockdev description of the PCI functions the program
// will find. run() starts the real built program there and returns everything it produced.
//
//   SimulatedServer sim;                          // skip the test first: if (!sim.usable()) ...
//   sim.add_pci_function({"0000:81:00.0"});       // a fabric adapter with the usual IDs
//   sim.set_installed_version("0000:81:00.0", "1.2.3");
//   sim.on_call("hfi1_eprom", "*-w -o*", {"writing\n", 0});
//   RunResult r = sim.run({"-c"});
//   EXPECT_EQ(r.calls[0], "hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o");
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Ends a test as skipped on a machine without umockdev-run.
#define SKIP_WITHOUT_UMOCKDEV(sim) \
  if (!(sim).usable()) GTEST_SKIP() << "umockdev-run is not installed"

// Ends a test as skipped where runs cannot have a /tmp of their own (not root).
#define SKIP_WITHOUT_PRIVATE_TMP(sim) \
  SKIP_WITHOUT_UMOCKDEV(sim);         \
  if (!(sim).private_tmp()) GTEST_SKIP() << "a private /tmp needs root"

namespace zanrex_test {

// The banner every run but the refused ones prints first.
inline const std::string kBanner = "\n" + std::string(98, '#') +
                                   "\nQuillon Online Firmware Upgrade Utility for Linux\n" +
                                   std::string(98, '#') + "\n\n";

// hfi1 units of PciFunction: the next one in the order functions are added, or none at all.
constexpr int kNextUnit = -1;
constexpr int kNoUnit = -2;

// One PCI function of the simulated server. The defaults describe a fabric adapter.
struct PciFunction {
  std::string address;             // "DDDD:BB:DD.F", lower-case hex, four or more domain digits
  uint32_t class_code = 0x020800;  // base class, subclass, programming interface
  uint16_t vendor = 0x8086;
  uint16_t device = 0x24f0;
  uint16_t subsystem_vendor = 0x8086;
  uint16_t subsystem_device = 0x2628;
  bool readable = true;  // false: its sysfs directory holds no attribute at all
  // The hfi1 driver's unit K of an Intel fabric function (entry infiniband/hfi1_K of its sysfs
  // directory): kNextUnit numbers them in the order they are added.
  int hfi1_unit = kNextUnit;
};

// How a stand-in tool answers one call: it runs `probe` (shell commands, e.g. printing what
// it finds in /proc/$$), sleeps `delay` seconds (a slow step; the file control/busy holds the
// caller's pid and the tool's own meanwhile, see while_busy and busy_file()), writes `output`
// on standard output and `error_output` on standard error, then exits with `exit_code`, or
// kills itself with `signal` when that is non-zero.
struct ToolReply {
  ToolReply(std::string out = "", int code = 0, int sig = 0, std::string err = "")
      : output(std::move(out)), exit_code(code), signal(sig), error_output(std::move(err)) {}
  std::string output;
  int exit_code;
  int signal;
  std::string error_output;
  double delay = 0;
  std::string probe;
  // A write that ends with 0 changes the adapter as the tools do (see on_call); false: the
  // tool says nothing of a write that did not take.
  bool takes_effect = true;
  // During the delay, a line "progress N" on standard output every 0.1 s, as the vendor's
  // tools show how far a write has come (a tool whose output nobody reads any more dies there).
  bool progress = false;
};

// What the program's standard input is.
enum class Input {
  kText,    // the text given to run() (end of input after it)
  kClosed,  // descriptor 0 closed
};

struct RunResult {
  int status = -1;                 // exit status; 128 + N when signal N ended it
  std::string out;                 // standard output
  std::string err;                 // standard error
  std::string log;                 // intel_OPA.log after the run (all runs so far)
  std::vector<std::string> calls;  // tool calls of this run, one line each (see below)
  // The files the run left in its private /tmp, by path below /tmp ("data1a2B3c"), with
  // their contents; those made by set_tmp() are included, the fillers are not. Without a
  // private /tmp: the per-run error files the run made (run() removes them).
  std::map<std::string, std::string> tmp_files;
};

// What a run's private /tmp holds before the program starts.
struct TmpSetup {
  std::map<std::string, std::string> files;  // path below /tmp → content (parents made)
  bool no_free_inodes = false;               // afterwards nothing more can be created there
  bool no_free_space = false;                // afterwards nothing more can be written there
};

// What else run_together does (see there).
struct Together {
  bool kill_first = false;
  std::vector<std::string> third;
};

class SimulatedServer {
 public:
  // Makes the package directory with nic_fw/ and the two stand-in tools, which answer every
  // call with no output and exit code 0 until told otherwise.
  SimulatedServer();
  ~SimulatedServer();
  SimulatedServer(const SimulatedServer&) = delete;
  SimulatedServer& operator=(const SimulatedServer&) = delete;

  // False when umockdev-run is not installed; tests then GTEST_SKIP().
  bool usable() const { return !umockdev_run_.empty(); }

  // --- The program's /tmp ------------------------------------------------------------------
  // Run as root, every run() gets a /tmp of its own: an empty tmpfs in a private mount
  // namespace (the scratch directory and the binary stay visible at their paths), gone when
  // the run ends, so nothing the program makes there reaches the machine's /tmp. Otherwise
  // runs share the machine's /tmp and run() removes the per-run error files they made.
  bool private_tmp() const { return private_tmp_; }
  // Prepares the private /tmp of the following runs (tests check private_tmp() first).
  void set_tmp(const TmpSetup& setup) { tmp_setup_ = setup; }

  // --- PCI functions -------------------------------------------------------------------
  // Adds a function to the umockdev device file, with sysfs attributes class, vendor,
  // device, subsystem_vendor, subsystem_device, irq, resource, resource0 and a config space
  // holding the same IDs (none of them when it is not `readable`). With none added, the server
  // has one host bridge at 0000:00:00.0 (an empty device file would let the host's own bus
  // show through).
  void add_pci_function(const PciFunction& function);

  // --- Stand-in tools ("hfi1_eprom" or "opatmmtool") ------------------------------------
  // Every call is recorded as the tool's name and its arguments joined by single spaces,
  // e.g. "opatmmtool -v -f ./nic_fw/x.bin update". The bare opatmmtool call without
  // arguments (the start-up probe) is answered but not recorded.
  //
  // Answers the calls whose joined arguments (without the name) match the shell glob
  // `pattern` ("*" any text, "?" one character, "[..]" a set; everything else literal).
  // The rule added last wins among those that match; unmatched calls get no output, 0.
  //
  // Calls that end with 0 (by rule or unmatched) act like the adapter: "hfi1_eprom -d
  // /sys/bus/pci/devices/ADDR/resource0 -w -o FILE" stores the "loader file version" line of
  // FILE (when it has one) as what the version query of ADDR reports from then on (set through
  // set_installed_version); "opatmmtool ... [-h N] -f FILE update" writes hfi1 unit N - 1 (0
  // without -h) and fails when the server has no such unit (see thermal_writes).
  void on_call(const std::string& tool, const std::string& pattern, const ToolReply& reply);

  // The version query "hfi1_eprom -d /sys/bus/pci/devices/ADDR/resource0 -V -o" for one
  // adapter prints "loader file version: VERSION" (until a loader write changes it); the raw
  // form prints `text` as it is, whatever is written.
  void set_installed_version(const std::string& address, const std::string& version);
  void set_version_query_output(const std::string& address, const std::string& text);

  // --- Package files ----------------------------------------------------------------------
  // nic_fw/NICFWData.xml, and beside it an image file for every fwFile1/2/3 attribute it names
  // (as a package holds them; a loader image, fwFile1, carries the "loader file version" of its
  // entry's rom); remove_file() takes one away again.
  void set_catalogue(const std::string& xml);
  // Writes `content` to `relative_path` under the package directory, making parents.
  void write_file(const std::string& relative_path, const std::string& content,
                  bool executable = false);
  std::string read_file(const std::string& relative_path) const;  // "" when unreadable
  bool file_exists(const std::string& relative_path) const;
  void remove_file(const std::string& relative_path);      // a file or a whole directory
  const std::string& dir() const { return package_dir_; }  // absolute path

  // Writes the umockdev device file for the functions added so far and returns its path
  // (run() does this itself; useful for running other programs on the same server).
  std::string write_device_file() const;
  // The tool calls recorded since the last run() started.
  std::vector<std::string> recorded_calls() const;
  // The thermal writes since the last run() started, "hfi1_K ADDR FILE" each.
  std::vector<std::string> thermal_writes() const;
  // The writes ("hfi1_eprom ... -w ...", "opatmmtool ... update") since the last run() started
  // that ran to their end, not cut by a signal, as recorded calls.
  std::vector<std::string> finished_writes() const;

  // --- Running ----------------------------------------------------------------------------
  // Runs `umockdev-run -d DEVICES -- zanrex ARGS...` in the package directory with only
  // PATH=/usr/sbin:/usr/bin:/sbin:/bin in the environment (and TMPDIR in the scratch
  // directory when the private /tmp is filled, for umockdev-run's own files).
  // The program leads a session and process group of its own, as a terminal's foreground
  // job leads its group (a signal to the group reaches umockdev-run and the program, not
  // the test).
  RunResult run(const std::vector<std::string>& args, const std::string& input = "",
                Input input_kind = Input::kText);

  // Two runs on this one server (one umockdev testbed), both in the package directory: the
  // first starts at once, the second as soon as a stand-in tool of the first sleeps in a
  // delayed reply (or after 20 s). With `kill_first`, the first run is killed with SIGKILL just
  // before the second starts. With `third`, a third run with those arguments follows once the
  // second has ended and the sleeping tool has ended too. Each result has its own status and
  // streams; all carry the shared log and the calls of all runs. `first_pid` is the first run's
  // process id, `tool_pid` that of the tool that slept.
  struct RunPair {
    RunResult first;
    RunResult second;
    RunResult third;
    int first_pid = 0;
    int tool_pid = 0;
  };
  RunPair run_together(const std::vector<std::string>& first_args,
                       const std::vector<std::string>& second_args, const Together& how = {});

  // The file that exists while a stand-in tool sleeps in a delayed reply.
  std::string busy_file() const { return control_dir_ + "/busy"; }
  // Later runs start the program through `/bin/bash -c SCRIPT caller zanrex ARGS...` inside
  // the testbed, as a caller would: the script ends with `exec "$@"` (after, say, `trap ''
  // CHLD`). An empty script starts the program directly again.
  void set_caller(const std::string& script) { caller_ = script; }

  // During later runs, once a stand-in tool sleeps in a delayed reply, `action` is called
  // once, in a process of its own, with the pid of the program that started the tool (e.g.
  // to signal it, or its group).
  void while_busy(std::function<void(int program_pid)> action) { while_busy_ = std::move(action); }

 private:
  struct Rule {
    std::string tool;
    std::string pattern;
    ToolReply reply;
  };

  void write_tool(const std::string& tool);
  // Runs `umockdev-run -d DEVICES -- WORDS...` as run() describes.
  RunResult launch(const std::vector<std::string>& words, const std::string& input,
                   Input input_kind);
  [[noreturn]] void run_in_private_tmp(char** argv, char** envp, const std::string& in_path,
                                       Input input_kind) const;
  void prepare_tmp() const;
  void save_tmp_files() const;
  void write_rules(const std::string& tool);
  std::string device_file_text() const;

  std::string root_;         // scratch root: package/ and control/
  std::string package_dir_;  // the program's working directory
  std::string control_dir_;  // record file, rule files, device file, captured streams
  std::string umockdev_run_;
  std::vector<PciFunction> functions_;
  std::vector<Rule> rules_;
  bool private_tmp_ = false;
  TmpSetup tmp_setup_;
  std::string caller_;
  std::function<void(int)> while_busy_;
};

}  // namespace zanrex_test
