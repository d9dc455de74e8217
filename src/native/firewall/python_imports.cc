// The scanner trims with Unicode white space, the same rule as everywhere
// else in the firewall, and splits on ASCII delimiters only, so it can work
// on the UTF-8 bytes directly.
#include "firewall/python_imports.h"

#include "core/logging.h"
#include "util/read_text.h"
#include "util/text.h"

namespace norvo::firewall {

namespace {

// Far above any real source file. Without a bound, an endless device or a
// giant file of import lines would exhaust memory (every import becomes a
// record and possibly a Python dict) instead of producing an error.
constexpr size_t kMaxSourceBytes = size_t{64} << 20;

void scan_import_line(std::string_view rest, uint32_t line, std::vector<ImportRecord>& out) {
  rest = util::trim(rest);
  while (true) {
    size_t comma = rest.find(',');
    std::string_view part = util::trim(rest.substr(0, comma));
    if (size_t as = part.find(" as "); as != std::string_view::npos) part = util::trim(part.substr(0, as));
    if (!part.empty()) out.push_back({std::string(part), line});
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace

std::vector<ImportRecord> scan_imports(std::string_view text) {
  std::vector<ImportRecord> out;
  uint32_t number = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = util::trim(line);
    if (line.empty() || line.front() == '#' || line.front() == '"' || line.front() == '\'') continue;
    if (line.starts_with("import ")) {
      scan_import_line(line.substr(7), number, out);
    } else if (line.starts_with("from ")) {
      std::string_view rest = util::trim(line.substr(5));
      size_t kw = rest.find(" import ");
      if (kw != std::string_view::npos) out.push_back({std::string(util::trim(rest.substr(0, kw))), number});
    }
  }
  return out;
}

std::expected<FileAnalysis, std::string> analyze_file(const ImportValidator& validator, std::string_view file_path) {
  auto text = util::read_utf8_file(file_path, kMaxSourceBytes);
  if (!text) return std::unexpected("Failed to parse file: Cannot read file: " + text.error());
  std::vector<ImportRecord> records = scan_imports(*text);
  text->clear();
  text->shrink_to_fit();

  FileAnalysis report;
  report.imports_found = records.size();
  for (auto& rec : records) {
    ValidationResult r = validator.classify(rec.module);
    if (!is_allowed(r)) report.violations.push_back({std::move(rec.module), rec.line, std::move(r)});
  }
  NLOG_INFO(kLogTarget, "File analyzed", {"file", file_path}, {"violations", report.violations.size()});
  return report;
}

}  // namespace norvo::firewall
