// Unit-test helpers: scratch directories, a stand-in for the Processes interface and a run
// context whose console and event log are captured.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "processes.h"
#include "run_context.h"

namespace zanrex {

// A fresh directory under /tmp, removed with all it holds when its owner goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string name = "/tmp/zanrex-test-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) std::abort();
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The working directory is `dir` while the object lives.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path old_;
};

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The options that `letters` set on a command line: "sf" for -s -f.
inline Options options_of(const std::string& letters) {
  Options options;
  parse_options({"zanrex", "-" + letters, "r.xml"}, options);
  return options;
}

// Records every program started, as its command. A read-back is answered with the output
// given for its command text (see command_text) in the pieces the real reader makes; every
// other run ends with the next of `codes`, 0 once they are used up, a detached one bringing
// back the output given for its command text. Like an adapter, a loader
// write ("-d DEV -w -o FILE") that ends with 0 makes the version query of DEV answer with
// the "loader file version" line of FILE, if it has one.
class FakeProcesses : public Processes {
 public:
  Outcome run(const Command& command, const PieceReader& on_piece) override {
    calls.push_back(command);
    if (during_run) during_run(command);
    Outcome outcome;
    if (start_error != 0) {
      outcome.start_error = start_error;
      return outcome;
    }
    if (command.output == Output::kReadBack) {
      hand_out(outputs[command_text(command)], on_piece);
      return outcome;
    }
    if (command.output == Output::kDetached) {
      auto said = outputs.find(command_text(command));
      if (said != outputs.end()) outcome.output = said->second;
    }
    if (!codes.empty()) {
      outcome.exit_code = codes.front();
      codes.pop_front();
    }
    if (outcome.exit_code == 0) take_loader(command.args);
    return outcome;
  }

  // The command text of each call, for compact comparisons.
  std::vector<std::string> command_lines() const {
    std::vector<std::string> lines;
    for (const Command& c : calls) lines.push_back(command_text(c));
    return lines;
  }

  std::deque<int> codes;                       // exit codes of the next runs that are not read back
  std::map<std::string, std::string> outputs;  // output by command text
  int start_error = 0;                         // when set, nothing starts
  std::function<void(const Command&)> during_run;  // e.g. a signal while a tool runs
  std::vector<Command> calls;
  size_t pieces_read = 0;

  // The calls that were not read back: the flashing steps.
  size_t steps() const {
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](const Command& c) {
      return c.output != Output::kReadBack;
    }));
  }

 private:
  void take_loader(const std::vector<std::string>& args) {
    if (args.size() != 6 || args[1] != "-d" || args[3] != "-w" || args[4] != "-o") return;
    std::ifstream image(args[5]);
    for (std::string line; std::getline(image, line);) {
      if (line.rfind("loader file version", 0) != 0) continue;
      outputs["./nic_fw/hfi1_eprom -d " + args[2] + " -V -o"] = line + "\n";
      return;
    }
  }

  void hand_out(const std::string& output, const PieceReader& on_piece) {
    for (size_t at = 0; at < output.size();) {
      size_t end = output.find('\n', at);
      end = end == std::string::npos ? output.size() : end + 1;
      end = std::min(end, at + 499);
      ++pieces_read;
      if (!on_piece(output.substr(at, end - at))) break;
      at = end;
    }
  }
};

// A run context with the fake processes, console output to a memory stream, operator replies
// from `input` and the event log in a scratch file with a fixed clock.
class TestRun {
 public:
  explicit TestRun(const std::string& input = "") : input_(input) {
    ctx.processes = &processes;
    ctx.out = open_memstream(&out_buf_, &out_size_);
    ctx.in =
        input_.empty() ? std::fopen("/dev/null", "r") : fmemopen(input_.data(), input_.size(), "r");
    log_path_ = dir_.path() + "/intel_OPA.log";
    ctx.sysfs_devices = dir_.path() + "/sys";
    ctx.log.open(log_path_);
    ctx.log.set_clock([] { return std::time_t{0}; });
  }
  ~TestRun() {
    std::fclose(ctx.out);
    std::free(out_buf_);
    std::fclose(ctx.in);
  }
  TestRun(const TestRun&) = delete;
  TestRun& operator=(const TestRun&) = delete;

  // Adds `adapter` to the table and its function to the run's sysfs, with the adapter's IDs
  // and the next hfi1 unit.
  void add_adapter(const Adapter& adapter) {
    ctx.adapters.push_back(adapter);
    const std::string d = ctx.sysfs_devices + "/" + adapter.address.value_or("");
    std::filesystem::create_directories(d + "/infiniband/hfi1_" + std::to_string(units_++));
    const std::pair<const char*, int> files[] = {{"class", 0x020800},
                                                 {"vendor", adapter.ven_id},
                                                 {"device", adapter.dev_id},
                                                 {"subsystem_vendor", adapter.sub_ven_id},
                                                 {"subsystem_device", adapter.sub_dev_id}};
    for (const auto& [name, value] : files) {
      std::ofstream(d + "/" + name) << "0x" << std::hex << value << "\n";
    }
  }

  std::string console() {
    std::fflush(ctx.out);
    return std::string(out_buf_, out_size_);
  }

  // The event texts of the log, each with its time stamp and tag reduced to the tag word.
  std::string log() {
    std::string text;
    FILE* f = std::fopen(log_path_.c_str(), "r");
    if (!f) return text;
    int c;
    while ((c = std::fgetc(f)) != EOF) text += static_cast<char>(c);
    std::fclose(f);
    std::string stamp = format_log_line(0, "", "");
    stamp = stamp.substr(0, stamp.find(" [") + 1);  // the time text and its space
    std::string reduced;
    for (size_t pos = 0; pos < text.size();) {
      if (text.compare(pos, stamp.size(), stamp) == 0) pos += stamp.size();
      reduced += text[pos++];
    }
    return reduced;
  }

  FakeProcesses processes;
  RunContext ctx;

 private:
  std::string input_;
  int units_ = 0;
  char* out_buf_ = nullptr;
  size_t out_size_ = 0;
  ScratchDir dir_;
  std::string log_path_;
};

// A discovery report's device element with the given inner elements, each "name=value".
inline std::string device(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = "<device>";
  for (const auto& [name, value] : values) text += "<" + name + " value=\"" + value + "\"/>";
  return text + "</device>";
}

inline std::string report(const std::string& devices) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarvik_rom_discovery version=\"2.0.0.0\">"
         "<type value=\"INTEL_NIC\"/><devices>" +
         devices + "</devices></tarvik_rom_discovery>\n";
}

// A scratch package directory that is the working directory while the object lives. Flashing
// looks for the image files under ./nic_fw/ before it runs a step; add() puts them there.
class ScratchPackage {
 public:
  ScratchPackage() { std::filesystem::create_directory("nic_fw"); }

  // An image file ./nic_fw/`name` of the working directory; a loader image carries its version.
  static void add(const std::string& name, const std::string& loader_version = "") {
    std::ofstream image("nic_fw/" + name);
    image << name << "\n";
    if (!loader_version.empty()) image << "loader file version: " << loader_version << "\n";
  }

 private:
  ScratchDir dir_;
  WorkingDir cwd_{dir_.path()};
};

}  // namespace zanrex
