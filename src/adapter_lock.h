// One run per adapter at a time. A run holds a lock on the sysfs device directory of every
// adapter it queries or may flash: shared for a listing or a report, exclusive for flashing.
// The lock is flock(2) on that directory, so it is per adapter, seen by every run on the
// machine whatever its working directory, dropped by the kernel when the run ends or dies,
// and never inherited by a started program (the descriptor is close-on-exec).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "fd.h"

namespace zanrex {

struct RunContext;

enum class LockKind { kShared, kExclusive };

// A lock held on one adapter's directory; released when the object goes.
class AdapterLock {
 public:
  explicit AdapterLock(int fd) : fd_(fd) {}

 private:
  Fd fd_;
};

// Why an adapter could not be locked.
struct LockRefusal {
  std::string address;
  bool busy = true;                 // another run holds it; otherwise the lock call failed
  std::optional<pid_t> holder_pid;  // the holding run, when it can be known
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

// The pid of a process other than `self` holding a flock on the file `device`:`inode`, as the
// text of /proc/locks lists it; nothing when none is listed.
std::optional<pid_t> flock_holder(const std::string& proc_locks, dev_t device, ino_t inode,
                                  pid_t self);

// "Adapter %s is in use by another zanrex run (pid %d); nothing was done.\n", the pid part
// left out when it is not known; or, when the lock call itself failed, what failed.
std::string refusal_message(const LockRefusal& refusal);

}  // namespace zanrex
