// gitignore parsing and matching. The matcher follows git's own rules
// (wildmatch, basename versus pathname patterns, the literal-prefix shortcut)
// so that a tree is ignored here exactly where `git check-ignore` says so.
#include "atlas/scanner/gitignore.h"

#include "core/file_read.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace norvo::atlas::scanner {

namespace fs = std::filesystem;

namespace {

// ---- wildmatch --------------------------------------------------------------

enum WildResult { kMatch = 0, kNoMatch = 1, kAbortAll = -1, kAbortToStarStar = -2 };

bool glob_special(unsigned char c) { return c == '*' || c == '?' || c == '[' || c == '\\'; }

// Character classes of the C locale, ASCII only (as git's own ctype).
bool in_named_class(std::string_view name, unsigned char c, bool& known) {
  known = true;
  bool ascii = c < 0x80;
  if (name == "alnum") return ascii && (isalnum(c) != 0);
  if (name == "alpha") return ascii && (isalpha(c) != 0);
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return ascii && (iscntrl(c) != 0);
  if (name == "digit") return c >= '0' && c <= '9';
  if (name == "graph") return c > 0x20 && c < 0x7f;
  if (name == "lower") return c >= 'a' && c <= 'z';
  if (name == "print") return c >= 0x20 && c < 0x7f;
  if (name == "punct") return ascii && (ispunct(c) != 0);
  if (name == "space") return c == ' ' || c == '\t' || c == '\n' || c == '\r';
  if (name == "upper") return c >= 'A' && c <= 'Z';
  if (name == "xdigit") return ascii && (isxdigit(c) != 0);
  known = false;
  return false;
}

class Wild {
 public:
  Wild(std::string_view p, std::string_view t) : p_(p), t_(t) {}
  int run() { return dowild(0, 0); }

 private:
  unsigned char P(size_t i) const { return i < p_.size() ? static_cast<unsigned char>(p_[i]) : 0; }
  unsigned char T(size_t i) const { return i < t_.size() ? static_cast<unsigned char>(t_[i]) : 0; }
  bool slash_from(size_t t, size_t& at) const {
    size_t pos = t_.find('/', t);
    if (pos == std::string_view::npos) return false;
    at = pos;
    return true;
  }

  int dowild(size_t p, size_t t) {
    for (; P(p) != 0; ++t, ++p) {
      unsigned char p_ch = P(p);
      unsigned char t_ch = T(t);
      if (t_ch == 0 && p_ch != '*') return kAbortAll;
      switch (p_ch) {
        case '\\':
          // The escaped character is matched literally; a lone trailing "\"
          // compares against NUL and so never matches.
          p_ch = P(++p);
          if (t_ch != p_ch) return kNoMatch;
          continue;
        case '?':
          if (t_ch == '/') return kNoMatch;
          continue;
        case '*': {
          bool match_slash;
          if (P(++p) == '*') {
            size_t prev = p;  // index of the first "*" is p - 1
            while (P(++p) == '*') {
            }
            bool at_start = prev < 2;  // the "**" run begins the pattern
            bool after_slash = !at_start && P(prev - 2) == '/';
            if ((at_start || after_slash) && (P(p) == 0 || P(p) == '/' || (P(p) == '\\' && P(p + 1) == '/'))) {
              // "**/" may also match no directory at all.
              if (P(p) == '/' && dowild(p + 1, t) == kMatch) return kMatch;
              match_slash = true;
            } else {
              match_slash = false;
            }
          } else {
            match_slash = false;
          }
          if (P(p) == 0) {
            // A trailing "**" takes everything, a trailing "*" only the rest
            // of the current component.
            if (!match_slash && t_.find('/', t) != std::string_view::npos) return kNoMatch;
            return kMatch;
          }
          if (!match_slash && P(p) == '/') {
            // "*/": the star takes the rest of this component.
            size_t slash;
            if (!slash_from(t, slash)) return kNoMatch;
            t = slash;
            break;  // the loop step consumes the "/" on both sides
          }
          while (true) {
            if (t_ch == 0) break;
            if (!glob_special(P(p))) {
              // Skip ahead to the next occurrence of the literal that
              // follows the star.
              unsigned char lit = P(p);
              while ((t_ch = T(t)) != 0 && (match_slash || t_ch != '/')) {
                if (t_ch == lit) break;
                ++t;
              }
              if (t_ch != lit) return match_slash ? kAbortAll : kAbortToStarStar;
            }
            int m = dowild(p, t);
            if (m != kNoMatch) {
              if (!match_slash || m != kAbortToStarStar) return m;
            } else if (!match_slash && t_ch == '/') {
              return kAbortToStarStar;
            }
            t_ch = T(++t);
          }
          return kAbortAll;
        }
        case '[': {
          p_ch = P(++p);
          if (p_ch == '^') p_ch = '!';
          bool negated = p_ch == '!';
          if (negated) p_ch = P(++p);
          unsigned char prev_ch = 0;
          bool matched = false;
          do {
            if (p_ch == 0) return kAbortAll;
            if (p_ch == '\\') {
              p_ch = P(++p);
              if (p_ch == 0) return kAbortAll;
              if (t_ch == p_ch) matched = true;
            } else if (p_ch == '-' && prev_ch && P(p + 1) && P(p + 1) != ']') {
              p_ch = P(++p);
              if (p_ch == '\\') {
                p_ch = P(++p);
                if (p_ch == 0) return kAbortAll;
              }
              if (t_ch <= p_ch && t_ch >= prev_ch) matched = true;
              p_ch = 0;  // a range cannot start another range
            } else if (p_ch == '[' && P(p + 1) == ':') {
              size_t s = p + 2;
              p = s;
              while ((p_ch = P(p)) != 0 && p_ch != ']') ++p;
              if (p_ch == 0) return kAbortAll;
              if (p == s || P(p - 1) != ':') {
                // Not "[:name:]": the "[" is an ordinary member.
                p = s - 2;
                p_ch = '[';
                if (t_ch == p_ch) matched = true;
                continue;
              }
              bool known;
              if (in_named_class(p_.substr(s, p - 1 - s), t_ch, known)) matched = true;
              if (!known) return kAbortAll;
              p_ch = 0;
            } else if (t_ch == p_ch) {
              matched = true;
            }
          } while (prev_ch = p_ch, (p_ch = P(++p)) != ']');
          if (matched == negated || t_ch == '/') return kNoMatch;
          continue;
        }
        default:
          if (t_ch != p_ch) return kNoMatch;
          continue;
      }
    }
    return T(t) != 0 ? kNoMatch : kMatch;
  }

  std::string_view p_, t_;
};

size_t literal_prefix_len(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && !glob_special(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// git trims trailing spaces unless the last one is escaped with "\".
void trim_trailing_spaces(std::string& line) {
  size_t last_space = std::string::npos;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ') {
      if (last_space == std::string::npos) last_space = i;
    } else if (c == '\\') {
      ++i;
      if (i >= line.size()) return;
      last_space = std::string::npos;
    } else {
      last_space = std::string::npos;
    }
  }
  if (last_space != std::string::npos) line.resize(last_space);
}

std::optional<std::string> read_all(const fs::path& file) { return read_regular_file(file); }

// ---- git configuration ------------------------------------------------------

// Reads core.excludesFile from one git config file into `value` (the last
// setting wins). Handles sections, quoting, escapes, comments and line
// continuations; include directives are not followed.
void scan_config(std::string_view text, std::optional<std::string>& value) {
  size_t i = 0, n = text.size();
  bool in_core = false;
  auto skip_blank = [&] {
    while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  auto skip_line = [&] {
    while (i < n && text[i] != '\n') ++i;
    if (i < n) ++i;
  };
  while (i < n) {
    skip_blank();
    if (i >= n) break;
    char c = text[i];
    if (c == '\n') {
      ++i;
      continue;
    }
    if (c == '#' || c == ';') {
      skip_line();
      continue;
    }
    if (c == '[') {
      size_t close = text.find(']', i);
      if (close == std::string_view::npos) return;  // malformed: git rejects the file
      std::string name(text.substr(i + 1, close - i - 1));
      for (auto& ch : name) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
      in_core = name == "core";
      i = close + 1;
      continue;  // a key may follow on the same line
    }
    // A key: letters, digits and "-".
    size_t key_start = i;
    while (i < n && (isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-')) ++i;
    std::string key(text.substr(key_start, i - key_start));
    for (auto& ch : key) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    if (key.empty()) {
      skip_line();
      continue;
    }
    skip_blank();
    std::string val;
    if (i < n && text[i] == '=') {
      ++i;
      skip_blank();
      bool quoted = false;
      size_t pending_space = 0;  // unquoted inner blanks are kept, trailing ones dropped
      while (i < n) {
        char ch = text[i];
        if (ch == '\n' && !quoted) break;
        if (!quoted && (ch == '#' || ch == ';')) break;  // the rest of the line is a comment
        ++i;
        if (ch == '\\') {
          if (i >= n) break;
          char e = text[i++];
          if (e == '\n') continue;  // line continuation
          if (e == '\r' && i < n && text[i] == '\n') {
            ++i;
            continue;
          }
          val.append(pending_space, ' ');
          pending_space = 0;
          val.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'b' ? '\b' : e);
          continue;
        }
        if (ch == '"') {
          quoted = !quoted;
          continue;
        }
        if (!quoted && (ch == ' ' || ch == '\t' || ch == '\r')) {
          ++pending_space;
          continue;
        }
        val.append(pending_space, ' ');
        pending_space = 0;
        val.push_back(ch);
      }
    }
    if (in_core && key == "excludesfile") value = val;
    skip_line();
  }
}

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::optional<fs::path> home_dir() {
  if (auto h = env("HOME")) return fs::path(*h);
  return std::nullopt;
}

std::optional<fs::path> expand_user(const std::string& value) {
  if (value.empty()) return std::nullopt;
  if (value[0] != '~') return fs::path(value);
  size_t slash = value.find('/');
  std::string user = value.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string rest = slash == std::string::npos ? "" : value.substr(slash + 1);
  std::optional<fs::path> base;
  if (user.empty()) {
    base = home_dir();
  } else if (const struct passwd* pw = ::getpwnam(user.c_str())) {
    base = fs::path(pw->pw_dir);
  }
  if (!base) return std::nullopt;
  return rest.empty() ? *base : *base / rest;
}

}  // namespace

bool wildmatch(std::string_view pattern, std::string_view text) { return Wild(pattern, text).run() == kMatch; }

IgnoreRules IgnoreRules::parse(std::string_view content) {
  IgnoreRules out;
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view raw = content.substr(start, end - start);
    start = end + 1;
    if (raw.empty() || raw[0] == '#') continue;
    if (raw.back() == '\r') raw.remove_suffix(1);
    // git patterns are C strings: a NUL byte ends the line's pattern.
    if (size_t nul = raw.find('\0'); nul != std::string_view::npos) raw = raw.substr(0, nul);
    std::string line(raw);
    trim_trailing_spaces(line);
    if (line.empty()) continue;

    Rule r;
    std::string_view p = line;
    if (p[0] == '!') {
      r.negative = true;
      p.remove_prefix(1);
    }
    if (!p.empty() && p.back() == '/') {
      r.dir_only = true;
      p.remove_suffix(1);
    }
    if (p.empty()) continue;  // can never match anything
    r.basename_only = p.find('/') == std::string_view::npos;
    r.pattern = std::string(p);
    r.literal_len = literal_prefix_len(p);
    r.ends_with = p[0] == '*' && literal_prefix_len(p.substr(1)) == p.size() - 1;
    out.rules_.push_back(std::move(r));
  }
  return out;
}

std::optional<IgnoreRules> IgnoreRules::read(const fs::path& file) {
  auto text = read_all(file);
  if (!text) return std::nullopt;
  return parse(*text);
}

IgnoreMatch IgnoreRules::matched(std::string_view path, bool is_dir) const {
  if (path.empty()) return IgnoreMatch::None;
  size_t slash = path.rfind('/');
  std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (size_t k = rules_.size(); k-- > 0;) {
    const Rule& r = rules_[k];
    if (r.dir_only && !is_dir) continue;
    std::string_view pat = r.pattern;
    bool hit;
    if (r.basename_only) {
      if (r.literal_len == pat.size()) {
        hit = base == pat;
      } else if (r.ends_with) {
        hit = base.size() >= pat.size() - 1 && base.ends_with(pat.substr(1));
      } else {
        hit = wildmatch(pat, base);
      }
    } else {
      // Anchored to the file's directory. A leading "/" only marks that.
      size_t prefix = r.literal_len;
      if (pat[0] == '/') {
        pat.remove_prefix(1);
        --prefix;
      }
      std::string_view name = path;
      if (prefix > 0) {
        // git compares the wildcard-free head literally first and hands
        // only the rest to wildmatch, so a "**" right after that head counts
        // as starting the pattern.
        if (prefix > name.size() || name.substr(0, prefix) != pat.substr(0, prefix)) continue;
        pat.remove_prefix(prefix);
        name.remove_prefix(prefix);
        if (pat.empty() && name.empty()) {
          hit = true;
        } else {
          hit = wildmatch(pat, name);
        }
      } else {
        hit = wildmatch(pat, name);
      }
    }
    if (hit) return r.negative ? IgnoreMatch::Whitelist : IgnoreMatch::Ignore;
  }
  return IgnoreMatch::None;
}

std::optional<fs::path> global_excludes_file() {
  std::optional<std::string> value;
  if (!env("GIT_CONFIG_NOSYSTEM")) {
    fs::path system = env("GIT_CONFIG_SYSTEM").value_or("/etc/gitconfig");
    if (auto t = read_all(system)) scan_config(*t, value);
  }
  auto home = home_dir();
  if (auto global = env("GIT_CONFIG_GLOBAL")) {
    if (auto t = read_all(*global)) scan_config(*t, value);
  } else {
    // git reads the XDG file first and ~/.gitconfig after it, so the latter wins.
    std::optional<fs::path> xdg;
    if (auto x = env("XDG_CONFIG_HOME")) {
      xdg = fs::path(*x) / "git" / "config";
    } else if (home) {
      xdg = *home / ".config" / "git" / "config";
    }
    if (xdg) {
      if (auto t = read_all(*xdg)) scan_config(*t, value);
    }
    if (home) {
      if (auto t = read_all(*home / ".gitconfig")) scan_config(*t, value);
    }
  }
  if (value) return expand_user(*value);
  if (auto x = env("XDG_CONFIG_HOME")) return fs::path(*x) / "git" / "ignore";
  if (home) return *home / ".config" / "git" / "ignore";
  return std::nullopt;
}

std::optional<fs::path> git_common_dir(const fs::path& dir) {
  fs::path dot_git = dir / ".git";
  struct stat st;
  if (::stat(dot_git.c_str(), &st) != 0) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return dot_git;
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  // A ".git" file ("gitdir: <path>") marks a linked worktree or a submodule.
  auto text = read_all(dot_git);
  if (!text || !text->starts_with("gitdir:")) return std::nullopt;
  std::string target = text->substr(7);
  while (!target.empty() && (target.back() == '\n' || target.back() == '\r' || target.back() == ' ')) target.pop_back();
  size_t lead = target.find_first_not_of(' ');
  if (lead == std::string::npos) return std::nullopt;
  fs::path gitdir(target.substr(lead));
  if (gitdir.is_relative()) gitdir = dir / gitdir;
  if (auto common = read_all(gitdir / "commondir")) {
    std::string c = *common;
    while (!c.empty() && (c.back() == '\n' || c.back() == '\r')) c.pop_back();
    fs::path cp(c);
    return cp.is_relative() ? gitdir / cp : cp;
  }
  return gitdir;
}

}  // namespace norvo::atlas::scanner
