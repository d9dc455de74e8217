// Drives SecurityPolicy::is_path_allowed from a line protocol on standard
// input (fields separated by tabs), one answer line per "check":
//   root <path>                  the project root (default "/project")
//   defaults                     back to the default [security] settings
//   strict 0|1                   strict_mode
//   set <key> [<value>...]       replace one list: allowed_extensions,
//                                denied_extensions, denied_directories,
//                                denied_file_patterns (no value: empty)
//   check <path>                 prints "allow" or "deny"
// Logging is on at WARN, so refusals by invalid patterns show on stderr.
#include <iostream>
#include <string>
#include <vector>

#include "atlas/scanner/security.h"
#include "core/logging.h"

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

}  // namespace

int main() {
  norvo::log::init("warn");
  std::string root = "/project";
  norvo::SecurityConfig cfg;
  std::string line;
  while (std::getline(std::cin, line)) {
    auto f = split_tabs(line);
    const std::string& cmd = f[0];
    if (cmd == "root" && f.size() == 2) {
      root = f[1];
    } else if (cmd == "defaults") {
      cfg = norvo::SecurityConfig{};
    } else if (cmd == "strict" && f.size() == 2) {
      cfg.strict_mode = f[1] == "1";
    } else if (cmd == "set" && f.size() >= 2) {
      std::vector<std::string> values(f.begin() + 2, f.end());
      if (f[1] == "allowed_extensions") cfg.allowed_extensions = values;
      else if (f[1] == "denied_extensions") cfg.denied_extensions = values;
      else if (f[1] == "denied_directories") cfg.denied_directories = values;
      else if (f[1] == "denied_file_patterns") cfg.denied_file_patterns = values;
      else {
        std::cerr << "unknown key " << f[1] << "\n";
        return 2;
      }
    } else if (cmd == "check" && f.size() == 2) {
      norvo::atlas::scanner::SecurityPolicy policy(root, cfg);
      std::cout << (policy.is_path_allowed(f[1]) ? "allow" : "deny") << "\n" << std::flush;
    } else {
      std::cerr << "bad command: " << line << "\n";
      return 2;
    }
  }
  return 0;
}
