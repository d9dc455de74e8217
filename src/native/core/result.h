// Result<T>: a value or an AtlasError, and NORVO_TRY for one-line propagation.
#pragma once

#include <expected>

#include "core/errors.h"

namespace norvo {

template <class T>
using Result = std::expected<T, AtlasError>;

using Status = Result<void>;

inline std::unexpected<AtlasError> fail(AtlasError e) { return std::unexpected<AtlasError>(std::move(e)); }

}  // namespace norvo

// Evaluates `expr` (a Result); on error returns it from the enclosing function,
// otherwise yields the value. Works for any std::expected<_, E> whose enclosing
// function returns std::expected<_, E>. For Result<void> the value is void.
#define NORVO_TRY(expr)                                                   \
  ({                                                                      \
    auto&& norvo_try_r_ = (expr);                                         \
    if (!norvo_try_r_) return std::unexpected(std::move(norvo_try_r_.error())); \
    std::move(norvo_try_r_).value();                                      \
  })
