#ifndef VARNOLIX_ERROR_H_
#define VARNOLIX_ERROR_H_

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

/// The one exception type of varnolix: a failure the user is told about.
///
/// The reader and the output side throw it, the grouping lets it pass, and only the
/// program's entry catches it, prints getMessage() and exits with status 1.
class Error : public std::exception {
 public:
  /// Stores a copy of `text`. A failure while copying (out of memory) ends the
  /// program: no exception leaves the constructor.
  explicit Error(const std::string& text) noexcept;
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  ~Error() noexcept override;

  /// Returns an Error whose message is `parts` one after the other. Never fails for lack of
  /// memory: the program keeps a small reserve, released then so that the message can still
  /// be composed, and should even that fail, the message is "Out of memory".
  static Error of(std::initializer_list<std::string_view> parts) noexcept;

  /// Returns false when the program started with so little memory that not even that
  /// reserve could be had: nothing can then be relied on to work, throwing included.
  static bool memoryReserved() noexcept;

  /// Returns the human-readable description given at construction.
  const std::string& getMessage() const noexcept;

 private:
  struct Composed {};
  Error(std::string&& text, Composed tag) noexcept;

  std::string message;
};

#endif  // VARNOLIX_ERROR_H_
