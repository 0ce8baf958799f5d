#!/usr/bin/env python3
"""Benchmark zelkor against pickle (protocol 5) and marshal.

Usage:
    python bench/bench.py [--quick] [--only NAME[,NAME...]] [--memory] [--gc-off]

Times ``dumps`` and ``loads`` of each library on a set of workloads in one
process and prints the median time per call and the ratios zelkor/pickle and
zelkor/marshal (below 1.0 means zelkor is faster). Each repeat calls the
function often enough to last a minimum time, and the median of the repeats
is reported. The garbage collector stays on, as in a real program (loading
many containers makes it run, for every library alike); --gc-off switches it
off while timing, as timeit does.

With --memory, each (workload, library, operation) is also run once in a
fresh subprocess that reports its peak RSS growth (``ru_maxrss`` before and
after the call). RSS is used rather than tracemalloc because the extension's
C++ allocations are invisible to tracemalloc. The input of each measured call
is built or read in that subprocess before the baseline is taken; on Linux
the peak is reset to the current RSS first (``/proc/self/clear_refs``), so a
transient peak of building the input does not hide the call's own growth.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import json
import marshal
import os
import pickle
import platform
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import zelkor

SEED = 20240607


# ---------------------------------------------------------------------------
# Workloads
# ---------------------------------------------------------------------------

@dataclasses.dataclass
class BenchItem:
    id: int
    name: str
    price: float
    in_stock: bool


_register = getattr(zelkor, "register", None)
HAVE_REGISTER = callable(_register)
if HAVE_REGISTER:
    _register(BenchItem)


CITIES = ["Lisbon", "Oslo", "Quito", "Nairobi", "Osaka", "Lyon", "Austin",
          "Perth", "Tallinn", "Córdoba", "Kraków", "São Paulo"]
TAGS = ["admin", "beta", "trial", "vip", "legacy", "mobile", "eu", "us",
        "apac", "churned", "referral", "support"]
WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf",
         "hotel", "india", "juliet", "kilo", "lima", "mike", "november",
         "oscar", "papa", "quebec", "romeo", "sierra", "tango", "uniform",
         "victor", "whiskey", "xray", "yankee", "zulu", "naïve", "straße",
         "東京", "ελληνικά", "status", "pending", "approved", "rejected",
         "https://example.org/a/b", "user-agent", "content-type",
         "application/json", "text/plain; charset=utf-8", ""]


def make_records(rng):
    """10,000 JSON-like records with literal keys."""
    out = []
    for i in range(10_000):
        out.append({
            "id": i,
            "uuid": "%08x-%04x-%04x" % (rng.getrandbits(32), rng.getrandbits(16),
                                        rng.getrandbits(16)),
            "name": "user_%05d" % i,
            "email": "user%d@example.org" % i,
            "age": rng.randint(18, 90),
            "score": round(rng.uniform(0.0, 100.0), 3),
            "balance": rng.uniform(-1e4, 1e5),
            "active": rng.random() < 0.7,
            "verified": rng.random() < 0.4,
            "manager_id": None if rng.random() < 0.3 else rng.randrange(10_000),
            "city": rng.choice(CITIES),
            "tags": rng.sample(TAGS, rng.randint(0, 4)),
            "recent_scores": [rng.randint(0, 100) for _ in range(rng.randint(0, 5))],
            "location": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180)},
            "created": 1_600_000_000 + rng.randrange(100_000_000),
            "note": None,
        })
    return out


def make_ints(rng):
    """1,000,000 ints: small, 32-bit, near the 64-bit limits, both signs."""
    r = rng.randrange
    out = []
    for i in range(1_000_000):
        k = i & 3
        if k == 0:
            out.append(r(-100, 1000))
        elif k == 1:
            out.append(r(-2**31, 2**31))
        elif k == 2:
            out.append(r(-2**62, 2**62))
        else:
            out.append(r(0, 2**20))
    out[:4] = [2**63 - 1, -2**63, 0, -1]
    return out


def make_floats(rng):
    """1,000,000 floats of varied magnitude."""
    u = rng.uniform
    out = [u(-1.0, 1.0) * 10.0 ** (i % 13 - 4) for i in range(1_000_000)]
    out[:4] = [0.0, -0.0, float("inf"), 1e-300]
    return out


def make_strings(rng):
    """200,000 distinct str objects over a few thousand repeated texts."""
    n = len(WORDS)
    out = []
    for i in range(200_000):
        w = WORDS[rng.randrange(n)]
        # Formatting builds a new str object every time, even for equal texts.
        out.append("%s:%d" % (w, i % 97))
    return out


def make_bytes(rng):
    """Ten 1 MiB bytes values."""
    return [rng.randbytes(1 << 20) for _ in range(10)]


def make_graph(rng):
    """10,000 dicts and 10,000 lists (20,000 small containers) with cycles.

    Nodes form rings of eight. Each node dict refers to itself and to its
    edge list; each edge list holds itself, its node, the next node of its
    ring and a random earlier node; nodes also share earlier nodes' edge
    lists. References across rings point backwards only, so a depth-first
    saver never has to follow a chain longer than one ring.
    """
    n, ring = 10_000, 8
    nodes = [{"id": i, "edges": []} for i in range(n)]
    for i, node in enumerate(nodes):
        edges = node["edges"]
        start = i - i % ring
        edges.append(edges)
        edges.append(node)
        edges.append(nodes[start + (i + 1 - start) % ring])
        edges.append(nodes[rng.randrange(i + 1)])
        node["self"] = node
        node["peer_edges"] = nodes[rng.randrange(i + 1)]["edges"]
        node["weight"] = rng.random()
    return nodes


def make_dataclasses(rng):
    """50,000 instances of a four-field dataclass."""
    return [BenchItem(i, "item-%d" % (i % 500), round(rng.uniform(1, 500), 2),
                      rng.random() < 0.8)
            for i in range(50_000)]


# name -> (builder, is_cyclic, marshal_supported)
WORKLOADS = {
    "records": (make_records, False, True),
    "ints": (make_ints, False, True),
    "floats": (make_floats, False, True),
    "strings": (make_strings, False, True),
    "bytes": (make_bytes, False, True),
    "graph": (make_graph, True, False),
    "dataclasses": (make_dataclasses, False, False),
}


def build(name):
    return WORKLOADS[name][0](random.Random(SEED))


# ---------------------------------------------------------------------------
# Libraries
# ---------------------------------------------------------------------------

def _pickle_dumps(obj):
    return pickle.dumps(obj, protocol=5)


LIBS = {
    "zelkor": (zelkor.dumps, zelkor.loads),
    "pickle": (_pickle_dumps, pickle.loads),
    "marshal": (marshal.dumps, marshal.loads),
}


def supported(workload, lib):
    return lib != "marshal" or WORKLOADS[workload][2]


# ---------------------------------------------------------------------------
# Verification
# ---------------------------------------------------------------------------

def same_structure(a, b):
    """Compare two object graphs that may contain cycles.

    Checks exact types, equal scalar values, equal container contents and that
    object identity maps one-to-one (a shared or cyclic object in ``a`` is a
    shared or cyclic object at the same places in ``b``). Returns None when
    the graphs match, else a description of the first difference.
    """
    seen_ab = {}
    seen_ba = {}
    keep = []  # keeps compared objects alive so ids stay unique
    stack = [(a, b, "root")]
    while stack:
        x, y, path = stack.pop()
        if type(x) is not type(y):
            return "%s: type %s != %s" % (path, type(x).__name__, type(y).__name__)
        if isinstance(x, (list, tuple, dict, set, frozenset)) or \
                dataclasses.is_dataclass(x):
            ix, iy = id(x), id(y)
            if ix in seen_ab or iy in seen_ba:
                if seen_ab.get(ix) != iy or seen_ba.get(iy) != ix:
                    return "%s: identity differs" % path
                continue
            seen_ab[ix] = iy
            seen_ba[iy] = ix
            keep.append((x, y))
            if isinstance(x, (list, tuple)):
                if len(x) != len(y):
                    return "%s: length %d != %d" % (path, len(x), len(y))
                stack.extend((p, q, "%s[%d]" % (path, i))
                             for i, (p, q) in enumerate(zip(x, y)))
            elif isinstance(x, dict):
                if list(x) != list(y):
                    return "%s: keys differ" % path
                stack.extend((x[k], y[k], "%s[%r]" % (path, k)) for k in x)
            elif isinstance(x, (set, frozenset)):
                if x != y:
                    return "%s: members differ" % path
            else:
                fields = [f.name for f in dataclasses.fields(x)]
                stack.extend((getattr(x, f), getattr(y, f), "%s.%s" % (path, f))
                             for f in fields)
        elif x != y and not (x != x and y != y):
            return "%s: %r != %r" % (path, x, y)
    return None


def verify(name, obj):
    """Round-trip ``obj`` through zelkor once; return a short status text."""
    blob = zelkor.dumps(obj)
    back = zelkor.loads(blob)
    cyclic = WORKLOADS[name][1]
    if name == "dataclasses" and not HAVE_REGISTER:
        # Without a registry the loader builds a look-alike class, so compare
        # type names and field values instead of instances.
        ok = (type(back) is list and len(back) == len(obj) and all(
            type(p).__name__ == type(q).__name__ and
            dataclasses.astuple(p) == dataclasses.astuple(q)
            for p, q in zip(obj, back)))
        if not ok:
            raise AssertionError("%s: round trip differs" % name)
        return "ok (by field values: zelkor.register missing)"
    if cyclic:
        diff = same_structure(obj, back)
        if diff is not None:
            raise AssertionError("%s: round trip differs at %s" % (name, diff))
        return "ok (structural, identities and cycles checked)"
    if back != obj:
        diff = same_structure(obj, back)
        raise AssertionError("%s: round trip differs at %s" % (name, diff))
    return "ok"


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

GC_OFF_WHILE_TIMING = False


def _run(fn, arg, number):
    enabled = gc.isenabled()
    if GC_OFF_WHILE_TIMING:
        gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(number):
            fn(arg)
        return time.perf_counter() - t0
    finally:
        if enabled:
            gc.enable()


def measure(fn, arg, repeats, min_time):
    """Median seconds per call, timeit style."""
    number = 1
    while True:
        t = _run(fn, arg, number)
        if t >= min_time or number >= 1_000_000:
            break
        # Aim a little past min_time in one step instead of doubling blindly.
        number = max(number * 2, int(number * min_time * 1.2 / max(t, 1e-9)))
    samples = [t / number]
    for _ in range(repeats - 1):
        gc.collect()
        samples.append(_run(fn, arg, number) / number)
    gc.collect()
    return statistics.median(samples)


def time_workload(name, repeats, min_time):
    obj = build(name)
    gc.collect()
    try:
        status = verify(name, obj)
    except Exception as exc:
        status = "FAILED: %s: %s" % (type(exc).__name__, exc)
    gc.collect()
    result = {"status": status, "size": {}, "dumps": {}, "loads": {}}
    for lib, (dumps, loads) in LIBS.items():
        if not supported(name, lib):
            continue
        try:
            blob = dumps(obj)
        except Exception as exc:
            result["size"][lib] = None
            result["status"] += "; %s dumps failed: %s: %s" % (
                lib, type(exc).__name__, exc)
            continue
        result["size"][lib] = len(blob)
        result["dumps"][lib] = measure(dumps, obj, repeats, min_time)
        try:
            result["loads"][lib] = measure(loads, blob, repeats, min_time)
        except Exception as exc:
            result["status"] += "; %s loads failed: %s: %s" % (
                lib, type(exc).__name__, exc)
        del blob
        gc.collect()
    del obj
    gc.collect()
    return result


def fmt_ms(seconds):
    return "n/a" if seconds is None else "%.3f" % (seconds * 1e3)


def fmt_ratio(a, b):
    return "n/a" if a is None or b is None else "%.2f" % (a / b)


def print_table(headers, rows, align=None):
    widths = [max(len(str(c)) for c in col) for col in zip(headers, *rows)]
    align = align or ["<"] + [">"] * (len(headers) - 1)

    def line(cells):
        return "  ".join("%-*s" % (w, c) if a == "<" else "%*s" % (w, c)
                         for c, w, a in zip(cells, widths, align)).rstrip()
    print(line(headers))
    print(line(["-" * w for w in widths]))
    for r in rows:
        print(line(r))


def print_timing(results):
    rows = []
    for name, res in results.items():
        for op in ("dumps", "loads"):
            z = res[op].get("zelkor")
            p = res[op].get("pickle")
            m = res[op].get("marshal")
            rows.append([name, op, fmt_ms(z), fmt_ms(p), fmt_ms(m),
                         fmt_ratio(z, p), fmt_ratio(z, m)])
    print_table(["workload", "op", "zelkor ms", "pickle ms", "marshal ms",
                 "zelkor/pickle", "zelkor/marshal"], rows)


def print_sizes(results):
    rows = []
    for name, res in results.items():
        s = res["size"]

        def kib(lib):
            v = s.get(lib)
            return "n/a" if v is None else "%.1f" % (v / 1024)
        status = res["status"]
        if len(status) > 100:
            status = status[:97] + "..."
        rows.append([name, kib("zelkor"), kib("pickle"), kib("marshal"),
                     status])
    print_table(["workload", "zelkor KiB", "pickle KiB", "marshal KiB",
                 "round trip"], rows, ["<", ">", ">", ">", "<"])


# ---------------------------------------------------------------------------
# Memory (one subprocess per measurement)
# ---------------------------------------------------------------------------

def _maxrss_bytes():
    r = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    # Linux reports KiB, macOS bytes.
    return r if sys.platform == "darwin" else r * 1024


def _reset_peak():
    """Reset the peak RSS to the current RSS where the kernel allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child_prepare(name, outdir):
    obj = build(name)
    for lib, (dumps, _) in LIBS.items():
        if supported(name, lib):
            try:
                blob = dumps(obj)
            except Exception as exc:  # its measurement then reports an error
                print("%s dumps failed: %r" % (lib, exc), file=sys.stderr)
                continue
            with open(os.path.join(outdir, "%s.%s" % (name, lib)), "wb") as f:
                f.write(blob)


def child_measure(name, lib, op, outdir):
    dumps, loads = LIBS[lib]
    if op == "dumps":
        arg = build(name)
        fn = dumps
    else:
        with open(os.path.join(outdir, "%s.%s" % (name, lib)), "rb") as f:
            arg = f.read()
        fn = loads
    gc.collect()
    reset = _reset_peak()
    before = _maxrss_bytes()
    out = fn(arg)
    after = _maxrss_bytes()
    blob_len = len(out) if op == "dumps" else len(arg)
    print(json.dumps({"before": before, "after": after, "blob": blob_len,
                      "reset": reset}))


def _child(args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child"] + args
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or ["exit code %d"
                                                          % proc.returncode]
        print("  child %s failed: %s" % (" ".join(args[:4]), tail[0]),
              file=sys.stderr)
        return None
    return proc.stdout


def run_memory(names):
    rows = []
    resets = set()
    with tempfile.TemporaryDirectory(prefix="zelkor-bench-") as tmp:
        for name in names:
            prepared = _child(["prepare", name, tmp]) is not None
            for op in ("dumps", "loads"):
                for lib in LIBS:
                    if not supported(name, lib):
                        rows.append([name, op, lib, "n/a", "n/a", "n/a"])
                        continue
                    out = _child(["measure", name, lib, op, tmp]) \
                        if prepared else None
                    if out is None:
                        rows.append([name, op, lib, "error", "error", "error"])
                        continue
                    r = json.loads(out)
                    resets.add(r["reset"])
                    growth = max(0, r["after"] - r["before"])
                    rows.append([name, op, lib, "%.2f" % (r["blob"] / 2**20),
                                 "%.2f" % (growth / 2**20),
                                 "%.2f" % (growth / r["blob"])])
    return rows, resets


def print_memory(rows, resets):
    print_table(["workload", "op", "library", "blob MiB", "peak growth MiB",
                 "growth/blob"], rows)
    if resets == {True}:
        print("(peak RSS reset to the current RSS before each call)")
    else:
        print("(peak RSS could not be reset: growth can be hidden by an "
              "earlier peak while the input was built)")
    print("dumps growth includes the output blob; loads growth includes the "
          "loaded value.")


# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------

def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        kind, rest = argv[1], argv[2:]
        if kind == "prepare":
            child_prepare(*rest)
        else:
            child_measure(*rest)
        return 0

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="fewer and shorter repeats")
    ap.add_argument("--only", metavar="NAME",
                    help="comma-separated workloads (%s)" % ", ".join(WORKLOADS))
    ap.add_argument("--memory", action="store_true",
                    help="also measure peak RSS growth in subprocesses")
    ap.add_argument("--gc-off", action="store_true",
                    help="switch the garbage collector off while timing")
    args = ap.parse_args(argv)
    global GC_OFF_WHILE_TIMING
    GC_OFF_WHILE_TIMING = args.gc_off

    names = list(WORKLOADS)
    if args.only:
        names = [n.strip() for n in args.only.split(",") if n.strip()]
        unknown = [n for n in names if n not in WORKLOADS]
        if unknown:
            ap.error("unknown workload(s): %s (choose from %s)"
                     % (", ".join(unknown), ", ".join(WORKLOADS)))

    repeats, min_time = (3, 0.05) if args.quick else (7, 0.15)
    print("zelkor %s on Python %s (%s), %s"
          % (zelkor.__version__, platform.python_version(),
             platform.python_implementation(), platform.platform()))
    print("median of %d repeats, each at least %.0f ms, gc %s while timing; "
          "pickle protocol 5, marshal version %d"
          % (repeats, min_time * 1e3, "off" if args.gc_off else "on",
             marshal.version))
    if not HAVE_REGISTER:
        print("note: zelkor.register is missing; dataclasses load as "
              "look-alike classes")
    sys.stdout.flush()

    # Memory first, while this process is still small: a child's ru_maxrss
    # starts from its parent's RSS at spawn time.
    memory = run_memory(names) if args.memory else None

    started = time.perf_counter()
    results = {}
    for name in names:
        print("  %-12s ..." % name, end="", flush=True)
        t0 = time.perf_counter()
        results[name] = time_workload(name, repeats, min_time)
        print(" %.1f s" % (time.perf_counter() - t0), flush=True)

    print()
    print_timing(results)
    print()
    print_sizes(results)
    if memory is not None:
        print()
        print_memory(*memory)
    print()
    print("timing took %.1f s" % (time.perf_counter() - started))
    failed = [n for n, r in results.items() if "FAILED" in r["status"]
              or "zelkor" in r["status"]]
    if failed:
        print("round trip or a zelkor call FAILED for: %s" % ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
