// Router topology: how the FastAPI routers of a project hang together —
// which routers exist, under which URL prefix, in which modules their
// endpoints live, which routers include which, and which endpoints are
// declared directly on the application object. Works from freshly parsed
// definitions only (no policy, no call edges); never writes to the index.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "atlas/analysis/fastapi_scaling.h"
#include "core/result.h"

namespace norvo::atlas {
class Atlas;
}

namespace norvo::atlas::analysis {

// The topology of already collected analysis records:
// {"direct_app_routes": [...], "routers": [...]}.
//
// Routers are named after the router variable of their route decorators
// ("unscoped" without one). When one variable name carries endpoints under
// two or more different prefixes (the usual `router = APIRouter(prefix=...)`
// repeated in every module), those are different routers that merely share a
// name: each module's router is then named module + "." + name (router_of),
// so that no endpoint is shown under another router's prefix.
nlohmann::json router_topology(const std::vector<AnalysisRecord>& records);

// The whole method: freshness check (may scan), records, topology. Runs in
// the "analyze_fastapi_router_topology" span; a failure is logged at ERROR
// with its text before it is returned.
Result<nlohmann::json> analyze_fastapi_router_topology(Atlas& atlas);

}  // namespace norvo::atlas::analysis
