#include "event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace zanrex {
namespace {

// Time stamps are local time: pin the zone so the expected texts hold anywhere.
class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz ? tz : "";
    had_tz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
    path_ = dir_ + "/intel_OPA.log";
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::string contents() const {
    std::ifstream in(path_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  std::string path_;

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(EventLogTest, LineFormat) {
  EXPECT_EQ(format_log_line(0, kTagInfo, "started"),
            "Thu Jan  1 00:00:00 1970 [[INFO]     ] started\n");
  EXPECT_EQ(format_log_line(1700000000, kTagWarning, "\nnext line\n"),
            "Tue Nov 14 22:13:20 2023 [[WARNING]  ] \nnext line\n\n");
  EXPECT_EQ(format_log_line(86400 * 40 + 3661, kTagError, "50% of 'x'"),
            "Tue Feb 10 01:01:01 1970 [[ERROR]    ] 50% of 'x'\n");
  EXPECT_EQ(std::string(kTagInfo).size(), 11u);
  EXPECT_EQ(std::string(kTagWarning).size(), 11u);
  EXPECT_EQ(std::string(kTagError).size(), 11u);
}

TEST_F(EventLogTest, EveryLineReachesTheFileAtOnceAndRunsAppend) {
  {
    EventLog log;
    log.info("not open yet");  // dropped, no crash
    ASSERT_TRUE(log.open(path_));
    log.set_clock([] { return std::time_t{0}; });
    log.info("first run");
    // Read while the log is still open: the entry was flushed.
    EXPECT_EQ(contents(), "Thu Jan  1 00:00:00 1970 [[INFO]     ] first run\n");
  }
  EventLog second;
  ASSERT_TRUE(second.open(path_));
  second.set_clock([] { return std::time_t{60}; });
  second.error("second run");
  second.warning("w");
  EXPECT_EQ(contents(),
            "Thu Jan  1 00:00:00 1970 [[INFO]     ] first run\n"
            "Thu Jan  1 00:01:00 1970 [[ERROR]    ] second run\n"
            "Thu Jan  1 00:01:00 1970 [[WARNING]  ] w\n");
}

TEST_F(EventLogTest, OpenFailureLeavesErrno) {
  EventLog log;
  errno = 0;
  EXPECT_FALSE(log.open(dir_));  // a directory
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(log.is_open());
  EXPECT_FALSE(log.open(dir_ + "/missing/intel_OPA.log"));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(EventLogTest, LinksOfTheRunningUserAreFollowedOthersRefused) {
  const std::string real = dir_ + "/real.log";
  ASSERT_EQ(symlink("real.log", path_.c_str()), 0);
  {
    EventLog log;
    ASSERT_TRUE(log.open(path_));
    log.set_clock([] { return std::time_t{0}; });
    log.info("through my link");
  }
  std::ifstream in(real);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "Thu Jan  1 00:00:00 1970 [[INFO]     ] through my link");

  if (geteuid() != 0) GTEST_SKIP() << "handing a link to another user needs root";
  ASSERT_EQ(lchown(path_.c_str(), 65534, 65534), 0);
  EventLog log;
  errno = 0;
  EXPECT_FALSE(log.open(path_));
  EXPECT_EQ(errno, EACCES);
}

TEST_F(EventLogTest, AFailedWriteIsRemembered) {
  EventLog log;
  ASSERT_TRUE(log.open("/dev/full"));
  EXPECT_EQ(log.write_error(), 0);
  log.info("lost");
  log.info("lost too");
  EXPECT_EQ(log.write_error(), ENOSPC);
  EXPECT_EQ(log.path(), "/dev/full");
}

TEST(Printable, ControlCharactersBecomeQuestionMarks) {
  EXPECT_EQ(printable("HFI\n[INFO] forged\r\t\x7f\x1b[0m"), "HFI?[INFO] forged????[0m");
  EXPECT_EQ(printable("Intel\xc2\xae Omni-Path"), "Intel\xc2\xae Omni-Path");
}

}  // namespace
}  // namespace zanrex
