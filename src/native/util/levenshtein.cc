// Two-row Levenshtein over decoded scalar values.
#include "util/levenshtein.h"

#include <algorithm>
#include <vector>

namespace norvo::util {

namespace {

template <class Char>
size_t distance_impl(std::basic_string_view<Char> a, std::basic_string_view<Char> b);

bool is_ascii(std::string_view s);

}  // namespace

// Invalid input yields U+FFFD and consumes one byte, so decoding always
// terminates.
char32_t next_scalar(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1, cp = c & 0x1F;
  else if (c == 0xE0) need = 2, cp = c & 0x0F, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) need = 2, cp = c & 0x0F;
  else if (c == 0xED) need = 2, cp = c & 0x0F, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) need = 2, cp = c & 0x0F;
  else if (c == 0xF0) need = 3, cp = c & 0x07, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) need = 3, cp = c & 0x07;
  else if (c == 0xF4) need = 3, cp = c & 0x07, hi = 0x8F;
  else {
    ++i;
    return U'\uFFFD';
  }
  if (i + need >= s.size()) {  // truncated sequence
    ++i;
    return U'\uFFFD';
  }
  for (size_t k = 1; k <= need; ++k) {
    unsigned char d = b(i + k);
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) {
      ++i;
      return U'\uFFFD';
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  i += need + 1;
  return cp;
}

namespace {

template <class Char>
size_t distance_impl(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() < b.size()) std::swap(a, b);  // b is the shorter: rows of b.size() + 1
  if (b.empty()) return a.size();
  // Common prefix and suffix do not change the distance.
  while (!b.empty() && a.front() == b.front()) a.remove_prefix(1), b.remove_prefix(1);
  while (!b.empty() && a.back() == b.back()) a.remove_suffix(1), b.remove_suffix(1);
  if (b.empty()) return a.size();

  constexpr size_t kStack = 64;
  size_t stack_rows[2 * (kStack + 1)];
  std::vector<size_t> heap_rows;
  size_t* prev = stack_rows;
  if (b.size() > kStack) {
    heap_rows.resize(2 * (b.size() + 1));
    prev = heap_rows.data();
  }
  size_t* cur = prev + b.size() + 1;
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 0; i < a.size(); ++i) {
    cur[0] = i + 1;
    const Char ca = a[i];
    for (size_t j = 0; j < b.size(); ++j) {
      size_t sub = prev[j] + (ca == b[j] ? 0 : 1);
      size_t del = prev[j + 1] + 1;
      size_t ins = cur[j] + 1;
      cur[j + 1] = std::min({sub, del, ins});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

bool is_ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::u32string utf8_scalars(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) out.push_back(next_scalar(text, i));
  return out;
}

size_t scalar_count(std::string_view text) {
  size_t n = 0, i = 0;
  while (i < text.size()) {
    next_scalar(text, i);
    ++n;
  }
  return n;
}

size_t levenshtein(std::u32string_view a, std::u32string_view b) { return distance_impl(a, b); }

size_t levenshtein(std::string_view a, std::string_view b) {
  if (is_ascii(a) && is_ascii(b)) return distance_impl(a, b);
  std::u32string ua = utf8_scalars(a), ub = utf8_scalars(b);
  return distance_impl(std::u32string_view(ua), std::u32string_view(ub));
}

}  // namespace norvo::util
