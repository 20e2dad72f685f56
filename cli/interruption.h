#ifndef VARNOLIX_INTERRUPTION_H_
#define VARNOLIX_INTERRUPTION_H_

#include <csignal>

/// What the user asks of a running varnolix by signal, and how that decides its ending.
///
/// SIGINT, SIGTERM and SIGHUP ask it to stop. The handler only records the request; blocking
/// calls return (the handler is installed without SA_RESTART) and every loop that retries an
/// interrupted call gives up once a stop was asked, except the writes of output files, which
/// must finish. The grouping stops between two records, writes out every line it narrated,
/// and the entry then ends the process by the first signal, so that the shell sees 128+n.
/// Further stop signals change nothing: the write-out finishes.
///
/// The first event decides the ending: once an Error is on its way (recordError()), a signal
/// still stops blocking waits but no longer decides how the program ends.
namespace interruption {

/// Installs the program's signal dispositions: SIGPIPE and SIGXFSZ are ignored (a reader
/// of the narration that goes away and a file reaching the size limit become write
/// errors), and SIGINT, SIGTERM and SIGHUP are recorded, unless ignored when the program
/// started (as under nohup). Call once, before anything is opened.
void install() noexcept;

namespace detail {
extern volatile std::sig_atomic_t stopSignal;
}  // namespace detail

/// Returns true once a stop signal arrived.
inline bool stopRequested() noexcept { return detail::stopSignal != 0; }

/// Records that an Error is on its way: from now on, signals no longer decide the ending.
void recordError() noexcept;

/// Returns the stop signal that arrived before any Error, or 0.
int endingSignal() noexcept;

/// Ends the process by `signal`, with its default action (termination, as the shell sees
/// it: status 128 + `signal`).
[[noreturn]] void endBySignal(int signal) noexcept;

/// A time limit on one blocking call, for the writes that follow a stop: a reader that does
/// not read must not hold the program. While it runs, a timer signal (its handler installed
/// without SA_RESTART) interrupts the call when `milliseconds` have passed, so that it
/// returns EINTR or the part it did. Touches neither the alarm clock nor any file status
/// flag. Not copyable.
class Deadline {
 public:
  explicit Deadline(int milliseconds) noexcept;
  ~Deadline();

  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  /// Returns false when no timer could be set: the caller must then not block at all.
  bool armed() const noexcept { return isArmed; }

  /// Returns true once the time has run out.
  bool passed() const noexcept;

 private:
  bool isArmed = false;
};

}  // namespace interruption

#endif  // VARNOLIX_INTERRUPTION_H_
