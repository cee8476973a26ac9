#include "adapter_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "run_context.h"

namespace zanrex {

namespace {

constexpr char kProcLocks[] = "/proc/locks";

int open_directory(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0 when locked, EWOULDBLOCK when another run holds it, otherwise the error.
int try_lock(int fd, LockKind kind) {
  const int operation = (kind == LockKind::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// The whole text of `path`; empty when it cannot be read. Read with stdio rather than streams:
// the packaged static binary stays free of the stream library's locale machinery.
std::string read_text(const std::string& path) {
  std::string text;
  FilePtr file(std::fopen(path.c_str(), "re"));
  if (!file) return text;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, n);
  return text;
}

// The numeric names in directory `path` (processes of /proc, descriptors of /proc/PID/fd).
std::vector<long> numbered_entries(const std::string& path) {
  std::vector<long> numbers;
  DirPtr dir(opendir(path.c_str()));
  if (!dir) return numbers;
  while (const dirent* entry = readdir(dir.get())) {
    char* end = nullptr;
    long n = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && n >= 0) numbers.push_back(n);
  }
  return numbers;
}

// A lock line as /proc/locks and /proc/PID/fdinfo/N give it: "N: FLOCK  ADVISORY  WRITE PID
// MAJ:MIN:INODE START END". The pid it names when it is a flock held on `device`:`inode` (0 or
// less when the kernel cannot name it); nothing for waiting requests ("N: -> FLOCK ..."),
// other kinds of lock and other files.
std::optional<long> flock_on(const std::string& line, dev_t device, ino_t inode) {
  char kind[16] = "";
  long pid = 0;
  unsigned major_part = 0, minor_part = 0;
  unsigned long long inode_part = 0;
  if (std::sscanf(line.c_str(), "%*s %15s %*s %*s %ld %x:%x:%llu", kind, &pid, &major_part,
                  &minor_part, &inode_part) != 5) {
    return std::nullopt;
  }
  if (std::strcmp(kind, "FLOCK") != 0) return std::nullopt;
  if (major_part != major(device) || minor_part != minor(device) || inode_part != inode) {
    return std::nullopt;
  }
  return pid;
}

// Whether process `pid` has a descriptor open on `device`:`inode` that holds a flock on it.
bool process_holds(long pid, dev_t device, ino_t inode) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (long fd : numbered_entries(proc + "/fd")) {
    struct stat st {};
    const std::string n = std::to_string(fd);
    if (::stat((proc + "/fd/" + n).c_str(), &st) != 0) continue;
    if (st.st_dev != device || st.st_ino != inode) continue;
    if (fdinfo_holds_flock(read_text(proc + "/fdinfo/" + n), device, inode)) return true;
  }
  return false;
}

// A live process other than this one that holds the lock on the file open at `fd`. The kernel's
// lock list names the process that took the lock, which may be gone while a write tool it
// started still holds it; then the processes' descriptors tell. Nothing when none is found (a
// holder in another pid namespace, or one this user may not look into).
std::optional<pid_t> holder_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  const pid_t self = ::getpid();
  std::optional<pid_t> taker = flock_holder(read_text(kProcLocks), st.st_dev, st.st_ino, self);
  if (taker && process_holds(*taker, st.st_dev, st.st_ino)) return taker;
  for (long pid : numbered_entries("/proc")) {
    if (pid != self && process_holds(pid, st.st_dev, st.st_ino)) return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

}  // namespace

int lock_descriptor(const std::vector<AdapterLock>& held, const std::string& address) {
  for (const AdapterLock& lock : held) {
    if (strcasecmp(lock.address().c_str(), address.c_str()) == 0) return lock.lock_descriptor();
  }
  return -1;
}

std::optional<LockRefusal> lock_adapters(const std::string& sysfs_devices,
                                         const std::vector<std::string>& addresses, LockKind kind,
                                         std::vector<AdapterLock>& held) {
  std::vector<AdapterLock> taken;
  for (const std::string& address : addresses) {
    std::string directory = sysfs_devices;
    directory.append("/").append(address);
    int fd = open_directory(directory);
    if (fd < 0) continue;
    AdapterLock lock(fd, address);
    int error = try_lock(fd, kind);
    if (error == EWOULDBLOCK) return LockRefusal{address, true, holder_of(fd), 0};
    if (error != 0) return LockRefusal{address, false, std::nullopt, error};
    taken.push_back(std::move(lock));
  }
  for (AdapterLock& lock : taken) held.push_back(std::move(lock));
  return std::nullopt;
}

void hold_adapter_locks(RunContext& ctx, const std::string& sysfs_devices,
                        const std::vector<std::string>& addresses, LockKind kind) {
  std::optional<LockRefusal> refusal =
      lock_adapters(sysfs_devices, addresses, kind, ctx.adapter_locks);
  if (!refusal) return;
  const std::string message = refusal_message(*refusal);
  std::fputs(message.c_str(), ctx.err);
  ctx.log.error(message);
  throw ExitRequest{2};
}

std::optional<pid_t> flock_holder(const std::string& proc_locks, dev_t device, ino_t inode,
                                  pid_t self) {
  size_t start = 0;
  while (start < proc_locks.size()) {
    size_t end = proc_locks.find('\n', start);
    if (end == std::string::npos) end = proc_locks.size();
    std::optional<long> pid = flock_on(proc_locks.substr(start, end - start), device, inode);
    if (pid && *pid > 0 && *pid != self) return static_cast<pid_t>(*pid);
    start = end + 1;
  }
  return std::nullopt;
}

bool fdinfo_holds_flock(const std::string& fdinfo, dev_t device, ino_t inode) {
  static const std::string kLock = "lock:";
  size_t start = 0;
  while (start < fdinfo.size()) {
    size_t end = fdinfo.find('\n', start);
    if (end == std::string::npos) end = fdinfo.size();
    if (fdinfo.compare(start, kLock.size(), kLock) == 0 &&
        flock_on(fdinfo.substr(start + kLock.size(), end - start - kLock.size()), device, inode)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

std::string refusal_message(const LockRefusal& refusal) {
  if (!refusal.busy) {
    return "Adapter " + refusal.address + " could not be locked (" + std::strerror(refusal.error) +
           "); nothing was done.\n";
  }
  std::string pid;
  if (refusal.holder_pid) pid = " (pid " + std::to_string(*refusal.holder_pid) + ")";
  return "Adapter " + refusal.address + " is in use by another zanrex run" + pid +
         "; nothing was done.\n";
}

}  // namespace zanrex
