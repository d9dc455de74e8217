// Levenshtein edit distance counted in Unicode scalar values.
//
// Insertions, deletions and substitutions each cost 1; comparison is exact
// (no case folding, no normalisation). Computed with two rows of the dynamic
// programme, sized by the shorter input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace norvo::util {

// Decodes the scalar value at text[i] and advances i past it. Bytes that do
// not form a valid sequence decode as U+FFFD, one byte at a time.
char32_t next_scalar(std::string_view text, size_t& i);

// The scalar values of UTF-8 text. Bytes that do not form a valid sequence
// decode as U+FFFD one byte at a time (callers pass valid UTF-8).
std::u32string utf8_scalars(std::string_view text);

// Number of scalar values in UTF-8 text (same decoding as utf8_scalars).
size_t scalar_count(std::string_view text);

size_t levenshtein(std::u32string_view a, std::u32string_view b);

// Convenience form over UTF-8 texts.
size_t levenshtein(std::string_view a, std::string_view b);

}  // namespace norvo::util
