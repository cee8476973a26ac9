#include "own_links.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "test_support.h"

namespace zanrex {
namespace {

class OwnLinks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(pipe_), 0); }
  void TearDown() override {
    close(pipe_[0]);
    close(pipe_[1]);
  }
  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  int pipe_[2] = {-1, -1};
};

TEST_F(OwnLinks, OwnLinksAreFollowedOthersStopTheWalk) {
  const std::string d = dir_;
  ASSERT_EQ(symlink("b", (d + "/a").c_str()), 0);
  ASSERT_EQ(symlink((d + "/file").c_str(), (d + "/b").c_str()), 0);
  FollowedPath f = follow_own_links(d + "/a");
  EXPECT_EQ(f.walk, LinkWalk::kFollowed);
  EXPECT_EQ(f.target, d + "/file");  // need not exist
  f = follow_own_links(d + "/plain");
  EXPECT_EQ(f.walk, LinkWalk::kFollowed);
  EXPECT_EQ(f.target, d + "/plain");

  ASSERT_EQ(symlink("loop", (d + "/loop").c_str()), 0);
  EXPECT_EQ(follow_own_links(d + "/loop").walk, LinkWalk::kBroken);

  // The kernel's link to a pipe names no file: the /proc link itself is the target.
  f = follow_own_links("/proc/self/fd/" + std::to_string(pipe_[1]));
  EXPECT_EQ(f.walk, LinkWalk::kFollowed);
  EXPECT_EQ(f.target.rfind("/proc/", 0), 0u);

  if (geteuid() != 0) GTEST_SKIP() << "handing a link to another user needs root";
  ASSERT_EQ(lchown((d + "/b").c_str(), 65534, 65534), 0);
  f = follow_own_links(d + "/a");  // the second link of the chain is another user's
  EXPECT_EQ(f.walk, LinkWalk::kForeignLink);
  EXPECT_EQ(f.target, d + "/b");
}

}  // namespace
}  // namespace zanrex
