// Shell-style glob patterns over text: `*` and `**` match any run of
// characters (path separators included), `?` one character, `[...]` a class
// with ranges and a leading `!` for negation. A pattern matches only the whole
// text, case-sensitively, character by character (Unicode scalar values).
// Used by the ignore filter, the security policy and the span tools.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace norvo::util {

// Why a pattern did not compile: the 0-based character position of the
// problem and one of the three fixed reasons below.
struct GlobError {
  size_t pos = 0;
  std::string msg;

  // "Pattern syntax error near position {pos}: {msg}"
  std::string to_string() const;
};

inline constexpr const char* kGlobErrWildcards = "wildcards are either regular `*` or recursive `**`";
inline constexpr const char* kGlobErrRecursive = "recursive wildcards must form a single path component";
inline constexpr const char* kGlobErrRange = "invalid range pattern";

class Glob {
 public:
  // Compiles `pattern` (UTF-8; invalid bytes are taken as U+FFFD). Fails on
  // three or more `*` in a row, a `**` that is not a whole path component,
  // and a bracket class without its closing `]`.
  static std::expected<Glob, GlobError> compile(std::string_view pattern);

  // True when the whole of `text` (UTF-8) matches.
  bool matches(std::string_view text) const;

  const std::string& pattern() const { return pattern_; }

  struct ClassItem {
    char32_t lo, hi;  // a single character has lo == hi
  };
  struct Token {
    enum Kind : unsigned char { Char, AnyChar, AnySequence, AnyRecursive, Within, Except } kind;
    char32_t ch = 0;  // Char
    size_t cls = 0;   // Within / Except: index into classes_
  };

 private:
  template <class Char>
  bool run(const Char* text, size_t n) const;

  std::string pattern_;
  bool literal_ = false;
  std::vector<Token> tokens_;
  std::vector<std::vector<ClassItem>> classes_;
};

// Decodes UTF-8 into scalar values; each maximal invalid subpart becomes U+FFFD.
std::u32string decode_utf8(std::string_view s);

}  // namespace norvo::util
