"""Writes the seed corpus (tests/fuzz_seeds/) from ordinary values.

Usage: python fuzz/make_seeds.py [DIR]
"""

import dataclasses
import os
import sys

import zelkor


def values():
    @dataclasses.dataclass
    class P:
        a: object = None
        b: object = None

    @dataclasses.dataclass(frozen=True)
    class Q:
        x: object = 0

    Q.__zelkor_version__ = 2
    shared = [1, "s"]
    cyclic = [shared, shared]
    cyclic.append(cyclic)
    d = {}
    d["self"] = d
    t = ([1, 2],)
    t[0].append(t)
    p = P()
    p.a = p
    p.b = [p, Q((1, frozenset({2})))]
    return [
        None, True, -1, 2**63 - 1, 1.5, "text", "\u00e9\U0001f600", b"\x00\xff",
        [], (), {}, set(), frozenset(),
        [1, 2.0, "3", b"4", None, True, False],
        {"a": 1, 2: [3], (4, 5): {6}, frozenset({7}): None},
        {1, "x", (2, 3), frozenset({4})},
        cyclic, d, t, p, [Q(5), Q(5), P(1, 2)],
        [[[[[[[[[[0]]]]]]]]]], tuple(range(40)), list(range(300)),
        {"k%d" % i: i for i in range(20)},
    ]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz_seeds")
    os.makedirs(out, exist_ok=True)
    for i, value in enumerate(values()):
        with open(os.path.join(out, "seed-%02d.zlkr" % i), "wb") as f:
            f.write(zelkor.dumps(value))


if __name__ == "__main__":
    main()
