#include "atlas/edges.h"

#include <array>
#include <cstddef>

namespace norvo::atlas {

namespace {
constexpr std::array<std::string_view, 4> kImportTypeTexts = {"module", "from", "wildcard", "relative"};
constexpr std::array<std::string_view, 7> kCallTypeTexts = {"direct", "async",  "callback", "method",
                                                            "super",  "static", "none"};
}  // namespace

std::string_view import_type_text(ImportType t) {
  auto i = static_cast<size_t>(t);
  return i < kImportTypeTexts.size() ? kImportTypeTexts[i] : kImportTypeTexts[0];
}

ImportType import_type_from_text(std::string_view text) {
  if (text == "from") return ImportType::From;
  if (text == "wildcard" || text == "star") return ImportType::Wildcard;
  if (text == "relative") return ImportType::Relative;
  return ImportType::Module;
}

std::string_view call_type_text(CallType t) {
  auto i = static_cast<size_t>(t);
  return i < kCallTypeTexts.size() ? kCallTypeTexts[i] : kCallTypeTexts.back();
}

CallType call_type_from_text(std::string_view text) {
  for (size_t i = 0; i < static_cast<size_t>(CallType::None); ++i)
    if (kCallTypeTexts[i] == text) return static_cast<CallType>(i);
  return CallType::None;
}

}  // namespace norvo::atlas
