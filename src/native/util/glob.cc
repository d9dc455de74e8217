// Glob compilation and whole-text matching. Matching runs a table over
// (token, text position) from the end of the pattern backwards, so no pattern
// can make it backtrack exponentially.
#include "util/glob.h"

#include <fmt/format.h>

#include "util/text.h"

namespace norvo::util {

std::string GlobError::to_string() const { return fmt::format("Pattern syntax error near position {}: {}", pos, msg); }

std::u32string decode_utf8(std::string_view bytes) {
  std::string valid = utf8_lossy(bytes);
  std::u32string out;
  out.reserve(valid.size());
  const auto* s = reinterpret_cast<const unsigned char*>(valid.data());
  size_t n = valid.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(c);
      i += 1;
    } else if (c < 0xE0) {
      out.push_back(char32_t(c & 0x1F) << 6 | (s[i + 1] & 0x3F));
      i += 2;
    } else if (c < 0xF0) {
      out.push_back(char32_t(c & 0x0F) << 12 | char32_t(s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F));
      i += 3;
    } else {
      out.push_back(char32_t(c & 0x07) << 18 | char32_t(s[i + 1] & 0x3F) << 12 | char32_t(s[i + 2] & 0x3F) << 6 |
                    (s[i + 3] & 0x3F));
      i += 4;
    }
  }
  return out;
}

namespace {

// Items of a class body: "a-z" is a range when a character follows the dash,
// anything else is taken one character at a time (so "]" first and a trailing
// "-" are literal).
std::vector<Glob::ClassItem> parse_class(const char32_t* s, size_t len) {
  std::vector<Glob::ClassItem> items;
  size_t i = 0;
  while (i < len) {
    if (i + 3 <= len && s[i + 1] == U'-') {
      items.push_back({s[i], s[i + 2]});
      i += 3;
    } else {
      items.push_back({s[i], s[i]});
      i += 1;
    }
  }
  return items;
}

bool in_class(const std::vector<Glob::ClassItem>& items, char32_t c) {
  for (const auto& it : items) {
    if (c >= it.lo && c <= it.hi) return true;
  }
  return false;
}

}  // namespace

std::expected<Glob, GlobError> Glob::compile(std::string_view pattern) {
  Glob g;
  g.pattern_ = std::string(pattern);
  std::u32string chars = decode_utf8(pattern);
  const size_t n = chars.size();
  size_t i = 0;
  while (i < n) {
    char32_t c = chars[i];
    if (c == U'?') {
      g.tokens_.push_back({Token::AnyChar});
      ++i;
    } else if (c == U'*') {
      size_t start = i;
      while (i < n && chars[i] == U'*') ++i;
      size_t count = i - start;
      if (count > 2) return std::unexpected(GlobError{start + 2, kGlobErrWildcards});
      if (count == 1) {
        g.tokens_.push_back({Token::AnySequence});
        continue;
      }
      // "**" must be a whole path component: at the start or after "/", and
      // at the end or before "/" (which it swallows).
      if (start != 0 && chars[start - 1] != U'/') return std::unexpected(GlobError{start - 1, kGlobErrRecursive});
      if (i < n) {
        if (chars[i] != U'/') return std::unexpected(GlobError{i, kGlobErrRecursive});
        ++i;
      }
      g.tokens_.push_back({Token::AnyRecursive});
    } else if (c == U'[') {
      // "[!...]" needs at least one character after "!" before the closing
      // bracket is looked for, "[...]" one character after "[": so "[]]" and
      // "[!]]" are classes holding "]".
      if (i + 4 <= n && chars[i + 1] == U'!') {
        size_t j = i + 3;
        while (j < n && chars[j] != U']') ++j;
        if (j < n) {
          g.classes_.push_back(parse_class(chars.data() + i + 2, j - (i + 2)));
          g.tokens_.push_back({Token::Except, 0, g.classes_.size() - 1});
          i = j + 1;
          continue;
        }
      } else if (i + 3 <= n && chars[i + 1] != U'!') {
        size_t j = i + 2;
        while (j < n && chars[j] != U']') ++j;
        if (j < n) {
          g.classes_.push_back(parse_class(chars.data() + i + 1, j - (i + 1)));
          g.tokens_.push_back({Token::Within, 0, g.classes_.size() - 1});
          i = j + 1;
          continue;
        }
      }
      return std::unexpected(GlobError{i, kGlobErrRange});
    } else {
      g.tokens_.push_back({Token::Char, c});
      ++i;
    }
  }
  // A pattern of plain characters is a string comparison (when its text is
  // valid UTF-8, so that comparing bytes is comparing characters).
  g.literal_ = is_utf8(pattern);
  for (const auto& t : g.tokens_) g.literal_ = g.literal_ && t.kind == Token::Char;
  return g;
}

namespace {

bool all_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

template <class Char>
bool Glob::run(const Char* text, size_t n) const {
  // next[p]: the tokens after the current one match text[p..].
  thread_local std::vector<char> next_buf, cur_buf;
  next_buf.assign(n + 1, 0);
  cur_buf.assign(n + 1, 0);
  char* next = next_buf.data();
  char* cur = cur_buf.data();
  next[n] = 1;
  for (size_t ti = tokens_.size(); ti-- > 0;) {
    const Token& t = tokens_[ti];
    switch (t.kind) {
      case Token::AnySequence: {
        char acc = 0;
        for (size_t p = n + 1; p-- > 0;) {
          acc = acc || next[p];
          cur[p] = acc;
        }
        break;
      }
      case Token::AnyRecursive: {
        // Matches nothing, or a run ending in "/", or (as a last resort) all
        // of the remaining text.
        char acc = next[n];
        for (size_t p = n + 1; p-- > 0;) {
          if (p < n && text[p] == U'/' && next[p + 1]) acc = 1;
          cur[p] = next[p] || acc;
        }
        break;
      }
      default: {
        cur[n] = 0;
        for (size_t p = 0; p < n; ++p) {
          char32_t c = static_cast<char32_t>(text[p]);
          bool ok;
          switch (t.kind) {
            case Token::Char: ok = c == t.ch; break;
            case Token::AnyChar: ok = true; break;
            case Token::Within: ok = in_class(classes_[t.cls], c); break;
            default: ok = !in_class(classes_[t.cls], c); break;
          }
          cur[p] = ok && next[p + 1];
        }
        break;
      }
    }
    std::swap(cur, next);
  }
  return next[0];
}

bool Glob::matches(std::string_view text) const {
  if (literal_) return text == pattern_;
  // ASCII text is matched byte by byte; anything else as scalar values.
  if (all_ascii(text)) return run(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::u32string chars = decode_utf8(text);
  return run(chars.data(), chars.size());
}

}  // namespace norvo::util
