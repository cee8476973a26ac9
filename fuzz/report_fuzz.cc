// The install from a handed-back discovery report (-u), end to end with the tools faked: any
// report may be refused, but nothing may be flashed that a device of the report does not ask
// for, and only a sysfs-shaped PCI address may reach the EEPROM tool.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "modes.h"
#include "processes.h"
#include "run_context.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Records the tool runs; this mode starts nothing else.
class RecordingProcesses : public zanrex::Processes {
 public:
  zanrex::Outcome run(const zanrex::Command& command, const zanrex::PieceReader&) override {
    check(command.output == zanrex::Output::kDetached);
    runs.push_back(command.args);
    runs.back().insert(runs.back().begin(), command.program);
    zanrex::Outcome outcome;
    outcome.exit_code = fail_every_other && runs.size() % 2 == 0 ? 1 : 0;
    return outcome;
  }
  std::vector<std::vector<std::string>> runs;
  bool fail_every_other = false;
};

bool hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ^[0-9A-Fa-f]{4}:[0-9A-Fa-f]{2}:[0-9A-Fa-f]{2}\.[0-7]$
bool sysfs_address(const std::string& a) {
  if (a.size() != 12) return false;
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!hex(a[i])) return false;
  }
  return a[4] == ':' && a[7] == ':' && a[10] == '.' && a[11] >= '0' && a[11] <= '7';
}

const char kCatalogue[] =
    "<?xml version=\"1.0\"?>\n<NICFWData>\n"
    "<nic name=\"HFI\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
    "subdevid=\"2628\" rom=\"1.2.3\" fwFile1=\"a.rom\" fwFile2=\"a.bin\" fwFile3=\"a.tmm\"/>\n"
    "<nic name=\"HFI new\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"2628\" "
    "subdevid=\"2628\" rom=\"1.3.0\" fwFile1=\"b.rom\" fwFile2=\"b.bin\" fwFile3=\"b.tmm\"/>\n"
    "<nic name=\"no files\" venid=\"8086\" devid=\"24f0\" subvenid=\"8086\" DEVICE_TYPE=\"e8f1\" "
    "subdevid=\"e8f1\" rom=\"2.0.0\" fwFile1=\"c.rom\"/>\n"
    "</NICFWData>\n";

std::string package_dir;

void remove_package_dir() {
  for (const char* f : {"report.xml", "intel_OPA.log", "nic_fw/NICFWData.xml"}) {
    std::remove((package_dir + "/" + f).c_str());
  }
  rmdir((package_dir + "/nic_fw").c_str());
  rmdir(package_dir.c_str());
}

// A scratch package directory, made once per process and kept as the working directory.
void enter_package_dir() {
  static bool done = false;
  if (done) return;
  done = true;
  // Memory-backed where there is such a place: every input is written out and read back.
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  dir += "/zanrex-report-fuzz-XXXXXX";
  check(mkdtemp(&dir[0]) != nullptr);
  check(chdir(dir.c_str()) == 0);
  package_dir = dir;
  std::atexit(remove_package_dir);
  check(mkdir("nic_fw", 0755) == 0);
  FILE* f = std::fopen("nic_fw/NICFWData.xml", "w");
  check(f != nullptr);
  std::fputs(kCatalogue, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zanrex;
  enter_package_dir();
  FILE* f = std::fopen("report.xml", "wb");
  check(f != nullptr);
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::remove("intel_OPA.log");

  RecordingProcesses processes;
  processes.fail_every_other = size % 2 == 1;
  RunContext ctx;
  ctx.processes = &processes;
  ctx.options.report_path = "report.xml";
  static FILE* devnull = std::fopen("/dev/null", "w");
  ctx.out = devnull;
  ctx.err = devnull;
  ctx.options.install_report = true;
  int status;
  try {
    status = install_from_report(ctx);
  } catch (const ExitRequest& e) {
    status = e.status;
  }
  check(status == 0 || status == 2);

  const std::string prefix = "/sys/bus/pci/devices/";
  for (const std::vector<std::string>& run : processes.runs) {
    check(run[0] == "./nic_fw/hfi1_eprom" || run[0] == "./nic_fw/opatmmtool");
    if (run[0] != "./nic_fw/hfi1_eprom") continue;
    check(run.size() == 7 && run[2] == "-d");
    const std::string& path = run[3];
    check(path.size() == prefix.size() + 12 + 10 && path.compare(0, prefix.size(), prefix) == 0);
    std::string address = path.substr(prefix.size(), 12);
    check(sysfs_address(address) && path.compare(prefix.size() + 12, 10, "/resource0") == 0);
    bool asked = false;
    for (const Adapter& d : ctx.adapters) {
      if (d.address == address && (d.flags & kNicFlash)) asked = true;
    }
    check(asked);
  }
  return 0;
}
