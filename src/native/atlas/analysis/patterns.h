// Architectural pattern detection from artifact names alone: CRUD classes and
// modules, repositories, factories, service-layer classes and singletons. No
// source text, edges or freshness check are involved; the detector reads the
// artifacts of the last scan and the results replace the `patterns` table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/artifact.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas;

// Only the first five are ever detected; the rest exist in the vocabulary.
enum class PatternType : uint8_t {
  Crud,
  Repository,
  Factory,
  ServiceLayer,
  Singleton,
  Strategy,
  Observer,
  Decorator,
  Adapter,
  Facade,
};

// "crud", "repository", "factory", "service_layer", "singleton", "strategy",
// "observer", "decorator", "adapter", "facade".
std::string_view pattern_type_text(PatternType type);

// Tolerant read-back of a stored text: exact (case-sensitive) match of the
// ten texts, "service" as ServiceLayer, anything else Crud.
PatternType pattern_type_from_text(std::string_view text);

struct DetectedPattern {
  PatternType pattern_type = PatternType::Crud;
  std::string name;       // group key, or file stem for module CRUD
  std::string file_path;  // a file of the group
  double confidence = 0.0;
  std::vector<std::string> artifacts;   // qualified names; CRUD only
  std::vector<std::string> indicators;  // CRUD verbs found; CRUD only
  std::string explanation;
};

// Runs the six passes (class CRUD, module CRUD, repository, factory, service
// layer, singleton) over `artifacts` and keeps the patterns whose confidence
// is at least `min_confidence`, in pass order. Groups are visited in order of
// their first appearance in `artifacts`, so equal input gives equal output.
std::vector<DetectedPattern> detect_patterns_in(const std::vector<Artifact>& artifacts, double min_confidence);

// The file stem used as the name of a module CRUD pattern: the last path
// component without its final extension, or the whole text when the path has
// no final component (it is empty, "/", or ends in "..").
std::string file_stem_text(std::string_view path);

// Detects over every stored artifact with minimum confidence 0.5 and replaces
// the stored patterns with the result (also when it is empty). With no
// artifacts at all, returns [] and leaves the stored patterns alone. Runs in
// the "detect_patterns" span.
Result<std::vector<DetectedPattern>> detect_patterns(Atlas& atlas);

// The stored patterns, confidence descending then name. Stored type texts go
// through pattern_type_from_text; a NULL explanation reads as "".
Result<std::vector<DetectedPattern>> get_patterns(Atlas& atlas);

}  // namespace norvo::atlas
