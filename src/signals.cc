#include "signals.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

namespace zanrex {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
constexpr size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// What the handler may touch: a signal handler has no other way to reach its run.
volatile sig_atomic_t g_received = 0;
const char* g_notice = nullptr;
size_t g_notice_size = 0;
struct sigaction g_previous[kStopSignalCount];
bool g_replaced[kStopSignalCount];

void write_all(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

// Only async-signal-safe calls here.
void remember(int signal_number) {
  if (g_received != 0) return;
  g_received = signal_number;
  int saved = errno;
  write_all(STDERR_FILENO, g_notice, g_notice_size);
  errno = saved;
}

}  // namespace

void prepare_signals() {
  std::signal(SIGCHLD, SIG_DFL);
  std::signal(SIGPIPE, SIG_IGN);
}

DeferredSignals::DeferredSignals(std::string notice) : notice_(std::move(notice)) {
  g_received = 0;
  g_notice = notice_.data();
  g_notice_size = notice_.size();
  struct sigaction defer = {};
  defer.sa_handler = remember;
  defer.sa_flags = SA_RESTART;
  sigemptyset(&defer.sa_mask);
  for (int s : kStopSignals) sigaddset(&defer.sa_mask, s);
  for (size_t i = 0; i < kStopSignalCount; ++i) {
    g_replaced[i] = false;
    if (sigaction(kStopSignals[i], nullptr, &g_previous[i]) != 0) continue;
    if (g_previous[i].sa_handler == SIG_IGN) continue;
    g_replaced[i] = sigaction(kStopSignals[i], &defer, nullptr) == 0;
  }
  active_ = true;
}

DeferredSignals::~DeferredSignals() {
  finish();
}

int DeferredSignals::finish() {
  if (active_) {
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      if (g_replaced[i]) sigaction(kStopSignals[i], &g_previous[i], nullptr);
    }
    active_ = false;
  }
  return g_received;
}

}  // namespace zanrex
