#include "own_links.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace zanrex {
namespace {

constexpr uid_t kUser = 65534;
constexpr uid_t kOtherUser = 65533;

class OwnLinks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(pipe_), 0); }
  void TearDown() override {
    close(pipe_[0]);
    close(pipe_[1]);
  }
  void link(const std::string& text, const std::string& name, uid_t owner) {
    ASSERT_EQ(symlink(text.c_str(), (dir_ + "/" + name).c_str()), 0);
    ASSERT_EQ(lchown((dir_ + "/" + name).c_str(), owner, owner), 0);
  }
  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  int pipe_[2] = {-1, -1};
};

TEST_F(OwnLinks, OwnLinksAreFollowedOthersStopTheWalk) {
  const std::string d = dir_;
  ASSERT_EQ(mkdir((d + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("b", (d + "/a").c_str()), 0);
  ASSERT_EQ(symlink((d + "/sub/file").c_str(), (d + "/b").c_str()), 0);
  ASSERT_EQ(symlink("sub/", (d + "/up").c_str()), 0);
  WalkedPath w = walk_own_links(d + "/a");
  EXPECT_EQ(w.walk, LinkWalk::kFollowed);
  EXPECT_EQ(w.target, d + "/sub/file");  // need not exist
  EXPECT_EQ(w.name, "file");
  w = walk_own_links(d + "/up/../up/./plain");  // links higher up are followed too
  EXPECT_EQ(w.walk, LinkWalk::kFollowed);
  EXPECT_EQ(w.name, "plain");
  struct stat by_walk, sub;
  ASSERT_EQ(fstat(w.dir.get(), &by_walk), 0);
  ASSERT_EQ(stat((d + "/sub").c_str(), &sub), 0);
  EXPECT_EQ(by_walk.st_ino, sub.st_ino);

  ASSERT_EQ(symlink("loop", (d + "/loop").c_str()), 0);
  EXPECT_EQ(walk_own_links(d + "/loop").walk, LinkWalk::kBroken);
  w = walk_own_links(d + "/missing/x.log");
  EXPECT_EQ(w.walk, LinkWalk::kUnreachable);
  EXPECT_EQ(w.error, ENOENT);

  // The kernel's link to a pipe names no file: it is the target, opened through.
  w = walk_own_links("/dev/stdout");
  EXPECT_EQ(w.walk, LinkWalk::kFollowed);
  w = walk_own_links("/proc/self/fd/" + std::to_string(pipe_[1]));
  EXPECT_EQ(w.walk, LinkWalk::kFollowed);
  EXPECT_TRUE(w.kernel_object);
  Fd through(openat(w.dir.get(), w.name.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(through);
  EXPECT_EQ(write(through.get(), "x", 1), 1);
  char got = 0;
  EXPECT_EQ(read(pipe_[0], &got, 1), 1);
}

// Which owners' links are followed, seen by an ordinary user: its own and root's, never
// another user's, wherever on the path the link stands.
TEST_F(OwnLinks, OnlyTheUsersAndRootsLinksAreFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "handing links to other users needs root";
  const std::string d = dir_;
  ASSERT_EQ(chmod(d.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d + "/real").c_str(), 0777), 0);
  link("real", "mine", kUser);
  link("real", "roots", 0);
  link("real", "l", kOtherUser);
  link("real/x.log", "last", kOtherUser);
  ASSERT_EQ(seteuid(kUser), 0);
  WalkedPath mine = walk_own_links(d + "/mine/x.log");
  WalkedPath roots = walk_own_links(d + "/roots/x.log");
  WalkedPath higher_up = walk_own_links(d + "/l/x.log");
  WalkedPath last = walk_own_links(d + "/last");
  WalkedPath out = walk_own_links("/dev/stdout");
  ASSERT_EQ(seteuid(0), 0);
  EXPECT_EQ(mine.walk, LinkWalk::kFollowed);
  EXPECT_EQ(roots.walk, LinkWalk::kFollowed);
  EXPECT_EQ(roots.target, d + "/real/x.log");
  EXPECT_EQ(higher_up.walk, LinkWalk::kForeignLink);
  EXPECT_EQ(higher_up.target, d + "/l");
  EXPECT_EQ(last.walk, LinkWalk::kForeignLink);
  EXPECT_EQ(last.target, d + "/last");
  EXPECT_EQ(out.walk, LinkWalk::kFollowed);
}

}  // namespace
}  // namespace zanrex
