#include "interruption.h"

#include <unistd.h>
#include <ctime>

namespace interruption {

namespace detail {
volatile std::sig_atomic_t stopSignal = 0;
}  // namespace detail

namespace {

volatile std::sig_atomic_t decidingSignal = 0;
volatile std::sig_atomic_t errorOnItsWay = 0;
volatile std::sig_atomic_t deadlinePassed = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void recordStop(int signal) {
  if (detail::stopSignal == 0) detail::stopSignal = signal;
  if (errorOnItsWay == 0 && decidingSignal == 0) decidingSignal = signal;
}

extern "C" void recordDeadline(int /*signal*/) { deadlinePassed = 1; }

// The timer of Deadline, created on first use. A real-time signal of its own, so that an
// alarm the program inherited keeps its meaning.
timer_t deadlineTimer;
bool timerCreated = false;

bool createTimer() noexcept {
  if (timerCreated) return true;
  struct sigaction expired {};
  expired.sa_handler = recordDeadline;
  sigemptyset(&expired.sa_mask);
  expired.sa_flags = 0;  // no SA_RESTART: the blocked call must return
  if (::sigaction(SIGRTMIN, &expired, nullptr) != 0) return false;
  sigset_t timerSignal;
  sigemptyset(&timerSignal);
  sigaddset(&timerSignal, SIGRTMIN);
  ::sigprocmask(SIG_UNBLOCK, &timerSignal, nullptr);
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGRTMIN;
  timerCreated = ::timer_create(CLOCK_MONOTONIC, &event, &deadlineTimer) == 0;
  return timerCreated;
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

void recordError() noexcept { errorOnItsWay = 1; }

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

Deadline::Deadline(int milliseconds) noexcept {
  if (!createTimer()) return;
  deadlinePassed = 0;
  itimerspec limit{};
  limit.it_value.tv_sec = milliseconds / 1000;
  limit.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // Then again and again: a signal that lands just before the call starts is followed by
  // another that ends it.
  limit.it_interval.tv_nsec = 20 * 1000000L;
  isArmed = ::timer_settime(deadlineTimer, 0, &limit, nullptr) == 0;
}

Deadline::~Deadline() {
  if (!isArmed) return;
  const itimerspec off{};
  ::timer_settime(deadlineTimer, 0, &off, nullptr);
}

bool Deadline::passed() const noexcept { return isArmed && deadlinePassed != 0; }

}  // namespace interruption
