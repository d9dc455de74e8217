// Structured logging: levels, targets, named fields and nested spans, written
// as one text line per record to standard error once init() has run.
//
// Off by default: until init() succeeds every NLOG_* costs one relaxed atomic
// load and nothing is formatted. Records carry a target naming the component
// (e.g. "norvo_atlas::storage::repository"), a message and ordered fields.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace norvo::log {

enum class Level : uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

// Text whose debug form is itself (no quotes), e.g. "Some(10)" or "None".
struct Raw {
  std::string text;
};

// One named field. Text values print as-is in records and quoted (debug form)
// in span contexts; integers in decimal; booleans as true/false.
struct Field {
  enum class Type : uint8_t { Text, Int, UInt, Bool, Raw };
  std::string_view name;
  Type type;
  std::string text;
  int64_t i = 0;
  uint64_t u = 0;
  bool b = false;

  Field(std::string_view n, std::string_view v) : name(n), type(Type::Text), text(v) {}
  Field(std::string_view n, const char* v) : name(n), type(Type::Text), text(v) {}
  Field(std::string_view n, const std::string& v) : name(n), type(Type::Text), text(v) {}
  Field(std::string_view n, Raw v) : name(n), type(Type::Raw), text(std::move(v.text)) {}
  template <class T>
    requires std::same_as<T, bool>
  Field(std::string_view n, T v) : name(n), type(Type::Bool), b(v) {}
  template <std::signed_integral T>
    requires(!std::same_as<T, bool>)
  Field(std::string_view n, T v) : name(n), type(Type::Int), i(v) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>)
  Field(std::string_view n, T v) : name(n), type(Type::UInt), u(v) {}
};

namespace detail {
extern std::atomic<bool> g_on;
bool enabled_slow(Level level, std::string_view target);
}  // namespace detail

// True when a record of this level and target would be written.
inline bool enabled(Level level, std::string_view target) {
  return detail::g_on.load(std::memory_order_relaxed) && detail::enabled_slow(level, target);
}

// Writes one record if it passes the filter. Never fails.
void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields = {});

// An INFO span of target "norvo_atlas" (the only kind the system opens): every
// record emitted on this thread while it lives carries "name{fields}:" in its
// context. Costs nothing while logging is off.
class Span {
 public:
  explicit Span(std::string_view name, std::initializer_list<Field> fields = {});
  ~Span();
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;

 private:
  bool pushed_ = false;
};

// Turns logging on for the rest of the process. The filter comes from the
// NORVO_LOG environment variable if it parses, else from `level` if it parses,
// else "info". A second call does nothing.
void init(std::optional<std::string_view> level);

bool initialized();

// Failure hook: logs the ERROR record for an unexpected native failure (when
// logging is on), then prints the runtime's failure notice to standard error.
void report_failure(std::string_view message, std::string_view location);

// Debug form of a text: double-quoted with \" \\ \n \r \t escaped.
std::string debug_quote(std::string_view text);

}  // namespace norvo::log

#define NLOG(level, target, message, ...)                                              \
  do {                                                                                 \
    if (::norvo::log::enabled(level, target)) ::norvo::log::emit(level, target, message, {__VA_ARGS__}); \
  } while (0)
#define NLOG_TRACE(target, message, ...) NLOG(::norvo::log::Level::Trace, target, message, ##__VA_ARGS__)
#define NLOG_DEBUG(target, message, ...) NLOG(::norvo::log::Level::Debug, target, message, ##__VA_ARGS__)
#define NLOG_INFO(target, message, ...) NLOG(::norvo::log::Level::Info, target, message, ##__VA_ARGS__)
#define NLOG_WARN(target, message, ...) NLOG(::norvo::log::Level::Warn, target, message, ##__VA_ARGS__)
#define NLOG_ERROR(target, message, ...) NLOG(::norvo::log::Level::Error, target, message, ##__VA_ARGS__)
