// Signals, handled in one place: the process-wide settings made at start and the deferral of
// the stop signals while an adapter is being flashed.
#pragma once

#include <string>

namespace zanrex {

// SIGCHLD back at its default, whatever the caller left: with it ignored, the exit status of
// a child could not be waited for. SIGPIPE ignored: a console reader that went away makes
// writes fail instead of ending the run.
void prepare_signals();

// While alive (until finish()), SIGINT, SIGQUIT, SIGHUP and SIGTERM do not stop this
// process: the first one to arrive is remembered and `notice` goes to standard error once;
// later ones change nothing. A signal the caller left ignored stays ignored. Only one may
// exist at a time.
class DeferredSignals {
 public:
  explicit DeferredSignals(std::string notice);
  ~DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;

  // Gives the four signals their earlier dispositions back; returns the signal that arrived
  // meanwhile, or 0.
  int finish();

 private:
  std::string notice_;
  bool active_ = false;
};

}  // namespace zanrex
