#include "error.h"

// Copies inside, so that a failure to copy ends the program (noexcept) instead of
// replacing the error being reported.
Error::Error(const std::string& text) noexcept : message(text) {}  // NOLINT(modernize-pass-by-value)

Error::~Error() noexcept = default;

const std::string& Error::getMessage() const noexcept { return message; }
