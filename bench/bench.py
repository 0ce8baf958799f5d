#!/usr/bin/env python3
"""Benchmark zelkor against pickle (protocol 5), marshal and other savers.

Usage:
    python bench/bench.py [--quick] [--only NAME[,NAME...]] [--gc-off | --gc MODE]
                          [--memory] [--json FILE] [--chart [FILE]]

Times ``dumps`` and ``loads`` of each library on a set of workloads in one
process and prints, per workload, pickle's median time per call and every
library's time as a ratio to it (below 1.0 is faster than pickle). Besides
zelkor, pickle and marshal, the libraries msgspec (its msgpack codec),
msgpack, orjson and cbor2 are timed when they are installed, each on the
workloads it can store: a library that cannot save a workload, or does not
give back an equal value, is left out of that row (shown as "-").

Timing is interleaved: each (library, operation) first finds how many calls
last at least a minimum time, then every round times each of them once, and
the median over the rounds is reported. Ratios are taken between medians of
the same run, so a machine that is busy for a while slows every library alike.

The garbage collector stays on by default, as in a real program (loading many
containers makes it run, for every library alike); --gc-off switches it off
while timing, as timeit does, and --gc both measures both ways in one run.

With --memory, each (workload, library, operation) for zelkor, pickle and
marshal is also run once in a fresh subprocess that reports its peak RSS
growth (its peak RSS before and after the call: ``VmHWM`` on Linux,
``ru_maxrss`` elsewhere). RSS is used rather than tracemalloc because the
extension's C++ allocations are invisible to tracemalloc. The input of each measured call is built or read in that
subprocess before the baseline is taken; on Linux the peak is reset to the
current RSS first (``/proc/self/clear_refs``), so a transient peak of
building the input does not hide the call's own growth. Before that, each
library makes one round trip of a small value, so that the measured call does
not count the pages of the library's code that its first call reads in.

--json FILE writes every timing, size, ratio and memory figure as JSON;
--chart writes a bar chart of the ratios as a PNG (docs/benchmark.png unless
a file is named) when matplotlib is installed.

The "json_docs" workload is real-world JSON: API description documents that
the botocore package ships (read with ``json``, about 20 MB of text); when
botocore is missing, the largest JSON files of other installed packages are
used, and without any the workload is skipped.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import glob
import gzip
import importlib
import importlib.util
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
import sysconfig
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


zelkor.register(BenchItem)


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


def make_small_bytes(rng):
    """100,000 bytes values of 16 bytes each."""
    return [rng.randbytes(16) for _ in range(100_000)]


def make_large_bytes(rng):
    """Ten 1 MiB bytes values."""
    return [rng.randbytes(1 << 20) for _ in range(10)]


JSON_DOCS_TARGET = 20 * 2**20  # bytes of JSON text


def _package_dir(name):
    try:
        found = importlib.util.find_spec(name)
    except (ImportError, ValueError):
        return None
    if found is None or not found.submodule_search_locations:
        return None
    return list(found.submodule_search_locations)[0]


def _read_json_text(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return f.read()


def json_doc_paths():
    """(source description, sorted JSON file paths) of shipped JSON data."""
    base = _package_dir("botocore")
    if base:
        paths = sorted(glob.glob(os.path.join(base, "data", "*", "*",
                                              "service-2.json*")))
        if paths:
            return "botocore service descriptions", paths
    # Otherwise: the largest JSON files that installed packages ship.
    found = []
    site = sysconfig.get_paths().get("purelib")
    for root, _, files in os.walk(site or "."):
        for f in files:
            if f.endswith(".json"):
                p = os.path.join(root, f)
                try:
                    size = os.path.getsize(p)
                except OSError:
                    continue
                if size >= 64 * 1024:
                    found.append((-size, p))
    found.sort()
    return "JSON files of installed packages", [p for _, p in found]


_JSON_SOURCE = None


def make_json_docs(rng):
    """About 20 MB of real-world JSON documents, as a list of parsed values."""
    global _JSON_SOURCE
    source, paths = json_doc_paths()
    docs, total = [], 0
    for p in paths:
        if total >= JSON_DOCS_TARGET:
            break
        try:
            text = _read_json_text(p)
            docs.append(json.loads(text))
        except (OSError, ValueError):
            continue
        total += len(text)
    if total < 2**20:
        return None  # not enough data on this machine: workload skipped
    _JSON_SOURCE = "%d %s, %.1f MB of JSON" % (len(docs), source, total / 1e6)
    return docs


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


# name -> (builder, contains cycles or shared containers)
WORKLOADS = {
    "records": (make_records, False),
    "ints": (make_ints, False),
    "floats": (make_floats, False),
    "strings": (make_strings, False),
    "small_bytes": (make_small_bytes, False),
    "large_bytes": (make_large_bytes, False),
    "graph": (make_graph, True),
    "dataclasses": (make_dataclasses, False),
    "json_docs": (make_json_docs, False),
}


def build(name):
    return WORKLOADS[name][0](random.Random(SEED))


# ---------------------------------------------------------------------------
# Libraries
# ---------------------------------------------------------------------------

def _pickle_dumps(obj):
    return pickle.dumps(obj, protocol=5)


def _optional(name):
    try:
        return importlib.import_module(name)
    except Exception:
        return None


def _codecs():
    """name -> function(workload) giving (dumps, loads), or None to skip."""
    out = {
        "zelkor": lambda w: (zelkor.dumps, zelkor.loads),
        "pickle": lambda w: (_pickle_dumps, pickle.loads),
        "marshal": lambda w: None if w in ("graph", "dataclasses")
        else (marshal.dumps, marshal.loads),
    }
    msgspec = _optional("msgspec")
    if msgspec is not None:
        def msgspec_codec(w):
            if w == "graph":
                return None
            enc = msgspec.msgpack.Encoder()
            dec = msgspec.msgpack.Decoder(list[BenchItem]) \
                if w == "dataclasses" else msgspec.msgpack.Decoder()
            return enc.encode, dec.decode
        out["msgspec"] = msgspec_codec
    msgpack = _optional("msgpack")
    if msgpack is not None:
        def msgpack_codec(w):
            if w in ("graph", "dataclasses"):
                return None
            return msgpack.packb, msgpack.unpackb
        out["msgpack"] = msgpack_codec
    orjson = _optional("orjson")
    if orjson is not None:
        def orjson_codec(w):
            if w in ("graph", "dataclasses") or w.endswith("bytes"):
                return None
            return orjson.dumps, orjson.loads
        out["orjson"] = orjson_codec
    cbor2 = _optional("cbor2")
    if cbor2 is not None:
        def cbor2_codec(w):
            if w == "dataclasses":
                return None
            if w == "graph":
                def dumps(obj):
                    return cbor2.dumps(obj, value_sharing=True)
                return dumps, cbor2.loads
            return cbor2.dumps, cbor2.loads
        out["cbor2"] = cbor2_codec
    return out


CODECS = _codecs()
LIB_NAMES = list(CODECS)
PEERS = [n for n in LIB_NAMES if n not in ("zelkor", "pickle")]
MEMORY_LIBS = ["zelkor", "pickle", "marshal"]


def _version(lib):
    if lib in ("pickle", "marshal"):
        return None
    if lib == "zelkor":
        return zelkor.__version__
    try:
        from importlib.metadata import version
        return version(lib)
    except Exception:
        return getattr(sys.modules.get(lib), "__version__", None)


def codec(workload, lib):
    return CODECS[lib](workload)


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
    if WORKLOADS[name][1]:
        diff = same_structure(obj, back)
        if diff is not None:
            raise AssertionError("%s: round trip differs at %s" % (name, diff))
        return "ok (structural, identities and cycles checked)"
    if back != obj:
        diff = same_structure(obj, back)
        raise AssertionError("%s: round trip differs at %s" % (name, diff))
    return "ok"


def peer_round_trip(name, lib, obj, dumps, loads):
    """The blob if ``lib`` gives back an equal value, else None."""
    try:
        blob = dumps(obj)
        back = loads(blob)
    except Exception:
        return None
    if WORKLOADS[name][1]:
        ok = same_structure(obj, back) is None
    else:
        try:
            ok = back == obj
        except RecursionError:
            ok = False
    return blob if ok else None


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

# Wall-clock time by default; --clock cpu takes the thread's CPU time
# instead (page faults included), which a machine busy with other work
# disturbs far less.
CLOCK = time.perf_counter


def _run(fn, arg, number, gc_off):
    enabled = gc.isenabled()
    if gc_off:
        gc.disable()
    try:
        t0 = CLOCK()
        for _ in range(number):
            fn(arg)
        return CLOCK() - t0
    finally:
        if enabled:
            gc.enable()


def calibrate(fn, arg, min_time, gc_off):
    """Calls per sample so that a sample lasts at least ``min_time``."""
    number = 1
    while True:
        t = _run(fn, arg, number, gc_off)
        if t >= min_time or number >= 1_000_000:
            return number
        # Aim a little past min_time in one step instead of doubling blindly.
        number = max(number * 2, int(number * min_time * 1.2 / max(t, 1e-9)))


def time_workload(name, modes, rounds, min_time):
    """Times every library on one workload; returns its result entry."""
    obj = build(name)
    if obj is None:
        return None
    gc.collect()
    try:
        status = verify(name, obj)
    except Exception as exc:
        status = "FAILED: %s: %s" % (type(exc).__name__, exc)
    gc.collect()
    result = {"status": status, "size": {}, "times": {m: {"dumps": {}, "loads": {}}
                                                      for m in modes}}
    if name == "json_docs":
        result["source"] = _JSON_SOURCE
    # (lib, op, fn, arg)
    jobs = []
    for lib in LIB_NAMES:
        c = codec(name, lib)
        if c is None:
            continue
        dumps, loads = c
        if lib == "zelkor" or lib == "pickle":
            try:
                blob = dumps(obj)
            except Exception as exc:
                result["status"] += "; %s dumps failed: %s: %s" % (
                    lib, type(exc).__name__, exc)
                continue
        else:
            blob = peer_round_trip(name, lib, obj, dumps, loads)
            if blob is None:
                continue
        result["size"][lib] = len(blob)
        jobs.append((lib, "dumps", dumps, obj))
        jobs.append((lib, "loads", loads, blob))
    gc.collect()
    for mode in modes:
        gc_off = mode == "off"
        numbers = [calibrate(fn, arg, min_time, gc_off) for _, _, fn, arg in jobs]
        samples = [[] for _ in jobs]
        for r in range(rounds):
            # Rotate the order so that no library always follows the same one.
            k = r % len(jobs) if jobs else 0
            for j in list(range(k, len(jobs))) + list(range(k)):
                _, _, fn, arg = jobs[j]
                gc.collect()
                samples[j].append(_run(fn, arg, numbers[j], gc_off) / numbers[j])
        for (lib, op, _, _), s in zip(jobs, samples):
            result["times"][mode][op][lib] = statistics.median(s)
    del jobs, obj
    gc.collect()
    return result


def fmt_ms(seconds):
    return "-" if seconds is None else "%.3f" % (seconds * 1e3)


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def fmt_ratio(r):
    return "-" if r is None else "%.2f" % r


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


def ratio_table(results, mode, op):
    """Rows of [workload, pickle ms, zelkor ratio, peer ratios...]."""
    rows = []
    for name, res in results.items():
        t = res["times"][mode][op]
        p = t.get("pickle")
        rows.append([name, fmt_ms(p), fmt_ratio(ratio(t.get("zelkor"), p))] +
                    [fmt_ratio(ratio(t.get(lib), p)) for lib in PEERS])
    return rows


def print_timing(results, modes):
    headers = ["workload", "pickle ms", "zelkor"] + PEERS
    for mode in modes:
        for op in ("dumps", "loads"):
            print("%s, collector %s: time / pickle time (below 1.0 is faster)"
                  % (op, mode))
            print_table(headers, ratio_table(results, mode, op))
            print()


def print_sizes(results):
    rows = []
    for name, res in results.items():
        s = res["size"]
        status = res["status"]
        if len(status) > 70:
            status = status[:67] + "..."
        rows.append([name] + ["-" if s.get(lib) is None else
                              "%.1f" % (s[lib] / 1024) for lib in LIB_NAMES] +
                    [status])
    print("blob sizes in KiB")
    print_table(["workload"] + LIB_NAMES + ["zelkor round trip"], rows,
                ["<"] + [">"] * len(LIB_NAMES) + ["<"])
    for name, res in results.items():
        if res.get("source"):
            print("%s: %s" % (name, res["source"]))


# ---------------------------------------------------------------------------
# Memory (one subprocess per measurement)
# ---------------------------------------------------------------------------

def _maxrss_bytes():
    """The process's peak RSS in bytes.

    On Linux this is VmHWM, the peak of the process's own memory, which
    _reset_peak() lowers. ru_maxrss is no use there: it is never below the
    RSS of the parent at the moment it started this process (the peak of
    the memory the process had before exec), so a child started by a
    larger parent reports that as its peak, and any growth below it is
    lost.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
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
    if obj is None:
        return
    for lib in MEMORY_LIBS:
        c = codec(name, lib)
        if c is None:
            continue
        try:
            blob = c[0](obj)
        except Exception as exc:  # its measurement then reports an error
            print("%s dumps failed: %r" % (lib, exc), file=sys.stderr)
            continue
        with open(os.path.join(outdir, "%s.%s" % (name, lib)), "wb") as f:
            f.write(blob)


# A small value through the common paths of every codec. One round trip of it
# before the baseline pages in the library's code, which a program pays once,
# at its first call, and not on every call.
WARM_UP_VALUE = [None, True, 7, -2.5, "text", b"bytes", (1, "a"), {"k": [1.0]}]


def child_measure(name, lib, op, outdir):
    dumps, loads = codec(name, lib)
    loads(dumps(WARM_UP_VALUE))
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
    """List of dicts (workload, op, lib, blob, growth), and the reset flags."""
    entries = []
    resets = set()
    with tempfile.TemporaryDirectory(prefix="zelkor-bench-") as tmp:
        for name in names:
            prepared = _child(["prepare", name, tmp]) is not None
            for op in ("dumps", "loads"):
                for lib in MEMORY_LIBS:
                    entry = {"workload": name, "op": op, "library": lib,
                             "blob": None, "growth": None}
                    entries.append(entry)
                    if codec(name, lib) is None or not prepared or \
                            not os.path.exists(os.path.join(tmp, "%s.%s" % (name, lib))):
                        continue
                    out = _child(["measure", name, lib, op, tmp])
                    if out is None:
                        entry["error"] = True
                        continue
                    r = json.loads(out)
                    resets.add(r["reset"])
                    entry["blob"] = r["blob"]
                    entry["growth"] = max(0, r["after"] - r["before"])
    return entries, resets


def print_memory(entries, resets):
    rows = []
    for e in entries:
        if e["growth"] is None:
            cell = "error" if e.get("error") else "-"
            rows.append([e["workload"], e["op"], e["library"], cell, cell, cell])
            continue
        rows.append([e["workload"], e["op"], e["library"],
                     "%.2f" % (e["blob"] / 2**20), "%.2f" % (e["growth"] / 2**20),
                     "%.2f" % (e["growth"] / max(1, e["blob"]))])
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
# Output files
# ---------------------------------------------------------------------------

def write_json(path, meta, results, memory):
    ratios = {}
    for name, res in results.items():
        for mode, by_op in res["times"].items():
            for op, t in by_op.items():
                p = t.get("pickle")
                for lib, v in t.items():
                    ratios.setdefault(mode, {}).setdefault(op, {}).setdefault(
                        name, {})[lib] = ratio(v, p)
    doc = {"meta": meta, "results": results, "ratios_to_pickle": ratios}
    if memory is not None:
        doc["memory"] = memory[0]
    with open(path, "w") as f:
        json.dump(doc, f, indent=1, sort_keys=True)
        f.write("\n")


def write_chart(path, meta, results, modes):
    """A bar chart of every library's ratio to pickle; False without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FormatStrFormatter, NullFormatter
    except Exception:
        return False
    names = list(results)
    libs = ["zelkor"] + [lib for lib in PEERS
                         if any(lib in results[n]["times"][m][op] for n in names
                                for m in modes for op in ("dumps", "loads"))]
    colors = {"zelkor": "#c0392b", "marshal": "#7f8c8d", "msgspec": "#2980b9",
              "msgpack": "#8e44ad", "orjson": "#27ae60", "cbor2": "#d68910"}
    fig, axes = plt.subplots(len(modes), 2, figsize=(13, 4.2 * len(modes)),
                             squeeze=False)
    width = 0.8 / len(libs)
    for row, mode in enumerate(modes):
        for col, op in enumerate(("dumps", "loads")):
            ax = axes[row][col]
            for k, lib in enumerate(libs):
                xs, ys = [], []
                for i, name in enumerate(names):
                    t = results[name]["times"][mode][op]
                    r = ratio(t.get(lib), t.get("pickle"))
                    if r is not None:
                        xs.append(i - 0.4 + width * (k + 0.5))
                        ys.append(r)
                ax.bar(xs, ys, width, label=lib, color=colors.get(lib))
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
            ax.yaxis.set_minor_formatter(NullFormatter())
            ax.set_xticks(range(len(names)))
            ax.set_xticklabels(names, rotation=30, ha="right", fontsize=8)
            ax.set_title("%s, collector %s" % (op, mode), fontsize=10)
            ax.set_ylabel("time / pickle time")
            ax.grid(axis="y", which="both", alpha=0.3)
    axes[0][0].legend(fontsize=8, ncol=3)
    fig.suptitle("Time relative to pickle protocol 5 (below 1 is faster); %s"
                 % meta["python"], fontsize=10)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------

DEFAULT_CHART = os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "docs", "benchmark.png")


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
                    help="fewer and shorter rounds")
    ap.add_argument("--only", metavar="NAME",
                    help="comma-separated workloads (%s)" % ", ".join(WORKLOADS))
    ap.add_argument("--libs", metavar="NAME",
                    help="comma-separated libraries besides zelkor and pickle "
                         "(default: all installed)")
    ap.add_argument("--rounds", type=int, help="timing rounds (default 5, 3 with --quick)")
    ap.add_argument("--memory", action="store_true",
                    help="also measure peak RSS growth in subprocesses")
    ap.add_argument("--gc-off", action="store_true",
                    help="switch the garbage collector off while timing")
    ap.add_argument("--gc", choices=("on", "off", "both"),
                    help="collector while timing: on (default), off, or both")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="time by the wall clock (default) or by the thread's "
                         "CPU time, which other work on the machine disturbs less")
    ap.add_argument("--json", metavar="FILE", help="write the results as JSON")
    ap.add_argument("--chart", metavar="FILE", nargs="?", const=DEFAULT_CHART,
                    help="write a PNG chart (default %s)"
                         % os.path.relpath(DEFAULT_CHART))
    args = ap.parse_args(argv)
    mode = args.gc or ("off" if args.gc_off else "on")
    global CLOCK
    if args.clock == "cpu":
        CLOCK = time.thread_time
    modes = ["on", "off"] if mode == "both" else [mode]

    names = list(WORKLOADS)
    if args.only:
        names = [n.strip() for n in args.only.split(",") if n.strip()]
        unknown = [n for n in names if n not in WORKLOADS]
        if unknown:
            ap.error("unknown workload(s): %s (choose from %s)"
                     % (", ".join(unknown), ", ".join(WORKLOADS)))
    if args.libs is not None:
        keep = {n.strip() for n in args.libs.split(",") if n.strip()}
        for lib in list(PEERS):
            if lib not in keep:
                PEERS.remove(lib)
                LIB_NAMES.remove(lib)

    rounds = args.rounds or (3 if args.quick else 5)
    min_time = 0.05 if args.quick else 0.1
    meta = {
        "zelkor": zelkor.__version__,
        "python": "Python %s (%s)" % (platform.python_version(),
                                     platform.python_implementation()),
        "platform": platform.platform(),
        "rounds": rounds, "min_time": min_time, "gc": modes, "clock": args.clock,
        "libraries": {lib: _version(lib) for lib in LIB_NAMES},
    }
    print("zelkor %s on %s, %s" % (zelkor.__version__, meta["python"],
                                    meta["platform"]))
    print("median of %d interleaved rounds, each sample at least %.0f ms (%s); "
          "collector %s while timing; pickle protocol 5, marshal version %d"
          % (rounds, min_time * 1e3, "thread CPU time" if args.clock == "cpu"
             else "wall clock", " and ".join(modes), marshal.version))
    others = ["%s %s" % (lib, meta["libraries"][lib] or "") for lib in PEERS
              if lib != "marshal"]
    print("other libraries: %s" % (", ".join(others) or "none installed"))
    sys.stdout.flush()

    # Memory first, while this process is still small: a child's ru_maxrss
    # starts from its parent's RSS at spawn time.
    memory = run_memory(names) if args.memory else None

    started = time.perf_counter()
    results = {}
    for name in names:
        print("  %-12s ..." % name, end="", flush=True)
        t0 = time.perf_counter()
        res = time_workload(name, modes, rounds, min_time)
        if res is None:
            print(" skipped (no data on this machine)", flush=True)
            continue
        results[name] = res
        print(" %.1f s" % (time.perf_counter() - t0), flush=True)

    print()
    print_timing(results, modes)
    print_sizes(results)
    if memory is not None:
        print()
        print_memory(*memory)
    print()
    print("timing took %.1f s" % (time.perf_counter() - started))
    if args.json:
        write_json(args.json, meta, results, memory)
        print("wrote %s" % args.json)
    if args.chart:
        if write_chart(args.chart, meta, results, modes):
            print("wrote %s" % args.chart)
        else:
            print("no chart: matplotlib is not installed")
    failed = [n for n, r in results.items() if "FAILED" in r["status"]
              or "zelkor" in r["status"]]
    if failed:
        print("round trip or a zelkor call FAILED for: %s" % ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
