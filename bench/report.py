"""Collects the benchmark results of bench/run into a table and a chart."""
import json
import os
import re
import sys

out_dir, md_path, png_path = sys.argv[1], sys.argv[2], sys.argv[3]


def times(name):
    """Real time per iteration in milliseconds, by benchmark name (means of repetitions)."""
    path = os.path.join(out_dir, name + ".json")
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    result = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
            continue
        unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
        parts = b.get("run_name", b["name"]).split("/")
        key = "/".join(x for x in parts if not x.startswith(("iterations:", "real_time", "repeats:", "min_time")))
        result[key] = b["real_time"] * unit
    return result


def find(table, prefix):
    for k, v in table.items():
        if k.startswith(prefix):
            return v
    return None


rows = []  # (area, measure, ours, peer, unit, ratio, goal text, goal met)


def faster(area, measure, ours, peer, goal):
    """A ratio where higher is better: peer time / our time."""
    if ours is None or peer is None:
        rows.append((area, measure, ours, peer, "ms", None, f">= {goal}x", None))
        return
    ratio = peer / ours
    rows.append((area, measure, ours, peer, "ms", ratio, f">= {goal}x" if goal else "-", ratio >= goal if goal else None))


engine = times("engine_bench")
one = find(engine, "CommitChangedObjects/1")
floor = find(engine, "FdatasyncFloor")
if one is not None and floor is not None:
    ratio = one / floor
    rows.append(("engine", "commit of one object / fdatasync floor", one, floor, "ms", ratio, "<= 3x", ratio <= 3))

records = times("records_bench")
for m in ("Insert", "Walk", "Update"):
    goal = 2 if m in ("Insert", "Walk") else 0
    faster("records (1M)", m.lower(), records.get(m + "_Tarnwicke"), records.get(m + "_SQLite"), goal)

query = times("query_bench")
faster("query (1M)", "name like '%abc%'", query.get("LikeScan_Tarnwicke"), query.get("LikeScan_SQLite"), 1.5)
faster("query (1M)", "id = '12345'", query.get("EqualScan_Tarnwicke"), query.get("EqualScan_SQLite"), 1.5)
faster("query (100k)", "order by name", query.get("OrderByName_Tarnwicke"), query.get("OrderByName_SQLite"), 0)

index = times("index_bench")
faster("index (1M)", "point lookup int4", index.get("EnginePointInt"), index.get("SqlitePointInt"), 3)
faster("index (1M)", "point lookup string", index.get("EnginePointString"), index.get("SqlitePointString"), 3)
faster("index (1M)", "range scan 1%", index.get("EngineRangeOnePercent"), index.get("SqliteRangeOnePercent"), 0)

archive = times("archive_bench")
faster("archive (100 MB)", "backup vs gzip -1", archive.get("archiveBackup"), archive.get("gzipFastest"), 0.8)
faster("archive (100 MB)", "restore vs gunzip", archive.get("archiveRestore"), archive.get("gunzipPlain"), 0.8)

http_path = os.path.join(out_dir, "http.txt")
if os.path.exists(http_path):
    text = open(http_path).read()
    rate = {m.group(1): float(m.group(2)) for m in re.finditer(r"^\s+(\w+)\s+([\d.]+) req/s", text, re.M)}
    ours, peer = rate.get("ours_static"), rate.get("nginx_static")
    if ours and peer:
        ratio = ours / peer
        rows.append(("http", "static file req/s vs nginx", ours, peer, "req/s", ratio, ">= 0.5x", ratio >= 0.5))
    if rate.get("ours_page"):
        rows.append(("http", "trivial page req/s", rate["ours_page"], None, "req/s", None, "-", None))

pages = times("pages_bench")
for k, v in sorted(pages.items()):
    if k.startswith("MainMenu"):
        continue
    rows.append(("pages (100k customers)", k, v, None, "ms", None, "< 20 ms", v < 20))

with open(md_path, "w") as f:
    f.write("# Benchmark results\n\nMade by `bench/run` (Release build, this machine, peers in the same run).\n")
    f.write("Ratios are the peer's time over ours (higher is better), except the commit row (ours over the floor).\n\n")
    f.write("| area | measure | ours | peer | unit | ratio | goal | met |\n|---|---|---|---|---|---|---|---|\n")
    for area, measure, ours, peer, unit, ratio, goal, met in rows:
        fmt = lambda v: "-" if v is None else (f"{v:.3f}" if v < 10 else f"{v:.0f}")
        f.write(f"| {area} | {measure} | {fmt(ours)} | {fmt(peer)} | {unit} | "
                f"{'-' if ratio is None else f'{ratio:.2f}x'} | {goal} | "
                f"{'-' if met is None else ('yes' if met else 'no')} |\n")

try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    charted = [r for r in rows if r[5] is not None]
    labels = [f"{r[0]}: {r[1]}" for r in charted]
    values = [r[5] for r in charted]
    fig, ax = plt.subplots(figsize=(10, 0.45 * len(charted) + 1.5))
    ax.barh(labels, values, color=["#4a7" if r[7] in (True, None) else "#c54" for r in charted])
    ax.axvline(1.0, color="#888", linewidth=1)
    ax.set_xlabel("ratio (peer time / ours; commit row: ours / disk floor)")
    ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(png_path, dpi=110)
except ImportError:
    print("python3-matplotlib is missing: no chart", file=sys.stderr)
