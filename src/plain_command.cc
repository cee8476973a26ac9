#include "plain_command.h"

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

extern char** environ;

namespace zanrex {

namespace {

bool plain_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_./:+,@%-", c) != nullptr;
}

// Keywords and builtins of the shell: such a first word is not a program to start.
bool shell_word(const std::string& word) {
  static const char* const kWords[] = {
      "!",       "{",        "}",        "case",   "do",    "done",    "elif",   "else",
      "esac",    "fi",       "for",      "if",     "in",    "then",    "until",  "while",
      ".",       ":",        "[",        "alias",  "bg",    "break",   "cd",     "chdir",
      "command", "continue", "echo",     "eval",   "exec",  "exit",    "export", "false",
      "fc",      "fg",       "getopts",  "hash",   "jobs",  "kill",    "local",  "printf",
      "pwd",     "read",     "readonly", "return", "set",   "shift",   "test",   "times",
      "trap",    "true",     "type",     "ulimit", "umask", "unalias", "unset",  "wait"};
  for (const char* w : kWords) {
    if (word == w) return true;
  }
  return false;
}

struct GlobFree {
  void operator()(glob_t* g) const {
    globfree(g);
    delete g;
  }
};

// The words a "*" pattern stands for, in the shell's order; the pattern itself when nothing
// matches.
std::vector<std::string> expand(const std::string& word) {
  if (word.find('*') == std::string::npos) return {word};
  std::unique_ptr<glob_t, GlobFree> g(new glob_t{});
  if (glob(word.c_str(), GLOB_NOCHECK, nullptr, g.get()) != 0) return {word};
  std::vector<std::string> words(g->gl_pathv, g->gl_pathv + g->gl_pathc);
  return words;
}

std::vector<std::string> split_blanks(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  for (char c : command) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool plain_word(const std::string& word, bool pattern_allowed) {
  for (char c : word) {
    if (!plain_char(c) && !(pattern_allowed && c == '*')) return false;
  }
  return !word.empty();
}

}  // namespace

std::optional<PlainCommand> parse_plain_command(const std::string& command) {
  std::vector<std::string> words = split_blanks(command);
  PlainCommand plain;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (plain.stderr_to_stdout) return std::nullopt;  // "2>&1" stands last
    if (w == "2>&1") {
      plain.stderr_to_stdout = true;
    } else if (w[0] == '>') {
      std::string file = w.size() > 1 ? w.substr(1) : (++i < words.size() ? words[i] : "");
      if (plain.stdout_file || !plain_word(file, false)) return std::nullopt;
      plain.stdout_file = file;
    } else if (plain.argv.empty()) {
      if (!plain_word(w, false) || shell_word(w)) return std::nullopt;
      plain.argv.push_back(w);
    } else {
      if (plain.stdout_file || !plain_word(w, true)) return std::nullopt;
      for (std::string& e : expand(w)) plain.argv.push_back(std::move(e));
    }
  }
  if (plain.argv.empty()) return std::nullopt;
  return plain;
}

std::vector<std::string> shell_child_environment() {
  std::vector<std::string> env;
  const char* pwd = std::getenv("PWD");
  struct stat given, here;
  bool pwd_ok = pwd != nullptr && pwd[0] == '/' && stat(pwd, &given) == 0 &&
                stat(".", &here) == 0 && given.st_dev == here.st_dev && given.st_ino == here.st_ino;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "PWD=", 4) != 0) env.emplace_back(*e);
  }
  std::string dir = pwd_ok ? pwd : "";
  if (!pwd_ok) {
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    if (cwd) dir = cwd.get();
  }
  if (!dir.empty()) env.push_back("PWD=" + dir);
  return env;
}

}  // namespace zanrex
