// The index schema (version 9): the idempotent creation script, version
// detection, and the steps that bring databases of versions 1 to 8 up to 9.
#pragma once

#include <cstdint>
#include <string_view>

#include "atlas/storage/sqlite.h"
#include "core/result.h"

namespace norvo::storage {

inline constexpr uint32_t kSchemaVersion = 9;

// Creates every table, index and metadata row that is missing; run on every open.
std::string_view schema_script();

// The stored version: the schema_version table, reconciled with the metadata
// copy (the smaller wins when they disagree). 0 for a database without tables.
Result<uint32_t> get_version(sqlite::Db& db);

// Records version `v` in both places.
Status set_version(sqlite::Db& db, uint32_t v);

// True when `table` has a column named `column`.
Result<bool> column_exists(sqlite::Db& db, std::string_view table, std::string_view column);

// Brings the database to kSchemaVersion; a newer database is left unchanged.
Status migrate(sqlite::Db& db);

}  // namespace norvo::storage
