#include "adapter_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

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

TEST_F(AdapterLocks, LocksAreNotInheritedByStartedPrograms) {
  std::vector<AdapterLock> held;
  ASSERT_FALSE(lock_adapters(root_, {"0000:81:00.0"}, LockKind::kExclusive, held));
  int open_with_cloexec = 0, open_without_cloexec = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(entry.path().filename().string());
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || target.string() != root_ + "/0000:81:00.0") continue;
    int flags = fcntl(fd, F_GETFD);
    ++((flags >= 0 && (flags & FD_CLOEXEC)) ? open_with_cloexec : open_without_cloexec);
  }
  EXPECT_EQ(open_with_cloexec, 1);
  EXPECT_EQ(open_without_cloexec, 0);
}

}  // namespace
}  // namespace zanrex
