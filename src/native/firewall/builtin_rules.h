// The firewall's built-in tables: the production-default policy, the
// standard-library module list and the popular packages used by the
// similarity check. Constants of the build; nothing is read from disk.
#pragma once

#include <array>
#include <string_view>

#include "firewall/policy.h"

namespace norvo::firewall {

// A fresh copy of the production defaults (version "2.0", strict, 120
// allowed packages, 27 blocked patterns, 8 known-typo groups).
Policy production_defaults();

// The standard-library module list as one text of 300 lines, each ending in
// a line feed. The validator splits it into its set of top-level names.
std::string_view stdlib_module_text();

// The 26 popular package names, in the order that decides ties.
extern const std::array<std::string_view, 26> kPopularPackages;

}  // namespace norvo::firewall
