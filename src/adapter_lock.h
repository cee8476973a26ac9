// One run per adapter at a time. A run holds a lock on the sysfs device directory of every
// adapter it queries or may flash: shared for a listing or a report, exclusive for flashing.
// The lock is flock(2) on that directory, so it is per adapter and seen by every run on the
// machine whatever its working directory. The descriptor is close-on-exec: only the write
// tools of the adapter's flashing steps get it (as their descriptor 3), so the lock lives as
// long as the run or a write it started, whichever ends last, and no other program holds it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fd.h"

namespace zanrex {

struct RunContext;

enum class LockKind { kShared, kExclusive };

// A lock held on one adapter's directory; released when the object goes (unless a started
// program still holds the descriptor).
class AdapterLock {
 public:
  AdapterLock(int fd, std::string address) : fd_(fd), address_(std::move(address)) {}

  // The open directory that carries the lock, for a write tool to inherit.
  int lock_descriptor() const { return fd_.get(); }
  const std::string& address() const { return address_; }

 private:
  Fd fd_;
  std::string address_;
};

// The descriptor of the lock held on `address` (compared ignoring case); -1 when none is held.
int lock_descriptor(const std::vector<AdapterLock>& held, const std::string& address);

// Why an adapter could not be locked.
struct LockRefusal {
  std::string address;
  bool busy = true;                 // another run holds it; otherwise the lock call failed
  std::optional<pid_t> holder_pid;  // a live process holding the lock, when one can be found
  int error = 0;                    // errno of the failed lock call when not busy
};

// Takes a lock of `kind`, without waiting, on `sysfs_devices`/ADDRESS for each address in
// order and appends it to `held`. An address whose directory cannot be opened is passed over:
// the adapter is gone, and what would query or flash it fails on its own. Stops at the first
// adapter that cannot be locked and returns why; the locks taken for this call are dropped.
std::optional<LockRefusal> lock_adapters(const std::string& sysfs_devices,
                                         const std::vector<std::string>& addresses, LockKind kind,
                                         std::vector<AdapterLock>& held);

// lock_adapters for a run: the locks are kept in ctx until the run ends. When one cannot be
// had, says so on standard error and in the log and ends the run with status 2 (ExitRequest).
void hold_adapter_locks(RunContext& ctx, const std::string& sysfs_devices,
                        const std::vector<std::string>& addresses, LockKind kind);

// The pid of a process other than `self` that took a flock on the file `device`:`inode`, as
// the text of /proc/locks lists it; nothing when none is listed. That process may be gone
// while a program it started still holds the lock.
std::optional<pid_t> flock_holder(const std::string& proc_locks, dev_t device, ino_t inode,
                                  pid_t self);

// Whether `fdinfo`, the text of /proc/PID/fdinfo/N, shows a flock that this open file holds on
// the file `device`:`inode`.
bool fdinfo_holds_flock(const std::string& fdinfo, dev_t device, ino_t inode);

// "Adapter %s is in use by another zanrex run (pid %d); nothing was done.\n", the pid part
// left out when it is not known; or, when the lock call itself failed, what failed.
std::string refusal_message(const LockRefusal& refusal);

}  // namespace zanrex
