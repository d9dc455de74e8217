"""Index the bundled example project and show what Norvo knows about it."""
import json
import pathlib
import sys

from norvo import norvo_native as nn

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "shop").resolve()
atlas = nn.Atlas(str(root))
print(f"norvo {nn.version()} - project {root}")

result = atlas.scan()
stats = result["stats"]
print(f"\nScanned {stats['files_scanned']} files in {result['duration_ms']} ms: "
      f"{stats['files_parsed']} parsed, {stats['files_failed']} failed, {result['artifacts_found']} artifacts")
for kind, n in sorted(stats["artifacts_by_kind"].items()):
    print(f"  {kind:<16}{n}")

print("\nEndpoints:")
for a in atlas.search_by_feature("endpoint"):
    route = (a["router_prefix"] or "") + (a["route_path"] or "")
    print(f"  {(a['http_method'] or '?').upper():<7}{route:<32}{a['qualified_name']}  {a['tags']}")

print("\nSearch 'order':")
for a in atlas.search("order", limit=8):
    print(f"  {a['kind']:<15}{a['qualified_name']}  ({a['file_path']}:{a['line_start']})")

print("\nHealth:", json.dumps(atlas.health()))

print("\nRouters:")
for r in atlas.analyze_fastapi_router_topology()["routers"]:
    kind = "app" if r["is_app"] else "router"
    print(f"  {kind:<7}{r['name']:<40}prefix={r['prefix'] or '-':<28}{len(r['endpoints'])} endpoint(s)"
          + (f", includes {', '.join(r['includes'])}" if r["includes"] else ""))

report = atlas.analyze_fastapi_scaling()
print(f"\nScaling review: {len(report['violations'])} finding(s)")
for v in report["violations"]:
    print(f"  [{v['severity']}] {v['message']}")

capsule = atlas.fastapi_truth_capsule(method="POST", path="/orders/")
print("\nTruth capsule for POST /orders/:", ", ".join(sorted(capsule)))

firewall = nn.Firewall(str(root))
print("\nFirewall:")
for name in ("requests", "reqeusts", "os.system", "fastapi"):
    r = firewall.check_import(name)
    print(f"  {name:<12}{r['status']:<10}{r['reason']}")
