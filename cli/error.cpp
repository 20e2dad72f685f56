#include "error.h"

Error::Error(const std::string& text) noexcept : message(text) {}

Error::~Error() noexcept = default;

const std::string& Error::getMessage() const noexcept { return message; }
