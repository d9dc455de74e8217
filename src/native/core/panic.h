// Unexpected internal failures (broken invariants). These are the only C++
// exceptions in the system; the Python boundary catches them and raises the
// module's BaseException-derived failure exception.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace norvo {

class InternalFailure : public std::runtime_error {
 public:
  InternalFailure(const std::string& message, std::source_location where)
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] inline void internal_failure(const std::string& message,
                                          std::source_location where = std::source_location::current()) {
  throw InternalFailure(message, where);
}

}  // namespace norvo
