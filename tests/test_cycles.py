"""Random object graphs with cycles through every container kind.

Mutable containers and dataclass instances are made first and filled last,
tuples and frozensets are made bottom-up from what exists, so the graphs
hold cycles through tuples (a list inside a tuple holding that tuple), long
chains of them and dataclass back-pointers; every one must come back with
the same shape and the same sharing.
"""

import dataclasses
import random

import pytest

import zelkor


@dataclasses.dataclass(eq=False)
class Node:
    left: object = None
    right: object = None


def make_graph(rng, size):
    mutables = [[] if rng.random() < 0.6 else {} for _ in range(size)]
    nodes = [Node() for _ in range(size // 3)]
    scalars = [None, True, 7, -2.5, "s", b"b", 2**40]
    immutables = []
    for _ in range(size):
        pool = scalars + mutables + nodes + immutables
        items = [rng.choice(pool) for _ in range(rng.randint(0, 3))]
        if rng.random() < 0.2:
            hashable = [x for x in items if _hashable(x)]
            immutables.append(frozenset(hashable))
        else:
            immutables.append(tuple(items))
    everything = scalars + mutables + nodes + immutables
    keys = [x for x in scalars + immutables if _hashable(x)]
    for m in mutables:
        for _ in range(rng.randint(0, 3)):
            if isinstance(m, list):
                m.append(rng.choice(everything))
            else:
                m[rng.choice(keys)] = rng.choice(everything)
    for n in nodes:
        n.left, n.right = rng.choice(everything), rng.choice(everything)
    return [rng.choice(everything) for _ in range(size)]


def _hashable(x):
    try:
        hash(x)
    except TypeError:
        return False
    return True


def same_graph(a, b):
    """Walks both graphs together: same kinds and scalars, and a one-to-one
    match of the containers (sharing and cycles included)."""
    matched = {}
    todo = [(a, b)]
    while todo:
        x, y = todo.pop()
        if type(x).__name__ != type(y).__name__:
            return False
        if isinstance(x, (list, dict, set, tuple, frozenset, Node)) or dataclasses.is_dataclass(y):
            if id(x) in matched:
                if matched[id(x)] is not y:
                    return False
                continue
            matched[id(x)] = y
        if isinstance(x, (list, tuple)):
            if len(x) != len(y):
                return False
            todo.extend(zip(x, y))
        elif isinstance(x, dict):
            if len(x) != len(y):
                return False
            for (kx, vx), (ky, vy) in zip(x.items(), y.items()):
                todo.extend([(kx, ky), (vx, vy)])
        elif isinstance(x, (set, frozenset)):
            if len(x) != len(y):
                return False
        elif isinstance(x, Node):
            todo.extend([(x.left, y.left), (x.right, y.right)])
        elif x != y:
            return False
    return len(set(map(id, matched.values()))) == len(matched)


@pytest.mark.parametrize("seed", range(40))
def test_random_cyclic_graphs_round_trip(seed):
    zelkor.register(Node)  # hashable by identity, as on the saving side
    rng = random.Random(seed)
    graph = make_graph(rng, rng.choice([5, 20, 80]))
    assert same_graph(graph, zelkor.loads(zelkor.dumps(graph)))


@pytest.mark.parametrize("levels", [10, 2000])
def test_chain_of_tuples_pointing_back_to_the_first(levels):
    # tuple i holds a list and tuple i + 1; each list holds (tuple 0,)
    lists = [[] for _ in range(levels)]
    chain = None
    tuples = []
    for lst in reversed(lists):
        chain = (lst, chain)
        tuples.append(chain)
    first = tuples[-1]
    for lst in lists:
        lst.append((first,))
    loaded = zelkor.loads(zelkor.dumps(first))
    assert same_graph(first, loaded)
    assert loaded[0][0][0] is loaded
