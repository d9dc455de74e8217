// Parser driver: read, hash, cache check, ast.parse, the three walks.
#include "atlas/parser/python_ast.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "atlas/parser/ast_access.h"
#include "atlas/parser/walkers.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas::parser {

namespace {

constexpr const char* kTarget = "norvo_atlas::parser::python_ast";

// Disables the cycle collector for its lifetime, restoring the caller's setting.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Holds the interpreter lock for its lifetime when the thread did not hold it
// already; a thread that holds it is left alone.
class GilGuard {
 public:
  GilGuard() {
    if (!PyGILState_Check()) {
      state_ = PyGILState_Ensure();
      acquired_ = true;
    }
  }
  ~GilGuard() {
    if (acquired_) PyGILState_Release(state_);
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_{};
  bool acquired_ = false;
};

// The whole file; the text of the I/O error otherwise.
std::expected<std::string, std::string> read_file(const std::filesystem::path& path) {
  // O_NONBLOCK: a path that became a FIFO or device after discovery must not
  // block the open; anything but a regular file is refused before reading.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(os_error_text(errno));
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (S_ISDIR(st.st_mode)) return std::unexpected(os_error_text(EISDIR));
    return std::unexpected(std::string("not a regular file"));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return std::unexpected(os_error_text(err));
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace

// ---- helpers ------------------------------------------------------------------------

uint64_t count_lines(std::string_view text) {
  uint64_t n = 0;
  for (char c : text)
    if (c == '\n') ++n;
  if (!text.empty() && text.back() != '\n') ++n;
  return n;
}

uint64_t syntax_error_line(std::string_view message) {
  // The host's text ends with "(<unknown>, line N)"; an earlier "line " not
  // followed by digits ("line continuation character") must not hide it.
  size_t pos = 0;
  while ((pos = message.find("line ", pos)) != std::string_view::npos) {
    size_t i = pos + 5;
    if (i < message.size() && message[i] >= '0' && message[i] <= '9') {
      uint64_t v = 0;
      for (; i < message.size() && message[i] >= '0' && message[i] <= '9'; ++i) {
        uint64_t d = static_cast<uint64_t>(message[i] - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return 0;
        v = v * 10 + d;
      }
      return v;
    }
    pos += 5;
  }
  return 0;
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.resize(static_cast<size_t>(len) * 2);
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kHex[md[i] >> 4];
    out[2 * i + 1] = kHex[md[i] & 0xF];
  }
  return out;
}

// ---- parser ---------------------------------------------------------------------------

void PythonAstParser::ContextDeleter::operator()(AstContext* cx) const {
  if (!cx) return;
  // After finalisation the references cannot be dropped safely; leak them.
  if (!Py_IsInitialized() || _Py_IsFinalizing()) return;
  GilGuard gil;
  delete cx;
}

PythonAstParser::PythonAstParser(PythonAstParser&&) noexcept = default;
PythonAstParser& PythonAstParser::operator=(PythonAstParser&&) noexcept = default;
PythonAstParser::~PythonAstParser() = default;

Result<PythonAstParser> PythonAstParser::create() {
  static constexpr const char* kPrefix = "Failed to import Python ast module: ";
  if (!Py_IsInitialized())
    return fail(AtlasError::parse_failed("", std::string(kPrefix) + "the interpreter is not initialized"));
  GilGuard gil;
  PyRef ast = PyRef::steal(PyImport_ImportModule("ast"));
  if (!ast) return fail(AtlasError::parse_failed("", kPrefix + exception_text()));
  AstContext* cx = AstContext::create(ast.get());
  if (!cx) return fail(AtlasError::parse_failed("", kPrefix + exception_text()));
  PythonAstParser parser;
  parser.cx_.reset(cx);
  return parser;
}

Result<ParseResult> PythonAstParser::parse_file(const std::filesystem::path& path) {
  auto text = read_file(path);
  if (text && !util::is_utf8(*text)) text = std::unexpected(std::string("stream did not contain valid UTF-8"));
  if (!text) return fail(AtlasError::parse_failed(util::path_text(path), "Failed to read file: " + text.error()));

  ParseResult result;
  result.content_hash = sha256_hex(*text);
  result.line_count = count_lines(*text);

  if (auto it = cache_.find(path); it != cache_.end() && it->second == result.content_hash) {
    NLOG_TRACE(kTarget, "Using cached parse result", {"path", util::path_text(path)});
    result.from_cache = true;
    return result;
  }
  if (!cx_) return fail(AtlasError::parse_failed(util::path_text(path), "Failed to import ast: parser was moved from"));
  AstContext& cx = *cx_;

  {
    // Declared first so that it is released after every reference below.
    GilGuard gil;
    PyRef ast = PyRef::steal(PyImport_ImportModule("ast"));
    if (!ast) return fail(AtlasError::parse_failed(util::path_text(path), "Failed to import ast: " + exception_text()));
    PyRef parse = PyRef::steal(PyObject_GetAttr(ast.get(), cx.n.parse));
    if (!parse)
      return fail(AtlasError::parse_failed(util::path_text(path), "Failed to import ast: " + exception_text()));
    // A UTF-8 byte order mark is valid at the start of a Python source file,
    // but ast.parse of a str rejects U+FEFF, so it is not handed over.
    std::string_view code = *text;
    if (code.starts_with("\xEF\xBB\xBF")) code.remove_prefix(3);
    PyRef source = PyRef::steal(PyUnicode_DecodeUTF8(code.data(), static_cast<Py_ssize_t>(code.size()), nullptr));
    // Syntax trees hold no reference cycles and are freed by reference counts
    // alone, so the cycle collector is paused while one is built and walked:
    // its passes over the young nodes were a tenth of a scan's time.
    GcPause gc_pause;
    PyRef module;
    if (source) module = PyRef::steal(PyObject_CallOneArg(parse.get(), source.get()));
    if (!module) {
      std::string message = exception_text();
      uint64_t line = syntax_error_line(message);
      return fail(AtlasError::syntax_error(util::path_text(path), line, std::move(message)));
    }
    // The source text is no longer needed; drop it before the walks.
    source = PyRef();
    *text = std::string();

    result.definitions = NORVO_TRY(extract_definitions(cx, module.get()));
    {
      PyRef body = NORVO_TRY(req_attr(module.get(), cx.n.body, "Failed to get AST body: "));
      extract_imports(cx, ListView(std::move(body)), result.imports);
    }
    {
      PyRef body = NORVO_TRY(req_attr(module.get(), cx.n.body, "Failed to get AST body: "));
      NORVO_TRY(extract_calls(cx, ListView(std::move(body)), result.calls));
    }
  }

  cache_.insert_or_assign(path, result.content_hash);
  NLOG_DEBUG(kTarget, "Parsed file", {"path", util::path_text(path)}, {"definitions", result.definitions.size()},
             {"imports", result.imports.size()}, {"calls", result.calls.size()});
  return result;
}

}  // namespace norvo::atlas::parser
