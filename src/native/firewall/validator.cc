// Compiling a policy into lookup structures, and classifying import paths.
//
// Typo candidates live in a BK-tree keyed by edit distance: the triangle
// inequality lets a search skip every subtree whose key lies outside
// [d - max, d + max]. Insertion order (sorted allowed names, then the known
// typos in policy order) and the search's stack order decide ties, so both
// are fixed.
#include "firewall/validator.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>
#include <utf8proc.h>

#include "firewall/builtin_rules.h"
#include "util/levenshtein.h"
#include "util/text.h"

namespace norvo::firewall {

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t abs_diff(size_t a, size_t b) { return a > b ? a - b : b - a; }

}  // namespace

// ---- result texts -------------------------------------------------------------

std::string_view status_word(const ValidationResult& r) {
  switch (r.index()) {
    case 0: return "allowed";
    case 1: return "blocked";
    case 2: return "typosquat";
    default: return "unknown";
  }
}

bool is_allowed(const ValidationResult& r) { return std::holds_alternative<Allowed>(r); }

std::string long_reason(const ValidationResult& r) {
  if (std::holds_alternative<Allowed>(r)) return "Import is allowed";
  if (auto* b = std::get_if<Blocked>(&r)) return b->error.to_string();
  if (auto* t = std::get_if<Typosquat>(&r))
    return fmt::format("Possible typosquat of '{}' (distance: {})", t->intended, t->distance);
  return "Unknown package - not in allowed list";
}

std::string short_reason(const ValidationResult& r) {
  if (std::holds_alternative<Allowed>(r)) return "Import is allowed";
  if (auto* b = std::get_if<Blocked>(&r)) return b->error.to_string();
  if (auto* t = std::get_if<Typosquat>(&r)) return fmt::format("Possible typosquat of '{}'", t->intended);
  return "Unknown package";
}

// ---- building -----------------------------------------------------------------

ImportValidator::ImportValidator(const Policy& policy) {
  trie_.emplace_back();
  patterns_ = policy.blocked_patterns;
  for (uint32_t i = 0; i < patterns_.size(); ++i) add_pattern(patterns_[i], i);

  std::string_view text = stdlib_module_text();
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    stdlib_.emplace(util::trim(line));
  }

  for (const auto& entry : policy.allowed_packages) allowed_.insert(normalize_package(entry));

  std::vector<std::string> sorted(allowed_.begin(), allowed_.end());
  std::sort(sorted.begin(), sorted.end());  // std::string compares bytes as unsigned: byte-wise order
  for (const auto& name : sorted) insert_typo_name(name);
  for (const auto& group : policy.typo_detection.known_typos) {
    for (const auto& typo : group.typos) {
      if (typo.empty()) continue;
      typo_map_[typo] = group.actual;
      insert_typo_name(typo);
    }
  }

  internal_prefixes_ = policy.internal_prefixes;
  max_edit_distance_ = policy.typo_detection.max_edit_distance;
  typo_enabled_ = policy.typo_detection.enabled;
}

void ImportValidator::add_pattern(const BlockedPattern& p, uint32_t index) {
  uint32_t node = 0;
  std::string_view s = p.pattern;
  size_t i = 0;
  while (i < s.size()) {
    char32_t c = util::next_scalar(s, i);
    uint32_t next = 0;
    for (const auto& [ch, child] : trie_[node].children)
      if (ch == c) next = child;
    if (next == 0) {
      next = static_cast<uint32_t>(trie_.size());
      trie_.emplace_back();
      trie_[node].children.emplace_back(c, next);
    }
    node = next;
  }
  trie_[node].pattern = index;  // a later pattern at the same node replaces the earlier
  trie_[node].prefix = p.is_prefix_match;
}

void ImportValidator::insert_typo_name(const std::string& name) {
  if (name.empty()) return;
  std::u32string scalars = util::utf8_scalars(name);
  if (typo_nodes_.empty()) {
    typo_nodes_.push_back({name, std::move(scalars), {}});
    return;
  }
  uint32_t node = 0;
  while (true) {
    uint64_t d = util::levenshtein(typo_nodes_[node].scalars, scalars);
    if (d == 0) return;
    auto& kids = typo_nodes_[node].children;
    auto it = std::lower_bound(kids.begin(), kids.end(), d,
                               [](const std::pair<uint64_t, uint32_t>& k, uint64_t v) { return k.first < v; });
    if (it != kids.end() && it->first == d) {
      node = it->second;
      continue;
    }
    uint32_t added = static_cast<uint32_t>(typo_nodes_.size());
    kids.insert(it, {d, added});  // `kids` is not used after the push below reallocates
    typo_nodes_.push_back({name, std::move(scalars), {}});
    return;
  }
}

// ---- classifying --------------------------------------------------------------

std::optional<uint32_t> ImportValidator::match_pattern(std::string_view path) const {
  uint32_t node = 0;
  std::optional<uint32_t> last_prefix;
  size_t i = 0;
  while (i < path.size()) {
    const TrieNode& n = trie_[node];
    if (n.pattern && n.prefix) last_prefix = n.pattern;
    char32_t c = util::next_scalar(path, i);
    uint32_t next = 0;
    for (const auto& [ch, child] : n.children)
      if (ch == c) {
        next = child;
        break;
      }
    if (next == 0) return last_prefix;  // walk stopped before the end of the path
    node = next;
  }
  if (trie_[node].pattern) return trie_[node].pattern;
  return last_prefix;
}

const std::string& ImportValidator::intended_for(const std::string& name) const {
  auto it = typo_map_.find(name);
  return it == typo_map_.end() ? name : it->second;
}

std::optional<Typosquat> ImportValidator::search_typo(std::string_view top) const {
  const std::u32string target = util::utf8_scalars(top);
  const uint64_t k = max_edit_distance_;
  std::vector<uint32_t> stack{0};
  std::optional<uint32_t> best;
  uint64_t best_d = 0;
  while (!stack.empty()) {
    const TypoNode& node = typo_nodes_[stack.back()];
    const uint32_t index = stack.back();
    stack.pop_back();
    // The length difference bounds the distance from below. When even that
    // bound puts every child key out of range and the node beyond the limit,
    // the exact distance cannot matter: skip the quadratic computation, which
    // keeps absurdly long paths cheap.
    uint64_t lower = abs_diff(node.scalars.size(), target.size());
    uint64_t max_key = node.children.empty() ? 0 : node.children.back().first;
    if (lower > saturating_add(k, max_key)) continue;

    uint64_t d = util::levenshtein(node.scalars, target);
    if (d <= k) {
      if (!best || d < best_d) best = index, best_d = d;
      if (d == 0) return Typosquat{intended_for(node.name), 0};
    }
    uint64_t lo = d > k ? d - k : 0;
    uint64_t hi = saturating_add(d, k);
    for (const auto& [key, child] : node.children)
      if (key >= lo && key <= hi) stack.push_back(child);
  }
  if (!best) return std::nullopt;
  return Typosquat{intended_for(typo_nodes_[*best].name), best_d};
}

ValidationResult ImportValidator::classify(std::string_view path) const {
  if (auto m = match_pattern(path)) {
    const BlockedPattern& p = patterns_[*m];
    return Blocked{FirewallError::blocked(std::string(path), p.pattern, p.reason)};
  }
  // Transparent lookup would avoid this copy; the sets are keyed by std::string.
  std::string key(path);
  if (stdlib_.contains(key)) return Allowed{};
  size_t dot = path.find('.');
  std::string_view top = path.substr(0, dot);
  if (dot != std::string_view::npos) key.resize(dot);
  if (allowed_.contains(key)) return Allowed{};
  for (const auto& prefix : internal_prefixes_)
    if (path.starts_with(prefix)) return Unknown{};
  if (typo_enabled_ && !typo_nodes_.empty())
    if (auto t = search_typo(top)) return std::move(*t);
  return Unknown{};
}

// ---- similarity check -----------------------------------------------------------

namespace {

bool is_cased(char32_t c) {
  auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  if (cat == UTF8PROC_CATEGORY_LU || cat == UTF8PROC_CATEGORY_LL || cat == UTF8PROC_CATEGORY_LT) return true;
  auto cp = static_cast<utf8proc_int32_t>(c);
  return utf8proc_tolower(cp) != cp || utf8proc_toupper(cp) != cp;
}

bool is_case_ignorable(char32_t c) {
  switch (c) {
    case U'\'': case U'.': case U':': case U'^': case U'`': case U'\u00A8': case U'\u00AD': case U'\u00AF':
    case U'\u00B4': case U'\u00B7': case U'\u00B8': case U'\u0387': case U'\u2018': case U'\u2019':
    case U'\u2024': case U'\u2027': case U'\uFE13': case U'\uFE52': case U'\uFE55': case U'\uFF07':
    case U'\uFF0E': case U'\uFF1A':
      return true;
    default: break;
  }
  auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  return cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_ME || cat == UTF8PROC_CATEGORY_CF ||
         cat == UTF8PROC_CATEGORY_LM || cat == UTF8PROC_CATEGORY_SK;
}

// A cased letter follows after skipping case-ignorable ones, scanning from
// `from` in the direction `step` (+1 or -1).
bool cased_beyond(const std::u32string& s, ptrdiff_t from, ptrdiff_t step) {
  for (ptrdiff_t i = from; i >= 0 && i < static_cast<ptrdiff_t>(s.size()); i += step) {
    if (is_case_ignorable(s[static_cast<size_t>(i)])) continue;
    return is_cased(s[static_cast<size_t>(i)]);
  }
  return false;
}

void append_utf8(std::string& out, char32_t c) {
  utf8proc_uint8_t buf[4];
  auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buf);
  out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
}

// Full Unicode lower-casing: the simple mappings plus the two unconditional
// and context-dependent special cases (dotted capital I, final sigma).
std::string to_lower_full(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool ascii = true;
  for (char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    for (char c : text) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    return out;
  }
  std::u32string s = util::utf8_scalars(text);
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c == U'\u0130') {
      out += "i\xCC\x87";  // i + COMBINING DOT ABOVE
    } else if (c == U'\u03A3') {
      auto pos = static_cast<ptrdiff_t>(i);
      bool final_sigma = cased_beyond(s, pos - 1, -1) && !cased_beyond(s, pos + 1, +1);
      append_utf8(out, final_sigma ? U'\u03C2' : U'\u03C3');
    } else {
      append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
    }
  }
  return out;
}

}  // namespace

SimilarityResult check_similarity(std::string_view package_name) {
  std::string name = to_lower_full(package_name);
  if (!name.empty() && name.front() == '.') return {};
  const size_t name_scalars = util::scalar_count(name);
  for (std::string_view entry : kPopularPackages) {
    if (name == entry) return {};
    const size_t longest = std::max(name.size(), entry.size());
    // similarity < 0.8 - 1/longest is certain when the length gap alone exceeds
    // a fifth of the longest byte length by a margin; skipping the quadratic
    // distance then cannot change the answer.
    uint64_t lower = abs_diff(name_scalars, entry.size());  // popular names are ASCII
    if (lower * 5 > longest + 5) continue;
    double distance = static_cast<double>(util::levenshtein(std::string_view(name), entry));
    double similarity = longest == 0 ? 1.0 : 1.0 - distance / static_cast<double>(longest);
    if (similarity >= 0.8 && similarity < 1.0) return {true, std::string(entry), similarity};
  }
  return {};
}

}  // namespace norvo::firewall
