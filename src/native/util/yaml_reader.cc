#include "util/yaml_reader.h"

#include <limits>
#include <new>
#include <sstream>
#include <unordered_map>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include "util/levenshtein.h"

namespace norvo::util::yaml {

std::string at(const Mark& m) {
  if (m.is_null()) return {};
  return fmt::format(" at line {} column {}", m.line + 1, m.column + 1);
}

namespace {

Mark mark_of(const YAML::Mark& m) {
  if (m.is_null()) return {};
  return {m.line, m.column};
}

// YAML admits only printable characters. Checking first also keeps yaml-cpp
// from guessing UTF-16 or UTF-32 from NUL bytes in what is UTF-8 text.
void check_characters(std::string_view text) {
  size_t i = 0, line = 0, column = 0;
  while (i < text.size()) {
    char32_t c = next_scalar(text, i);
    bool printable = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0x7E) || c == 0x85 ||
                     (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    if (!printable) throw Failure{"control characters are not allowed", {static_cast<int>(line), static_cast<int>(column)}};
    if (c == '\n') line++, column = 0;
    else column++;
  }
}

class StoreBuilder : public YAML::EventHandler {
 public:
  StoreBuilder(Document& doc, const Options& options) : doc_(doc), options_(options) {}

  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents_++ > 0) throw Failure{std::string(options_.second_document), mark_of(mark)};
  }
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { add(Node::Null, mark, anchor, false, {}); }

  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    auto it = anchors_.find(anchor);
    if (it == anchors_.end()) throw Failure{"unknown anchor", mark_of(mark)};
    for (uint32_t open : open_)
      if (open == it->second) throw Failure{"recursive alias", mark_of(mark)};
    attach(it->second);
  }

  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    add(Node::Scalar, mark, anchor, tag == "?", value);
  }

  void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open(Node::Seq, mark, anchor);
  }
  void OnSequenceEnd() override { open_.pop_back(); }

  void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open(Node::Map, mark, anchor);
  }
  void OnMapEnd() override { open_.pop_back(); }

 private:
  uint32_t add(Node::Kind kind, const YAML::Mark& mark, YAML::anchor_t anchor, bool plain, const std::string& text) {
    std::vector<Node>& nodes = doc_.nodes;
    if (nodes.size() >= options_.max_nodes) throw Failure{"document has too many nodes", mark_of(mark)};
    Node n;
    n.kind = kind;
    n.plain = plain;
    n.text = text;
    n.mark = mark_of(mark);
    nodes.push_back(std::move(n));
    auto idx = static_cast<uint32_t>(nodes.size() - 1);
    if (anchor != YAML::NullAnchor) anchors_[anchor] = idx;
    attach(idx);
    return idx;
  }

  void open(Node::Kind kind, const YAML::Mark& mark, YAML::anchor_t anchor) {
    // Refusing here, before the parser descends, is what bounds its recursion.
    if (open_.size() >= options_.max_depth) throw Failure{"recursion limit exceeded", mark_of(mark)};
    uint32_t idx = add(kind, mark, anchor, false, {});
    open_.push_back(idx);
  }

  void attach(uint32_t idx) {
    if (open_.empty()) {
      doc_.root = idx;
    } else {
      doc_.nodes[open_.back()].items.push_back(idx);
    }
  }

  Document& doc_;
  const Options& options_;
  std::vector<uint32_t> open_;
  std::unordered_map<YAML::anchor_t, uint32_t> anchors_;
  int documents_ = 0;
};

}  // namespace

std::expected<void, std::string> read(std::string_view text, const Options& options,
                                      const std::function<void(const Document&)>& map) {
  try {
    if (options.refuse_control_characters) check_characters(text);
    Document doc;
    std::istringstream in{std::string(text)};
    YAML::Parser parser(in);
    StoreBuilder builder(doc, options);
    while (parser.HandleNextDocument(builder)) {
    }
    map(doc);
    return {};
  } catch (const Failure& f) {
    return std::unexpected(f.message + at(f.mark));
  } catch (const YAML::Exception& e) {
    return std::unexpected(e.msg + at(mark_of(e.mark)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::string("out of memory"));
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

// ---- typed reads ------------------------------------------------------------

void FieldsBase::fail(uint32_t v, std::string_view path, std::string_view message) const {
  throw Failure{path.empty() ? std::string(message) : fmt::format("{}: {}", path, message), nodes_[v].mark};
}

void FieldsBase::spend(uint32_t v, std::string_view path) {
  if (++spent_ > options_.max_values) fail(v, path, "repetition limit exceeded");
}

bool FieldsBase::is_null(uint32_t v) const {
  const Node& n = nodes_[v];
  if (n.kind == Node::Null) return true;
  return options_.plain_null_words && n.kind == Node::Scalar && n.plain &&
         (n.text.empty() || n.text == "~" || n.text == "null" || n.text == "Null" || n.text == "NULL");
}

std::string FieldsBase::describe(uint32_t v) const {
  const Node& n = nodes_[v];
  if (is_null(v)) return "unit value";
  switch (n.kind) {
    case Node::Seq: return "sequence";
    case Node::Map: return "map";
    default: break;
  }
  return fmt::format("string \"{}\"", n.text.size() > 64 ? n.text.substr(0, 64) + "..." : n.text);
}

void FieldsBase::require(uint32_t v, std::string_view path, bool present, std::string_view name) const {
  if (!present) fail(v, path, fmt::format("missing field `{}`", name));
}

std::string FieldsBase::text(uint32_t v, std::string_view path) {
  spend(v, path);
  const Node& n = nodes_[v];
  if (n.kind != Node::Scalar || is_null(v)) fail(v, path, fmt::format("invalid type: {}, expected a string", describe(v)));
  return n.text;
}

bool FieldsBase::boolean(uint32_t v, std::string_view path) {
  spend(v, path);
  const Node& n = nodes_[v];
  if (n.kind == Node::Scalar && n.plain) {
    if (n.text == "true" || n.text == "True" || n.text == "TRUE") return true;
    if (n.text == "false" || n.text == "False" || n.text == "FALSE") return false;
  }
  fail(v, path, fmt::format("invalid type: {}, expected a boolean", describe(v)));
}

std::optional<uint64_t> FieldsBase::plain_unsigned(uint32_t v, std::string_view path, bool binary) const {
  const Node& n = nodes_[v];
  if (n.kind != Node::Scalar || !n.plain) return std::nullopt;
  std::string_view t = n.text;
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || (binary && t[1] == 'b'))) {
    base = t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2;
    t.remove_prefix(2);
  }
  if (t.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : t) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (d >= base) return std::nullopt;
    if (value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
      fail(v, path, fmt::format("invalid value: integer `{}` out of range for u64", n.text));
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  return value;
}

}  // namespace norvo::util::yaml
