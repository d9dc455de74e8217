// The log sink: filter directives, the line formatter and the failure hook.
#include "core/logging.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include <fmt/format.h>

namespace norvo::log {

namespace detail {
std::atomic<bool> g_on{false};
}

namespace {

constexpr int kOff = 5;  // a directive level above every record level

struct Directive {
  std::string target;  // empty: applies to every target
  int level;           // records with level >= this pass
};

struct Filter {
  std::vector<Directive> targeted;  // most specific first
  std::optional<int> fallback;
};

Filter g_filter;
std::mutex g_write_mutex;
std::once_flag g_init_once;

struct SpanEntry {
  std::string rendered;  // "name{a=1 b=\"x\"}"
};
thread_local std::vector<SpanEntry> t_spans;

std::optional<int> parse_level(std::string_view s) {
  std::string lower;
  for (char c : s) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  if (lower == "trace") return 0;
  if (lower == "debug") return 1;
  if (lower == "info") return 2;
  if (lower == "warn" || lower == "warning") return 3;
  if (lower == "error") return 4;
  if (lower == "off") return kOff;
  return std::nullopt;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool valid_target(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' || c == '.')) return false;
  return true;
}

// Parses a whole specification; any bad directive rejects all of it.
std::optional<Filter> parse_spec(std::string_view spec) {
  Filter f;
  bool any = false;
  while (true) {
    size_t comma = spec.find(',');
    std::string_view part = trim(spec.substr(0, comma));
    if (!part.empty()) {
      size_t eq = part.find('=');
      if (eq == std::string_view::npos) {
        auto lvl = parse_level(part);
        if (!lvl) return std::nullopt;
        f.fallback = *lvl;
      } else {
        std::string_view target = trim(part.substr(0, eq));
        auto lvl = parse_level(trim(part.substr(eq + 1)));
        if (!lvl || !valid_target(target)) return std::nullopt;
        f.targeted.push_back({std::string(target), *lvl});
      }
      any = true;
    }
    if (comma == std::string_view::npos) break;
    spec.remove_prefix(comma + 1);
  }
  if (!any) return std::nullopt;
  // Longer targets are more specific; later duplicates win, so keep stable order reversed.
  std::stable_sort(f.targeted.begin(), f.targeted.end(),
                   [](const Directive& a, const Directive& b) { return a.target.size() > b.target.size(); });
  return f;
}

bool target_matches(std::string_view directive, std::string_view target) {
  if (target.size() < directive.size() || target.substr(0, directive.size()) != directive) return false;
  return target.size() == directive.size() || target.substr(directive.size(), 2) == "::";
}

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kItalic = "\x1b[3m";

const char* level_name(Level l) {
  switch (l) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return " INFO";
    case Level::Warn: return " WARN";
    case Level::Error: return "ERROR";
  }
  return "?????";
}
const char* level_colour(Level l) {
  switch (l) {
    case Level::Trace: return "\x1b[35m";
    case Level::Debug: return "\x1b[34m";
    case Level::Info: return "\x1b[32m";
    case Level::Warn: return "\x1b[33m";
    case Level::Error: return "\x1b[31m";
  }
  return "";
}

void append_value(std::string& out, const Field& f, bool debug_form) {
  switch (f.type) {
    case Field::Type::Text: out += debug_form ? debug_quote(f.text) : f.text; break;
    case Field::Type::Raw: out += f.text; break;
    case Field::Type::Int: out += std::to_string(f.i); break;
    case Field::Type::UInt: out += std::to_string(f.u); break;
    case Field::Type::Bool: out += f.b ? "true" : "false"; break;
  }
}

void append_field(std::string& out, const Field& f, bool debug_form) {
  out += kItalic;
  out += f.name;
  out += kReset;
  out += kDim;
  out += '=';
  out += kReset;
  append_value(out, f, debug_form);
}

std::string timestamp() {
  auto now = std::chrono::system_clock::now();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(us / 1000000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, us % 1000000);
}

void write_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_write_mutex);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n <= 0) return;  // a failing standard error is ignored
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

namespace detail {
bool enabled_slow(Level level, std::string_view target) {
  for (const auto& d : g_filter.targeted)
    if (target_matches(d.target, target)) return static_cast<int>(level) >= d.level;
  if (g_filter.fallback) return static_cast<int>(level) >= *g_filter.fallback;
  return false;
}
}  // namespace detail

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  out += '"';
  return out;
}

void emit(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
  if (!enabled(level, target)) return;
  std::string line;
  line.reserve(128);
  line += kDim;
  line += timestamp();
  line += kReset;
  line += ' ';
  line += level_colour(level);
  line += level_name(level);
  line += kReset;
  line += ' ';
  if (!t_spans.empty()) {
    for (const auto& s : t_spans) {
      line += s.rendered;
      line += ':';
    }
    line += ' ';
  }
  line += kDim;
  line += target;
  line += ':';
  line += kReset;
  line += ' ';
  line += message;
  bool first = message.empty();  // a record without message starts with its first field
  for (const auto& f : fields) {
    if (!first) line += ' ';
    first = false;
    append_field(line, f, false);
  }
  line += '\n';
  write_line(line);
}

Span::Span(std::string_view name, std::initializer_list<Field> fields) {
  if (!enabled(Level::Info, "norvo_atlas")) return;
  std::string r = kBold;
  r += name;
  r += kReset;
  if (fields.size() > 0) {
    r += kBold;
    r += '{';
    r += kReset;
    bool first = true;
    for (const auto& f : fields) {
      if (!first) r += ' ';
      first = false;
      append_field(r, f, true);
    }
    r += kBold;
    r += '}';
    r += kReset;
  }
  t_spans.push_back({std::move(r)});
  pushed_ = true;
}

Span::~Span() {
  if (pushed_ && !t_spans.empty()) t_spans.pop_back();
}

void init(std::optional<std::string_view> level) {
  std::call_once(g_init_once, [&] {
    std::optional<Filter> filter;
    if (const char* env = std::getenv("NORVO_LOG")) filter = parse_spec(env);
    if (!filter) filter = parse_spec(level.value_or("info"));
    if (!filter) filter = parse_spec("info");
    g_filter = std::move(*filter);
    detail::g_on.store(true, std::memory_order_release);
  });
}

bool initialized() { return detail::g_on.load(std::memory_order_acquire); }

void report_failure(std::string_view message, std::string_view location) {
  if (message.empty()) message = "Unknown panic";
  NLOG_ERROR("norvo_core::logging", "PANIC - This is a bug in Norvo. Please report it.", {"panic", true},
             {"message", message}, {"location", location});
  write_line(fmt::format("norvo_native: internal failure at {}:\n{}\n", location, message));
}

}  // namespace norvo::log
