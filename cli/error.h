#ifndef VARNOLIX_ERROR_H_
#define VARNOLIX_ERROR_H_

#include <exception>
#include <string>

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

  /// Returns the human-readable description given at construction.
  const std::string& getMessage() const noexcept;

 private:
  std::string message;
};

#endif  // VARNOLIX_ERROR_H_
