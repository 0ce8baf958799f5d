"""Coverage-guided fuzzing of loads, with a save of every value it returns.

Run through fuzz/run.sh, which builds an instrumented extension and loads the
fuzzing engine first; arguments after the script are the engine's own
(corpus directories, -max_total_time=SECONDS, ...).
"""

import sys

import atheris

import _zelkor

# The companion modules that loads calls are traced too.
with atheris.instrument_imports():
    import zelkor._reconstruct  # noqa: F401
    import zelkor.migrations  # noqa: F401

# Dataclass records naming these types are built (generated classes); any
# other name is refused by the allowlist before anything is built.
ALLOWED = {"P", "Q"}
# AttributeError: a generated class hashes its fields, and an instance met
# again through a cycle is handed out (and may be hashed) before they are set.
ORDINARY = (ValueError, TypeError, RecursionError, OverflowError, MemoryError, AttributeError)


def one_input(data):
    try:
        value = _zelkor.loads(data, allowlist=set(ALLOWED))
    except ORDINARY:
        return
    # Whatever loads returns can be saved again.
    _zelkor.dumps(value)


def main():
    sys.setrecursionlimit(10000)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
