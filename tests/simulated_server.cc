#include "simulated_server.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
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

// Parses "DDDD:BB:DD.F" (four or more domain digits) into its parts.
void parse_address(const std::string& a, unsigned* domain, unsigned* bus, unsigned* dev,
                   unsigned* fn) {
  int end = 0;
  size_t colon = a.find(':');
  if (std::sscanf(a.c_str(), "%x:%2x:%2x.%1x%n", domain, bus, dev, fn, &end) != 4 || colon < 4 ||
      a.size() != colon + 8 || end != static_cast<int>(a.size())) {
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
  if (!f.readable) return r + "\n";
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

// The unit record of an Intel fabric function that has one: its hfi1 device below it.
std::string unit_record(const PciFunction& f, int unit) {
  unsigned domain, bus, dev, fn;
  parse_address(f.address, &domain, &bus, &dev, &fn);
  char root[32];
  std::snprintf(root, sizeof root, "pci%04x:%02x", domain, bus);
  return "P: /devices/" + std::string(root) + "/" + f.address + "/infiniband/hfi1_" +
         std::to_string(unit) + "\nE: SUBSYSTEM=infiniband\n\n";
}

bool is_intel_fabric(const PciFunction& f) {
  return f.readable && (f.class_code >> 8) == 0x0208 && f.vendor == 0x8086;
}

// What a call that ends with 0 does to the adapter (shell function took_effect, called with
// the tool's arguments): a loader write stores the image's version line for the query; a
// thermal update writes hfi1 unit N - 1, found through the driver's class directory, or fails.
// answer_query prints the stored line for a version query that no rule answers.
std::string effect_function(const std::string& tool) {
  if (tool == "hfi1_eprom") {
    return "took_effect() {\n"
           "  [ \"$1 $3 $4\" = \"-d -w -o\" ] || return 0\n"
           "  a=\"${2%/resource0}\"; a=\"${a##*/}\"\n"
           "  v=\"$(grep -m 1 '^loader file version' \"$5\" 2>/dev/null)\"\n"
           "  [ -z \"$v\" ] || printf '%s\\n' \"$v\" > \"$ctl/loader/$a\"\n"
           "}\n"
           "answer_query() {\n"
           "  [ \"$1 $3 $4\" = \"-d -V -o\" ] || return 0\n"
           "  a=\"${2%/resource0}\"; a=\"${a##*/}\"\n"
           "  [ ! -f \"$ctl/loader/$a\" ] || cat \"$ctl/loader/$a\"\n"
           "}\n";
  }
  return "took_effect() {\n"
         "  unit=0 file=\"\"\n"
         "  while [ $# -gt 0 ]; do\n"
         "    case \"$1\" in -h) unit=$(($2 - 1)); shift ;; -f) file=\"$2\"; shift ;; esac\n"
         "    shift\n"
         "  done\n"
         "  [ -n \"$file\" ] || return 0\n"
         "  link=\"$(readlink \"/sys/class/infiniband/hfi1_$unit\")\"\n"
         "  [ -n \"$link\" ] || { echo \"opatmmtool: no HFI $((unit + 1))\" >&2; exit 1; }\n"
         "  a=\"${link%/infiniband/*}\"\n"
         "  echo \"hfi1_$unit ${a##*/} $file\" >> \"$ctl/thermal\"\n"
         "}\n"
         "answer_query() { :; }\n";
}

// The stand-in tool: records the call, then answers from its rule file. A write that ran to
// its end is recorded again (function finished).
std::string tool_script(const std::string& tool, const std::string& control_dir) {
  std::string s = "#!/bin/sh\n";
  s += "ctl=" + quoted(control_dir) + "\n";
  s += effect_function(tool);
  s += "finished() {\n"
       "  case \" $* \" in *\" -w \"* | *\" update \"*) ;; *) return 0 ;; esac\n"
       "  { printf '%s' " +
       quoted(tool) +
       "; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; } >> \"$ctl/finished\"\n"
       "}\n";
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
  s += "finished \"$@\"\n";
  s += "took_effect \"$@\"\n";
  s += "answer_query \"$@\"\n";  // a loader written is what an unmatched query reports
  s += "exit 0\n";
  return s;
}

// --- The private /tmp -------------------------------------------------------------------------

const char kTmp[] = "/tmp";
const char kFillerPrefix[] = ".zanrex-fill";

// Whether this process may make mount namespaces: root, and the kernel lets it.
bool can_make_mount_namespaces() {
  static const bool can = [] {
    if (geteuid() != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
  }();
  return can;
}

// The first component below /tmp of `path`, or "" when it does not lie under /tmp.
std::string top_below_tmp(const fs::path& path) {
  fs::path p = fs::weakly_canonical(path);
  auto it = p.begin();
  if (p.is_absolute() && ++it != p.end() && *it == "tmp" && ++it != p.end()) return it->string();
  return "";
}

// Says what failed in the child that sets up a run's /tmp and ends it with status 125.
[[noreturn]] void setup_failed(const std::string& what) {
  std::string text = "simulated server: " + what + ": " + std::strerror(errno) + "\n";
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
  _exit(125);
}

// Creates files in the current /tmp until there is no room left for another one.
void use_up_inodes() {
  for (int i = 0;; ++i) {
    std::string name = std::string(kTmp) + "/" + kFillerPrefix + "-inode-" + std::to_string(i);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == ENOSPC) return;
      setup_failed("filling " + name);
    }
    close(fd);
  }
}

// Writes into the current /tmp until no block is left.
void use_up_space() {
  std::string name = std::string(kTmp) + "/" + kFillerPrefix + "-space";
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) setup_failed("creating " + name);
  const std::string block(65536, '\0');
  for (;;) {
    ssize_t n = write(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSPC) break;
    if (n < 0) setup_failed("filling " + name);
  }
  close(fd);
}

// The per-run error files ("dataXXXXXX") of this user in the machine's /tmp.
std::set<std::string> error_files_in_tmp() {
  std::set<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(kTmp, ec)) {
    std::string name = e.path().filename().string();
    struct stat st;
    if (name.size() == 10 && name.rfind("data", 0) == 0 && lstat(e.path().c_str(), &st) == 0 &&
        st.st_uid == geteuid() && S_ISREG(st.st_mode)) {
      names.insert(e.path().string());
    }
  }
  return names;
}

// Starts the program with its standard streams; never returns.
[[noreturn]] void start_program(char** argv, char** envp, const std::string& dir,
                                const std::string& in_path, const std::string& out_path,
                                const std::string& err_path, Input input_kind) {
  if (chdir(dir.c_str()) != 0) _exit(126);
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
  // A job of its own with the stop signals at their defaults, whatever the test runner was
  // started with (a background job of a script has SIGINT and SIGQUIT ignored).
  setsid();
  for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(argv[0], argv, envp);
  _exit(127);
}

// A process that calls `action` with the pid written to `busy_file` once that file appears;
// it is ended when the watcher goes.
class Watcher {
 public:
  Watcher(const std::string& busy_file, const std::function<void(int)>& action) {
    unlink(busy_file.c_str());
    if (!action) return;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ != 0) return;
    for (int tries = 0; tries < 12000; ++tries) {
      int program = 0;
      if (std::ifstream(busy_file) >> program) {
        action(program);
        _exit(0);
      }
      usleep(5000);
    }
    _exit(1);
  }
  ~Watcher() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

 private:
  pid_t pid_ = -1;
};

int wait_for(pid_t pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  return raw;
}

// The "loader file version" line of the loader image `name`: the rom of the first catalogue
// element whose fwFile1 names it; empty when there is none.
std::string loader_version_line(const std::string& xml, const std::string& name) {
  static const std::regex element("<[^<>]*>");
  static const std::regex loader("fwFile1\\s*=\\s*[\"']([^\"'<>]+)[\"']");
  static const std::regex rom("\\srom\\s*=\\s*[\"']([^\"'<>]*)[\"']");
  for (std::sregex_iterator it(xml.begin(), xml.end(), element), end; it != end; ++it) {
    const std::string e = it->str();
    std::smatch file, version;
    if (std::regex_search(e, file, loader) && file[1] == name &&
        std::regex_search(e, version, rom)) {
      return "loader file version: " + version[1].str() + "\n";
    }
  }
  return "";
}

}  // namespace

SimulatedServer::SimulatedServer()
    : umockdev_run_(find_umockdev_run()), private_tmp_(can_make_mount_namespaces()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zanrex-sim-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  root_ = templ;
  package_dir_ = root_ + "/package";
  control_dir_ = root_ + "/control";
  fs::create_directories(package_dir_ + "/nic_fw");
  fs::create_directories(control_dir_ + "/loader");
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
  const std::string stored = control_dir_ + "/loader/" + address;
  spill(stored, "loader file version: " + version + "\n");
  ToolReply reply;
  reply.probe = "cat " + quoted(stored);
  on_call("hfi1_eprom", "-d /sys/bus/pci/devices/" + address + "/resource0 -V -o", reply);
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
    if (!r.reply.probe.empty()) s += "    " + r.reply.probe + "\n";
    if (r.reply.delay > 0) {
      s += "    printf '%s\\n' $PPID $$ > \"$ctl/busy.new\"; mv \"$ctl/busy.new\" \"$ctl/busy\"\n";
      if (r.reply.progress) {
        const int tenths = static_cast<int>(r.reply.delay * 10 + 0.5);
        s += "    i=0; while [ $i -lt " + std::to_string(tenths) +
             " ]; do echo \"progress $i\"; sleep 0.1; i=$((i+1)); done\n";
      } else {
        s += "    sleep " + std::to_string(r.reply.delay) + "\n";
      }
      s += "    rm -f \"$ctl/busy\"\n";
    }
    s += "    cat " + quoted(base + ".out") + "; cat " + quoted(base + ".err") + " >&2\n";
    if (r.reply.signal) s += "    kill -" + std::to_string(r.reply.signal) + " $$\n";
    s += "    finished \"$@\"\n";
    if (r.reply.exit_code == 0 && r.reply.takes_effect) s += "    took_effect \"$@\"\n";
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
    std::ofstream(package_dir_ + "/nic_fw/" + name, std::ios::binary)
        << "image " << name << "\n"
        << loader_version_line(xml, name);
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
  int next_unit = 0;
  for (const PciFunction& f : functions_) {
    text += device_record(f);
    if (!is_intel_fabric(f)) continue;
    int unit = next_unit++;
    if (f.hfi1_unit != kNextUnit) unit = f.hfi1_unit;
    if (unit >= 0) text += unit_record(f, unit);
  }
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

std::vector<std::string> SimulatedServer::thermal_writes() const {
  return split_lines(slurp(control_dir_ + "/thermal"));
}

std::vector<std::string> SimulatedServer::finished_writes() const {
  return split_lines(slurp(control_dir_ + "/finished"));
}

RunResult SimulatedServer::run(const std::vector<std::string>& args, const std::string& input,
                               Input input_kind) {
  std::vector<std::string> words;
  if (!caller_.empty()) words.insert(words.end(), {"/bin/bash", "-c", caller_, "caller"});
  words.push_back(ZANREX_BINARY);
  words.insert(words.end(), args.begin(), args.end());
  return launch(words, input, input_kind);
}

SimulatedServer::RunPair SimulatedServer::run_together(const std::vector<std::string>& first_args,
                                                       const std::vector<std::string>& second_args,
                                                       const Together& how) {
  auto command = [](const std::vector<std::string>& args, const std::string& n) {
    std::string c = zanrex_test::quoted(ZANREX_BINARY);
    for (const std::string& a : args) c += " " + zanrex_test::quoted(a);
    return c + " > \"$ctl/out" + n + "\" 2> \"$ctl/err" + n + "\"";
  };
  const std::string ctl = control_dir_;
  for (const char* old : {"/status1", "/status2", "/status3", "/tool", "/out3", "/err3"}) {
    std::remove((ctl + old).c_str());
  }
  std::string script = "ctl=" + zanrex_test::quoted(ctl) + "\nrm -f \"$ctl/busy\"\n";
  script += command(first_args, "1") + " &\nfirst=$!\necho $first > \"$ctl/pid1\"\n";
  script +=
      "i=0\nwhile [ ! -e \"$ctl/busy\" ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n";
  script += "{ read -r caller; read -r tool; } < \"$ctl/busy\"; echo \"$tool\" > \"$ctl/tool\"\n";
  if (how.kill_first) script += "kill -9 $first\n";
  script += command(second_args, "2") + "\necho $? > \"$ctl/status2\"\n";
  script += "wait $first\necho $? > \"$ctl/status1\"\n";
  if (!how.third.empty()) {
    // The tool holds the adapter's lock as its descriptor 3 until it ends.
    script +=
        "i=0\nwhile [ -e \"/proc/$tool/fd/3\" ] && [ $i -lt 400 ]; do sleep 0.05; "
        "i=$((i+1)); done\n";
    script += command(how.third, "3") + "\necho $? > \"$ctl/status3\"\n";
  }
  RunResult shell = launch({"/bin/sh", "-c", script}, "", Input::kText);

  RunPair pair;
  RunResult* results[3] = {&pair.first, &pair.second, &pair.third};
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i + 1);
    RunResult& r = *results[i];
    r.status = std::stoi("0" + slurp(control_dir_ + "/status" + n));
    r.out = slurp(control_dir_ + "/out" + n);
    r.err = slurp(control_dir_ + "/err" + n);
    r.log = shell.log;
    r.calls = shell.calls;
  }
  pair.first_pid = std::stoi("0" + slurp(control_dir_ + "/pid1"));
  pair.tool_pid = std::stoi("0" + slurp(control_dir_ + "/tool"));
  return pair;
}

RunResult SimulatedServer::launch(const std::vector<std::string>& program_words,
                                  const std::string& input, Input input_kind) {
  if (!usable()) throw std::runtime_error("umockdev-run is not installed");
  const std::string devices = write_device_file();
  const std::string in_path = control_dir_ + "/stdin";
  spill(in_path, input);
  spill(control_dir_ + "/calls", "");
  spill(control_dir_ + "/thermal", "");
  spill(control_dir_ + "/finished", "");
  fs::remove_all(control_dir_ + "/tmp-after");

  std::vector<std::string> words = {umockdev_run_, "-d", devices, "--"};
  words.insert(words.end(), program_words.begin(), program_words.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string path_var = kPath;
  std::string tmpdir_var = "TMPDIR=" + control_dir_;
  std::vector<char*> envp = {path_var.data()};
  if (private_tmp_ && (tmp_setup_.no_free_inodes || tmp_setup_.no_free_space)) {
    envp.push_back(tmpdir_var.data());
  }
  envp.push_back(nullptr);
  const std::set<std::string> error_files_before =
      private_tmp_ ? std::set<std::string>{} : error_files_in_tmp();

  std::fflush(nullptr);
  Watcher watcher(control_dir_ + "/busy", while_busy_);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (private_tmp_) run_in_private_tmp(argv.data(), envp.data(), in_path, input_kind);
    start_program(argv.data(), envp.data(), package_dir_, in_path, control_dir_ + "/stdout",
                  control_dir_ + "/stderr", input_kind);
  }
  int raw = wait_for(pid);

  RunResult r;
  if (private_tmp_) {
    if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
      throw std::runtime_error("the private /tmp could not be set up: " +
                               slurp(control_dir_ + "/stderr"));
    }
    raw = std::stoi(slurp(control_dir_ + "/status"));
    const fs::path saved = control_dir_ + "/tmp-after";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(saved, ec); !ec && it != decltype(it){};
         it.increment(ec)) {
      if (it->is_regular_file()) {
        r.tmp_files[fs::relative(it->path(), saved).string()] = slurp(it->path().string());
      }
    }
  } else {
    for (const std::string& name : error_files_in_tmp()) {
      if (error_files_before.count(name)) continue;
      r.tmp_files[fs::path(name).filename().string()] = slurp(name);
      unlink(name.c_str());
    }
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = slurp(control_dir_ + "/stdout");
  r.err = slurp(control_dir_ + "/stderr");
  r.log = read_file("intel_OPA.log");
  r.calls = recorded_calls();
  return r;
}

// In the forked child: a mount namespace of its own with an empty tmpfs on /tmp, the scratch
// directory and the binary's directory bound back to their paths, the files of set_tmp();
// then the program runs in a grandchild, what it left in /tmp is copied to control/tmp-after
// and its wait status to control/status.
void SimulatedServer::run_in_private_tmp(char** argv, char** envp, const std::string& in_path,
                                         Input input_kind) const {
  const std::string err_path = control_dir_ + "/stderr";
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (err >= 0) dup2(err, 2);
  if (unshare(CLONE_NEWNS) != 0) setup_failed("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) setup_failed("mount /");

  std::set<std::string> kept;  // top-level names below /tmp that lead to kept directories
  std::vector<std::pair<std::string, int>> holds;
  for (const fs::path& p : {fs::path(root_), fs::path(ZANREX_BINARY).parent_path()}) {
    std::string top = top_below_tmp(p);
    if (top.empty() || kept.count(top)) continue;
    kept.insert(top);
    std::string dir = std::string(kTmp) + "/" + top;
    int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) setup_failed("open " + dir);
    holds.emplace_back(dir, fd);
  }
  std::string options = "mode=1777";
  if (tmp_setup_.no_free_inodes) options += ",nr_inodes=256";
  if (tmp_setup_.no_free_space) options += ",size=256k";
  if (mount("zanrex-tmp", kTmp, "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    setup_failed("mount tmpfs on /tmp");
  }
  for (const auto& [dir, fd] : holds) {
    std::string source = "/proc/self/fd/" + std::to_string(fd);
    if (mkdir(dir.c_str(), 0700) != 0 ||
        mount(source.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      setup_failed("bind " + dir);
    }
    close(fd);
  }
  prepare_tmp();

  pid_t pid = fork();
  if (pid < 0) setup_failed("fork");
  if (pid == 0) {
    start_program(argv, envp, package_dir_, in_path, control_dir_ + "/stdout", err_path,
                  input_kind);
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) setup_failed("waitpid");
  }
  save_tmp_files();
  spill(control_dir_ + "/status", std::to_string(raw));
  _exit(0);
}

void SimulatedServer::prepare_tmp() const {
  for (const auto& [name, content] : tmp_setup_.files) {
    fs::path p = fs::path(kTmp) / name;
    fs::create_directories(p.parent_path());
    spill(p.string(), content);
  }
  if (tmp_setup_.no_free_inodes) use_up_inodes();
  if (tmp_setup_.no_free_space) use_up_space();
}

// Copies the regular files of the private /tmp, but for the fillers and the kept directories,
// to control/tmp-after.
void SimulatedServer::save_tmp_files() const {
  const fs::path saved = control_dir_ + "/tmp-after";
  std::set<std::string> kept = {top_below_tmp(root_),
                                top_below_tmp(fs::path(ZANREX_BINARY).parent_path())};
  std::error_code ec;
  for (const fs::directory_entry& top : fs::directory_iterator(kTmp, ec)) {
    std::string name = top.path().filename().string();
    if (kept.count(name) || name.rfind(kFillerPrefix, 0) == 0) continue;
    if (top.is_regular_file()) {
      fs::create_directories(saved);
      fs::copy_file(top.path(), saved / name, ec);
    } else if (top.is_directory()) {
      fs::create_directories(saved);
      fs::copy(top.path(), saved / name, fs::copy_options::recursive, ec);
    }
  }
}

}  // namespace zanrex_test
