#include "plain_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace zanrex {
namespace {

using Words = std::vector<std::string>;

TEST(PlainCommand, TheProgramsOwnCommandLines) {
  std::optional<PlainCommand> q = parse_plain_command(
      "./nic_fw/hfi1_eprom -d /sys/bus/pci/devices/0000:81:00.0/resource0 -V -o");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->argv, (Words{"./nic_fw/hfi1_eprom", "-d",
                            "/sys/bus/pci/devices/0000:81:00.0/resource0", "-V", "-o"}));
  EXPECT_FALSE(q->stdout_file);
  EXPECT_FALSE(q->stderr_to_stdout);

  q = parse_plain_command("lspci -nv -s 0000:81:00.0 2>&1");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->argv, (Words{"lspci", "-nv", "-s", "0000:81:00.0"}));
  EXPECT_TRUE(q->stderr_to_stdout);

  q = parse_plain_command("./nic_fw/opatmmtool > /dev/null 2>&1");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->argv, Words{"./nic_fw/opatmmtool"});
  EXPECT_EQ(q->stdout_file, "/dev/null");
  EXPECT_TRUE(q->stderr_to_stdout);
}

TEST(PlainCommand, PatternsExpandAsTheShellExpandsThem) {
  char dir[] = "/tmp/zanrex-plain-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  std::optional<PlainCommand> q =
      parse_plain_command("/usr/bin/cp " + d + "/lib.so* /x/ >/dev/null");
  ASSERT_TRUE(q);  // nothing matches: the pattern stays as written
  EXPECT_EQ(q->argv, (Words{"/usr/bin/cp", d + "/lib.so*", "/x/"}));
  EXPECT_EQ(q->stdout_file, "/dev/null");

  for (const char* f : {"lib.so.2", "lib.so", ".lib.so.hidden", "lib.so.10"}) {
    std::ofstream(d + "/" + f) << "x";
  }
  q = parse_plain_command("/usr/bin/cp " + d + "/lib.so* /x/");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->argv,
            (Words{"/usr/bin/cp", d + "/lib.so", d + "/lib.so.10", d + "/lib.so.2", "/x/"}));
  std::system(("rm -rf " + d).c_str());
}

TEST(PlainCommand, LinesTheShellHasToRead) {
  for (const char* line :
       {"",          "   ",        "echo a; echo b", "printf 'one\\n'", "exit 5",
        "echo hi",   "a | b",      "a && b",         "cmd $HOME",       "cmd \"quoted\"",
        "FOO=1 cmd", "cmd ~/x",    "cmd # note",     "cmd 2>&1 > f",    "cmd > f g",
        "cmd < in",  "cmd 2> err", "cmd >",          "cmd > f > g",     "./x* a",
        "cmd `id`",  "cmd a?b",    "if true",        "cmd 2>&1 2>&1",   "cmd &"}) {
    EXPECT_FALSE(parse_plain_command(line)) << line;
  }
}

TEST(PlainCommand, ChildEnvironmentNamesTheWorkingDirectory) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  auto pwd_of = [] {
    for (const std::string& e : shell_child_environment()) {
      if (e.rfind("PWD=", 0) == 0) return e.substr(4);
    }
    return std::string("(none)");
  };
  const char* saved = std::getenv("PWD");
  std::string saved_pwd = saved ? saved : "";
  setenv("PWD", "/nonexistent/elsewhere", 1);
  EXPECT_EQ(pwd_of(), here);
  unsetenv("PWD");
  EXPECT_EQ(pwd_of(), here);
  setenv("PWD", here, 1);
  EXPECT_EQ(pwd_of(), here);
  if (saved) setenv("PWD", saved_pwd.c_str(), 1);
}

}  // namespace
}  // namespace zanrex
