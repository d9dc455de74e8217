// Bounded YAML reading for the project's own configuration files.
//
// `read` runs yaml-cpp's event parser into a flat node store of our own (no
// recursion of ours, no yaml-cpp node tree) and hands the document to a
// mapper, which fills the caller's records through `Fields`. The caller's
// `Options` bound the input before anything recursive or large can happen:
// nesting depth and node count while parsing, and the number of values mapped
// (an alias counts each time it is used) while mapping; control characters
// can be refused up front, and only one document is read. `max_bytes` is the
// caller's file-size limit, kept here so each caller's limits stand together.
//
// Every refusal, yaml-cpp error and mapping failure comes back as one text,
// the message followed by " at line L column C" where the position is known:
// "document has too many nodes", "recursion limit exceeded", "unknown anchor",
// "recursive alias", "repetition limit exceeded",
// "control characters are not allowed", `Options::second_document`, and from
// the mapping "duplicate field `k`", "missing field `k`", "invalid type: ...",
// "unknown variant `w`, expected one of ...", each prefixed by the field path
// ("endpoints.blocking_calls[0]: missing field `pattern`").
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

namespace norvo::util::yaml {

struct Options {
  size_t max_depth = 0;      // open sequences and maps at once
  size_t max_nodes = 0;      // nodes stored, aliases not counted
  size_t max_values = 0;     // values mapped, aliases counted each time they are used
  size_t max_bytes = 0;      // the largest file the caller reads
  bool refuse_control_characters = false;
  bool plain_null_words = false;  // plain `~`, `null`, `Null`, `NULL` and empty scalars read as null
  std::string_view second_document;  // the message when a second document starts
};

// Zero-based; line -1 where no position is known.
struct Mark {
  int line = -1;
  int column = -1;
  bool is_null() const { return line < 0; }
};

// " at line L column C" (one-based), empty for a null mark.
std::string at(const Mark& m);

struct Node {
  enum Kind : uint8_t { Null, Scalar, Seq, Map };
  Kind kind = Null;
  bool plain = false;           // unquoted scalar: subject to null/bool/int resolution
  std::string text;             // Scalar
  std::vector<uint32_t> items;  // Seq: elements; Map: key, value, key, value, ...
  Mark mark;
};

struct Document {
  std::vector<Node> nodes;
  std::optional<uint32_t> root;  // none for an empty stream
};

// Thrown by the reader and by mappers; `read` turns it into its error text.
struct Failure {
  std::string message;
  Mark mark;
};

// Parses `text` under `options` and calls `map` on the document. The error is
// the text of the first failure (see the top of this file), "out of memory",
// or the text of any other exception `map` lets out.
std::expected<void, std::string> read(std::string_view text, const Options& options,
                                      const std::function<void(const Document&)>& map);

// One known key of a record and where its value goes.
template <class T>
struct Key {
  std::string_view name;
  T* target;
  bool required = false;
  bool given = false;
};

template <class T>
Key<T> key(std::string_view name, T& target) {
  return {name, &target, false};
}

// A key whose absence is "missing field `name`".
template <class T>
Key<T> required(std::string_view name, T& target) {
  return {name, &target, true};
}

// The typed reads shared by every mapper. Each read spends one value of the
// budget (`max_values`) and throws Failure with the field path on mismatch.
class FieldsBase {
 public:
  FieldsBase(const Document& doc, const Options& options) : nodes_(doc.nodes), options_(options) {}

 protected:
  const Node& node(uint32_t v) const { return nodes_[v]; }
  [[noreturn]] void fail(uint32_t v, std::string_view path, std::string_view message) const;
  void spend(uint32_t v, std::string_view path);
  // A null node, or with `plain_null_words` a plain scalar spelling null.
  bool is_null(uint32_t v) const;
  // "unit value", "sequence", "map" or `string "text"` (cut at 64 bytes).
  std::string describe(uint32_t v) const;
  void require(uint32_t v, std::string_view path, bool present, std::string_view name) const;

  std::string text(uint32_t v, std::string_view path);
  bool boolean(uint32_t v, std::string_view path);
  // The value of a plain scalar of digits: optional '+', then an optional 0x
  // or 0o prefix (and 0b when `binary` is set). Fails with "invalid value:
  // integer `t` out of range for u64" on overflow; nothing for any other node.
  std::optional<uint64_t> plain_unsigned(uint32_t v, std::string_view path, bool binary) const;

  static std::string join(std::string_view path, std::string_view key) {
    return path.empty() ? std::string(key) : fmt::format("{}.{}", path, key);
  }

  // Visits the pairs of a mapping; `field(key, value, path of the value)`
  // returns false for keys it does not know, which are ignored. A known key
  // given twice is an error.
  template <class F>
  void record(uint32_t v, std::string_view expected, std::string_view path, F&& field) {
    spend(v, path);
    const Node& n = nodes_[v];
    if (n.kind != Node::Map) fail(v, path, fmt::format("invalid type: {}, expected {}", describe(v), expected));
    std::vector<std::string_view> seen;
    for (size_t i = 0; i + 1 < n.items.size(); i += 2) {
      const Node& k = nodes_[n.items[i]];
      if (k.kind != Node::Scalar) continue;  // non-text keys cannot name a field
      std::string_view name = k.text;
      if (!field(name, n.items[i + 1], join(path, name))) continue;
      for (std::string_view s : seen)
        if (s == name) fail(n.items[i], path, fmt::format("duplicate field `{}`", name));
      seen.push_back(name);
    }
  }

  // One of the words of an enumeration.
  template <class E, size_t N>
  E word(uint32_t v, std::string_view path, const std::pair<std::string_view, E> (&words)[N]) {
    spend(v, path);
    const Node& n = nodes_[v];
    std::string expected;
    for (size_t i = 0; i < N; ++i) expected += fmt::format("{}`{}`", i ? ", " : "", words[i].first);
    if (n.kind != Node::Scalar || is_null(v))
      fail(v, path, fmt::format("invalid type: {}, expected one of {}", describe(v), expected));
    for (const auto& [w, e] : words)
      if (n.text == w) return e;
    fail(v, path, fmt::format("unknown variant `{}`, expected one of {}", n.text, expected));
  }

 private:
  const std::vector<Node>& nodes_;
  const Options& options_;
  size_t spent_ = 0;
};

template <class T>
inline constexpr bool is_vector_v = false;
template <class T, class A>
inline constexpr bool is_vector_v<std::vector<T, A>> = true;

// Record mapping for a mapper `Self` deriving from Fields<Self>: `fields`
// reads the keys of a record into their targets by type. bool, std::string
// and vectors are read here; any other type T is reset to T{} and read by
// `Self::get(T&, node, path)`, which the mapper provides (and makes reachable
// by befriending Fields<Self>).
template <class Self>
class Fields : public FieldsBase {
 public:
  using FieldsBase::FieldsBase;

 protected:
  template <class T>
  void value(T& out, uint32_t v, std::string_view path) {
    if constexpr (std::is_same_v<T, bool>) out = boolean(v, path);
    else if constexpr (std::is_same_v<T, std::string>) out = text(v, path);
    else if constexpr (is_vector_v<T>) out = list<typename T::value_type>(v, path);
    else {
      // A record given in the file starts from its struct defaults, not from
      // what the target held (a built-in section, say).
      out = T{};
      static_cast<Self*>(this)->get(out, v, path);
    }
  }

  template <class T>
  std::vector<T> list(uint32_t v, std::string_view path) {
    spend(v, path);
    const Node& n = node(v);
    if (n.kind != Node::Seq) fail(v, path, fmt::format("invalid type: {}, expected a sequence", describe(v)));
    std::vector<T> out;
    out.reserve(n.items.size());
    for (size_t i = 0; i < n.items.size(); ++i) {
      T item{};
      value(item, n.items[i], fmt::format("{}[{}]", path, i));
      out.push_back(std::move(item));
    }
    return out;
  }

  // Reads the known keys of the mapping at `v`; unknown keys are ignored,
  // required keys are checked in the order given.
  template <class... T>
  void fields(uint32_t v, std::string_view expected, std::string_view path, Key<T>... keys) {
    record(v, expected, path, [&](std::string_view name, uint32_t f, const std::string& sub) {
      auto one = [&](auto& k) {
        if (name != k.name) return false;
        value(*k.target, f, sub);
        k.given = true;
        return true;
      };
      return (one(keys) || ...);
    });
    (require(v, path, !keys.required || keys.given, keys.name), ...);
  }
};

}  // namespace norvo::util::yaml
