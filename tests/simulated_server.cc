#include "simulated_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zanrex_test {

namespace {

const char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spill(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

// Single-quotes `s` for the shell.
std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A glob as a shell case pattern: the glob characters stay active, everything else is
// escaped so blanks, slashes and the like match literally.
std::string case_pattern(const std::string& glob) {
  if (glob.empty()) return "''";
  std::string p;
  bool in_set = false;  // inside "[...]" ranges and "!" keep their meaning
  for (char c : glob) {
    if (c == '\n') throw std::invalid_argument("tool patterns are one line");
    bool keep = c == '*' || c == '?' || c == '[' || c == ']' ||
                (in_set && (c == '!' || c == '-' || std::isalnum(static_cast<unsigned char>(c))));
    if (c == '[') in_set = true;
    if (c == ']') in_set = false;
    if (!keep) p += '\\';
    p += c;
  }
  return p;
}

std::string find_umockdev_run() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::string p = std::string(dir) + "/umockdev-run";
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Parses "DDDD:BB:DD.F" into its parts.
void parse_address(const std::string& a, unsigned* domain, unsigned* bus, unsigned* dev,
                   unsigned* fn) {
  if (std::sscanf(a.c_str(), "%4x:%2x:%2x.%1x", domain, bus, dev, fn) != 4 || a.size() != 12) {
    throw std::invalid_argument("PCI address must read DDDD:BB:DD.F: " + a);
  }
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

// The first 64 bytes of a type 0 configuration header with the function's IDs and class.
std::string config_space(const PciFunction& f) {
  std::vector<uint8_t> c(64, 0);
  auto put16 = [&c](size_t at, uint16_t v) {
    c[at] = v & 0xff;
    c[at + 1] = v >> 8;
  };
  put16(0x00, f.vendor);
  put16(0x02, f.device);
  put16(0x04, 0x0406);  // command: memory, bus master
  put16(0x06, 0x0010);  // status
  c[0x08] = 0x11;       // revision
  c[0x09] = f.class_code & 0xff;
  c[0x0a] = (f.class_code >> 8) & 0xff;
  c[0x0b] = (f.class_code >> 16) & 0xff;
  put16(0x2c, f.subsystem_vendor);
  put16(0x2e, f.subsystem_device);
  return hex_bytes(c);
}

std::string hex_attr(const char* name, unsigned value, int digits) {
  char b[64];
  std::snprintf(b, sizeof b, "A: %s=0x%0*x\n", name, digits, value);
  return b;
}

std::string device_record(const PciFunction& f) {
  unsigned domain, bus, dev, fn;
  parse_address(f.address, &domain, &bus, &dev, &fn);
  char root[32];
  std::snprintf(root, sizeof root, "pci%04x:%02x", domain, bus);
  std::string r = "P: /devices/" + std::string(root) + "/" + f.address + "\n";
  r += "E: SUBSYSTEM=pci\nE: PCI_SLOT_NAME=" + f.address + "\n";
  r += hex_attr("class", f.class_code, 6);
  r += hex_attr("vendor", f.vendor, 4);
  r += hex_attr("device", f.device, 4);
  r += hex_attr("subsystem_vendor", f.subsystem_vendor, 4);
  r += hex_attr("subsystem_device", f.subsystem_device, 4);
  r += "A: irq=16\n";
  r += "A: resource=0x00000000f0000000 0x00000000f3ffffff 0x000000000014220c\\n"
       "0x0000000000000000 0x0000000000000000 0x0000000000000000\\n\n";
  r += "A: resource0=\n";
  r += "H: config=" + config_space(f) + "\n\n";
  return r;
}

// The stand-in tool: records the call, then answers from its rule file.
std::string tool_script(const std::string& tool, const std::string& control_dir) {
  std::string s = "#!/bin/sh\n";
  s += "ctl=" + quoted(control_dir) + "\n";
  if (tool == "opatmmtool") {
    s += "if [ $# -gt 0 ]; then\n";
  } else {
    s += "if true; then\n";
  }
  s += "  { printf '%s' " + quoted(tool) +
       "; for a in \"$@\"; do printf ' %s' \"$a\"; done;"
       " echo; } >> \"$ctl/calls\"\n";
  s += "fi\n";
  s += ". \"$ctl/" + tool + ".rules\"\n";
  s += "exit 0\n";
  return s;
}

}  // namespace

SimulatedServer::SimulatedServer() : umockdev_run_(find_umockdev_run()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zanrex-sim-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  root_ = templ;
  package_dir_ = root_ + "/package";
  control_dir_ = root_ + "/control";
  fs::create_directories(package_dir_ + "/nic_fw");
  fs::create_directories(control_dir_);
  spill(control_dir_ + "/calls", "");
  for (const char* tool : {"hfi1_eprom", "opatmmtool"}) {
    write_tool(tool);
    write_rules(tool);
  }
}

SimulatedServer::~SimulatedServer() {
  if (std::getenv("ZANREX_KEEP_SIM")) {
    std::fprintf(stderr, "simulated server kept in %s\n", root_.c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void SimulatedServer::add_pci_function(const PciFunction& function) {
  unsigned d, b, s, f;
  parse_address(function.address, &d, &b, &s, &f);
  functions_.push_back(function);
}

void SimulatedServer::on_call(const std::string& tool, const std::string& pattern,
                              const ToolReply& reply) {
  if (tool != "hfi1_eprom" && tool != "opatmmtool") {
    throw std::invalid_argument("no stand-in for " + tool);
  }
  case_pattern(pattern);  // refuses a bad pattern now rather than at run time
  rules_.push_back({tool, pattern, reply});
  write_rules(tool);
}

void SimulatedServer::set_installed_version(const std::string& address,
                                            const std::string& version) {
  set_version_query_output(address, "loader file version: " + version + "\n");
}

void SimulatedServer::set_version_query_output(const std::string& address,
                                               const std::string& text) {
  on_call("hfi1_eprom", "-d /sys/bus/pci/devices/" + address + "/resource0 -V -o", {text, 0});
}

void SimulatedServer::write_tool(const std::string& tool) {
  write_file("nic_fw/" + tool, tool_script(tool, control_dir_), true);
}

// The rule file is a case statement sourced by the tool, newest rule first; each reply's
// texts live in their own files so they need no quoting.
void SimulatedServer::write_rules(const std::string& tool) {
  std::string s = "case \"$*\" in\n";
  for (size_t i = rules_.size(); i-- > 0;) {
    const Rule& r = rules_[i];
    if (r.tool != tool) continue;
    std::string base = control_dir_ + "/reply" + std::to_string(i);
    spill(base + ".out", r.reply.output);
    spill(base + ".err", r.reply.error_output);
    s += "  " + case_pattern(r.pattern) + ")\n";
    s += "    cat " + quoted(base + ".out") + "; cat " + quoted(base + ".err") + " >&2\n";
    if (r.reply.signal) s += "    kill -" + std::to_string(r.reply.signal) + " $$\n";
    s += "    exit " + std::to_string(r.reply.exit_code) + " ;;\n";
  }
  s += "esac\n";
  spill(control_dir_ + "/" + tool + ".rules", s);
}

void SimulatedServer::set_catalogue(const std::string& xml) {
  write_file("nic_fw/NICFWData.xml", xml);
  static const std::regex file_attribute("fwFile[123]\\s*=\\s*[\"']([^\"'<>]+)[\"']");
  for (std::sregex_iterator it(xml.begin(), xml.end(), file_attribute), end; it != end; ++it) {
    const std::string name = (*it)[1];
    if (name.find("..") != std::string::npos || name[0] == '/') continue;
    std::error_code ignored;  // a name no file system takes stays without a file
    fs::create_directories((fs::path(package_dir_) / "nic_fw" / name).parent_path(), ignored);
    std::ofstream(package_dir_ + "/nic_fw/" + name, std::ios::binary) << "image " << name << "\n";
  }
}

void SimulatedServer::write_file(const std::string& relative_path, const std::string& content,
                                 bool executable) {
  fs::path p = fs::path(package_dir_) / relative_path;
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  spill(p.string(), content);
  if (executable) chmod(p.c_str(), 0755);
}

std::string SimulatedServer::read_file(const std::string& relative_path) const {
  return slurp(package_dir_ + "/" + relative_path);
}

bool SimulatedServer::file_exists(const std::string& relative_path) const {
  std::error_code ignored;
  return fs::exists(fs::path(package_dir_) / relative_path, ignored);
}

void SimulatedServer::remove_file(const std::string& relative_path) {
  fs::remove_all(fs::path(package_dir_) / relative_path);
}

std::string SimulatedServer::device_file_text() const {
  if (functions_.empty()) {
    return device_record({"0000:00:00.0", 0x060000, 0x8086, 0x0d57, 0x8086, 0x0000});
  }
  std::string text;
  for (const PciFunction& f : functions_) text += device_record(f);
  return text;
}

std::string SimulatedServer::write_device_file() const {
  const std::string devices = control_dir_ + "/devices.umockdev";
  spill(devices, device_file_text());
  return devices;
}

std::vector<std::string> SimulatedServer::recorded_calls() const {
  return split_lines(slurp(control_dir_ + "/calls"));
}

RunResult SimulatedServer::run(const std::vector<std::string>& args, const std::string& input,
                               Input input_kind) {
  if (!usable()) throw std::runtime_error("umockdev-run is not installed");
  const std::string devices = write_device_file();
  const std::string in_path = control_dir_ + "/stdin";
  const std::string out_path = control_dir_ + "/stdout";
  const std::string err_path = control_dir_ + "/stderr";
  spill(in_path, input);
  spill(control_dir_ + "/calls", "");

  std::vector<std::string> words = {umockdev_run_, "-d", devices, "--", ZANREX_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string path_var = kPath;
  char* envp[] = {path_var.data(), nullptr};

  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (chdir(package_dir_.c_str()) != 0) _exit(126);
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    if (input_kind == Input::kClosed) close(0);
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }

  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  r.log = read_file("intel_OPA.log");
  r.calls = recorded_calls();
  return r;
}

}  // namespace zanrex_test
