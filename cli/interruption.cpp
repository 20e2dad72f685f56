#include "interruption.h"

#include <unistd.h>

namespace interruption {

namespace detail {
volatile std::sig_atomic_t stopSignal = 0;
}  // namespace detail

namespace {

volatile std::sig_atomic_t decidingSignal = 0;
volatile std::sig_atomic_t errorOnItsWay = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void recordStop(int signal) {
  if (detail::stopSignal == 0) detail::stopSignal = signal;
  if (errorOnItsWay == 0 && decidingSignal == 0) decidingSignal = signal;
}

}  // namespace

void install() noexcept {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = recordStop;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = 0;  // no SA_RESTART: a read from a FIFO without a writer must return
  for (const int signal : kStopSignals) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &stop, nullptr);
  }
}

void errorFirst() noexcept { errorOnItsWay = 1; }

int endingSignal() noexcept { return decidingSignal; }

void endBySignal(int signal) noexcept {
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  // Not reached, since the default action of a stop signal ends the process; the status
  // the shell would have shown, should it be reached.
  // cppcheck-suppress unreachableCode
  ::_exit(128 + signal);
}

}  // namespace interruption
