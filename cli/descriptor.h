#ifndef VARNOLIX_DESCRIPTOR_H_
#define VARNOLIX_DESCRIPTOR_H_

#include <utility>

/// An open file descriptor with exactly one owner: closed when the object is destroyed,
/// moved but never copied.
///
/// An object may also hold no descriptor: default-constructed, moved from, closed, or
/// returned by a failed open(), in which case error() keeps the errno value of the failure.
class Descriptor {
 public:
  Descriptor() noexcept = default;

  /// Takes ownership of the open descriptor `descriptor`.
  explicit Descriptor(int descriptor) noexcept : fd(descriptor) {}

  /// Closes the descriptor, ignoring a failure; call close() to learn of one.
  ~Descriptor() { close(); }

  Descriptor(Descriptor&& other) noexcept
      : fd(std::exchange(other.fd, -1)), openError(std::exchange(other.openError, 0)) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  /// What an open() that a signal interrupts does once the program was asked to stop.
  enum class AfterStop {
    kGiveUp,  // a wait (a FIFO without a writer) ends at the stop; error() is then EINTR
    kRetry,   // a file the write-out needs, which never waits
  };

  /// Opens `path` with `flags` (mode 0666 when it creates a file), calling open() again when
  /// a signal interrupts it, after a stop as `afterStop` says. Never throws: on failure the
  /// result holds no descriptor and error() says why.
  static Descriptor open(const char* path, int flags, AfterStop afterStop = AfterStop::kGiveUp) noexcept;

  bool isOpen() const noexcept { return fd >= 0; }

  /// Returns the descriptor, or -1 when none is held.
  int get() const noexcept { return fd; }

  /// Returns the errno value of the open() that gave this object, or 0.
  int error() const noexcept { return openError; }

  /// Closes the descriptor, if one is held. Returns 0 or the errno value of a failed close,
  /// which can report a write that failed late (disk full, I/O error on a network file
  /// system). The descriptor is released either way.
  int close() noexcept;

 private:
  int fd = -1;
  int openError = 0;
};

#endif  // VARNOLIX_DESCRIPTOR_H_
