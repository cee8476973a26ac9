#include "adapter_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "test_support.h"

namespace zanrex {
namespace {

TEST(FlockHolder, FindsTheHolderOfThatFileAmongTheKernelsLocks) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 400 fe:00:77 0 EOF\n"
      "2: FLOCK  ADVISORY  READ 401 08:01:77 0 EOF\n"
      "3: -> FLOCK  ADVISORY  WRITE 402 fe:00:77 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 403 fe:00:770 0 EOF\n"
      "5: FLOCK  ADVISORY  READ 999 fe:00:77 0 EOF\n"
      "6: FLOCK  ADVISORY  READ 404 fe:00:77 0 EOF\n"
      "7: FLOCK  ADVISORY  WRITE 405 103:1f:12 0 EOF\n";
  const dev_t dev = makedev(0xfe, 0);
  // Not a POSIX lock, not a waiter, not another device or inode, not this process itself.
  EXPECT_EQ(flock_holder(locks, dev, 77, 999), 404);
  EXPECT_EQ(flock_holder(locks, makedev(0x103, 0x1f), 12, 999), 405);
  EXPECT_EQ(flock_holder(locks, dev, 78, 999), std::nullopt);
  EXPECT_EQ(flock_holder("", dev, 77, 999), std::nullopt);
  EXPECT_EQ(flock_holder("garbage\n1: FLOCK\n", dev, 77, 999), std::nullopt);

  // A descriptor's own locks, as /proc/PID/fdinfo/N shows them; the pid named there may be
  // gone (or 0 when the kernel cannot name it), the descriptor still holds the lock.
  const std::string fdinfo = "pos:\t0\nflags:\t02300000\nmnt_id:\t25\nino:\t77\n";
  EXPECT_TRUE(
      fdinfo_holds_flock(fdinfo + "lock:\t1: FLOCK  ADVISORY  WRITE 0 fe:00:77 0 EOF\n", dev, 77));
  EXPECT_FALSE(fdinfo_holds_flock(fdinfo, dev, 77));
  EXPECT_FALSE(
      fdinfo_holds_flock(fdinfo + "lock:\t1: POSIX  ADVISORY  WRITE 4 fe:00:77 0 EOF\n", dev, 77));
  EXPECT_FALSE(
      fdinfo_holds_flock(fdinfo + "lock:\t1: FLOCK  ADVISORY  READ 4 fe:00:78 0 EOF\n", dev, 77));
}

TEST(RefusalMessage, WithThePidWhenItIsKnown) {
  EXPECT_EQ(refusal_message({"0000:81:00.0", true, 4242, 0}),
            "Adapter 0000:81:00.0 is in use by another zanrex run (pid 4242); nothing was done.\n");
  EXPECT_EQ(refusal_message({"0000:81:00.0", true, std::nullopt, 0}),
            "Adapter 0000:81:00.0 is in use by another zanrex run; nothing was done.\n");
  EXPECT_EQ(refusal_message({"0000:81:00.0", false, std::nullopt, ENOLCK}),
            "Adapter 0000:81:00.0 could not be locked (" + std::string(strerror(ENOLCK)) +
                "); nothing was done.\n");
}

class AdapterLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* a : {"0000:81:00.0", "0000:82:00.0"}) mkdir((root_ + "/" + a).c_str(), 0755);
  }
  ScratchDir scratch_;
  std::string root_ = scratch_.path();
};

TEST_F(AdapterLocks, ReadersShareAndAWriterIsAlone) {
  const std::vector<std::string> both = {"0000:81:00.0", "0000:82:00.0"};
  std::vector<AdapterLock> reader1, reader2, writer;
  EXPECT_FALSE(lock_adapters(root_, both, LockKind::kShared, reader1));
  EXPECT_FALSE(lock_adapters(root_, both, LockKind::kShared, reader2));
  EXPECT_EQ(reader1.size(), 2u);

  // Refused at the first adapter; the holder is this very process, so no pid is named.
  std::optional<LockRefusal> refusal = lock_adapters(root_, both, LockKind::kExclusive, writer);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->address, "0000:81:00.0");
  EXPECT_TRUE(refusal->busy);
  EXPECT_EQ(refusal->holder_pid, std::nullopt);
  EXPECT_TRUE(writer.empty());

  // Once the readers are gone the writer has both; a directory that is not there (an adapter
  // that went away) is passed over.
  reader1.clear();
  reader2.clear();
  EXPECT_FALSE(lock_adapters(root_, {"0000:81:00.0", "0000:99:00.0", "0000:82:00.0"},
                             LockKind::kExclusive, writer));
  EXPECT_EQ(writer.size(), 2u);
  std::vector<AdapterLock> late;
  refusal = lock_adapters(root_, {"0000:82:00.0"}, LockKind::kShared, late);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->address, "0000:82:00.0");
  writer.clear();
  EXPECT_FALSE(lock_adapters(root_, {"0000:82:00.0"}, LockKind::kShared, late));
}

// The lock's descriptor is close-on-exec, for a write tool to get explicitly, and found by its
// address. (That a tool holding it keeps the adapter after its run was killed, and is named as
// the holder, is shown end to end.)
TEST_F(AdapterLocks, DescriptorFoundByAddressAndNotLeaked) {
  std::vector<AdapterLock> held;
  ASSERT_FALSE(lock_adapters(root_, {"0000:81:00.0"}, LockKind::kExclusive, held));
  const int fd = lock_descriptor(held, "0000:81:00.0");
  EXPECT_EQ(fd, held[0].lock_descriptor());
  EXPECT_EQ(lock_descriptor(held, "0000:82:00.0"), -1);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

}  // namespace
}  // namespace zanrex
