// UTF-8 checks follow the Unicode "maximal subpart" rule for replacements.
#include "util/text.h"

#include <utf8proc.h>

namespace norvo::util {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid; `bad`
// receives the length of the maximal invalid subpart to replace.
size_t valid_seq(std::string_view s, size_t i, size_t& bad) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  bad = 1;
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1;
  else if (c == 0xE0) need = 2, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) need = 2;
  else if (c == 0xED) need = 2, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) need = 2;
  else if (c == 0xF0) need = 3, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) need = 3;
  else if (c == 0xF4) need = 3, hi = 0x8F;
  else return 0;
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    unsigned char d = b(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (d < l || d > h) return 0;
    bad = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t bad;
    size_t n = valid_seq(s, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  if (is_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  size_t i = 0;
  while (i < s.size()) {
    size_t bad;
    size_t n = valid_seq(s, i, bad);
    if (n) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

std::string path_text(const std::filesystem::path& p) { return utf8_lossy(p.native()); }

std::string_view trim(std::string_view s) {
  auto is_ws = [](std::string_view t, size_t i, bool fwd, size_t& len) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    len = 1;
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return true;
    // The multi-byte White_Space characters: U+0085, U+00A0, U+1680, U+2000-200A,
    // U+2028, U+2029, U+202F, U+205F, U+3000.
    auto at = [&](size_t k) -> int { return k < t.size() ? static_cast<unsigned char>(t[k]) : -1; };
    size_t start = i;
    if (!fwd) {
      while (start > 0 && (static_cast<unsigned char>(t[start]) & 0xC0) == 0x80) --start;
    }
    int c0 = at(start), c1 = at(start + 1), c2 = at(start + 2);
    bool ws = false;
    size_t n = 0;
    if (c0 == 0xC2 && (c1 == 0x85 || c1 == 0xA0)) ws = true, n = 2;
    else if (c0 == 0xE1 && c1 == 0x9A && c2 == 0x80) ws = true, n = 3;
    else if (c0 == 0xE2 && c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
      ws = true, n = 3;
    else if (c0 == 0xE2 && c1 == 0x81 && c2 == 0x9F) ws = true, n = 3;
    else if (c0 == 0xE3 && c1 == 0x80 && c2 == 0x80) ws = true, n = 3;
    if (ws && !fwd && start + n != i + 1) ws = false;
    len = n;
    return ws;
  };
  size_t len;
  while (!s.empty() && is_ws(s, 0, true, len)) s.remove_prefix(len);
  while (!s.empty() && is_ws(s, s.size() - 1, false, len)) s.remove_suffix(len);
  return s;
}

std::string lower_full(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  auto left = static_cast<utf8proc_ssize_t>(s.size());
  while (left > 0) {
    if (*p < 0x80) {
      auto c = static_cast<char>(*p);
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      ++p, --left;
      continue;
    }
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {
      out += static_cast<char>(*p);
      ++p, --left;
      continue;
    }
    if (cp == 0x130) {
      out += "i\xCC\x87";  // the one unconditional lower case longer than one character
    } else {
      utf8proc_uint8_t buf[4];
      utf8proc_ssize_t m = utf8proc_encode_char(utf8proc_tolower(cp), buf);
      out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(m));
    }
    p += n, left -= n;
  }
  return out;
}

}  // namespace norvo::util
