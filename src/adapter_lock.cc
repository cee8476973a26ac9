#include "adapter_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// Read with stdio rather than streams: the packaged static binary stays free of the stream
// library's locale machinery.
std::string read_proc_locks() {
  std::string text;
  FilePtr file(std::fopen(kProcLocks, "re"));
  if (!file) return text;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, n);
  return text;
}

// The holder of the lock on the file open at `fd`, from the kernel's lock list.
std::optional<pid_t> holder_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return flock_holder(read_proc_locks(), st.st_dev, st.st_ino, ::getpid());
}

// One line of /proc/locks: "N: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE START END". Lines of
// waiting requests ("N: -> FLOCK ...") and of other kinds of lock are not holders.
std::optional<pid_t> holder_in_line(const std::string& line, dev_t device, ino_t inode) {
  char kind[16] = "";
  long pid = 0;
  unsigned major_part = 0, minor_part = 0;
  unsigned long long inode_part = 0;
  if (std::sscanf(line.c_str(), "%*s %15s %*s %*s %ld %x:%x:%llu", kind, &pid, &major_part,
                  &minor_part, &inode_part) != 5) {
    return std::nullopt;
  }
  if (std::strcmp(kind, "FLOCK") != 0 || pid <= 0) return std::nullopt;
  if (major_part != major(device) || minor_part != minor(device) || inode_part != inode) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

}  // namespace

std::optional<LockRefusal> lock_adapters(const std::string& sysfs_devices,
                                         const std::vector<std::string>& addresses, LockKind kind,
                                         std::vector<AdapterLock>& held) {
  std::vector<AdapterLock> taken;
  for (const std::string& address : addresses) {
    std::string directory = sysfs_devices;
    directory.append("/").append(address);
    int fd = open_directory(directory);
    if (fd < 0) continue;
    AdapterLock lock(fd);
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
    std::optional<pid_t> pid = holder_in_line(proc_locks.substr(start, end - start), device, inode);
    if (pid && *pid != self) return pid;
    start = end + 1;
  }
  return std::nullopt;
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
