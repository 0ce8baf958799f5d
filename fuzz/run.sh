#!/usr/bin/env bash
# Coverage-guided fuzzing of loads under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   bash fuzz/run.sh [SECONDS] [ENGINE-ARGS...]
#   bash fuzz/run.sh INPUT-FILE...      (runs each input once)
#
# Builds the extension with Clang, sanitisers and coverage instrumentation
# into its own venv, then runs fuzz/fuzz_loads.py for SECONDS (default 120)
# from the seeds in tests/fuzz_seeds. New inputs go to FUZZ_CORPUS (default
# .fuzz/corpus, kept between runs); a crashing input is written to the
# current directory as crash-*. Installs clang from Debian when it is
# missing and this runs as root. Set PYTHON to the interpreter to use.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
REPLAY=()
if [ "$#" -gt 0 ] && [ -f "$1" ]; then
    for f in "$@"; do REPLAY+=("$(cd "$(dirname "$f")" && pwd)/$(basename "$f")"); done
    set --
fi
DURATION="${1:-120}"
[ "$#" -gt 0 ] && shift
PY="${PYTHON:-python3}"
STATE="${FUZZ_DIR:-$ROOT/.fuzz}"
VENV="$STATE/venv"
CORPUS="${FUZZ_CORPUS:-$STATE/corpus}"
mkdir -p "$STATE" "$CORPUS"

if ! command -v clang++ >/dev/null; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "installing clang from Debian"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
    else
        echo "error: clang++ is needed (coverage instrumentation for the fuzzing engine)" >&2
        exit 1
    fi
fi

if [ ! -x "$VENV/bin/python" ]; then
    "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --only-binary atheris atheris
CXX=clang++ "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$ROOT" \
    --config-settings=cmake.define.ZELKOR_SANITIZE=ON \
    --config-settings=cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

ENGINE="$("$VENV/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
cd "$STATE"
# The interpreter is not instrumented: the sanitiser runtime (with the
# engine) is loaded first, and objects are allocated with malloc so that the
# sanitiser sees every Python object's lifetime.
if [ "${#REPLAY[@]}" -gt 0 ]; then
    set -- "${REPLAY[@]}"
else
    set -- "$CORPUS" "$ROOT/tests/fuzz_seeds" -max_total_time="$DURATION" -print_final_stats=1 "$@"
fi
LD_PRELOAD="$ENGINE" PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$VENV/bin/python" "$ROOT/fuzz/fuzz_loads.py" -timeout=30 -rss_limit_mb=8192 "$@"
