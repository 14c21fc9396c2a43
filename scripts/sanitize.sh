#!/usr/bin/env bash
# Builds vexil with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option VEXIL_SANITIZE) in a
# build directory of its own and runs the whole test suite under it: the C++ tests of the numeric core
# (CTest) and the pytest suite in tests/ (the fuzz suite in tests/fuzz included), against the freshly
# built tree, not an installed copy.
#
#   bash scripts/sanitize.sh [pytest arguments...]
#
# Environment: VEXIL_SANITIZE_BUILD (build directory, default build/sanitize), VEXIL_JOBS (parallel
# compile jobs, default 2), VEXIL_SANITIZE_TARGETS (build only these targets), VEXIL_CORE_TESTS (ON/OFF,
# default ON), PYTHON (interpreter with numpy, scipy, pandas, pytest and hypothesis; default python3).
# It takes about 12 minutes on two cores: 1.5 to build, 10 for the tests.
#
# Run-time settings:
# - The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded (LD_PRELOAD):
#   ASan has to come first in the process's library list, before an instrumented extension module loads.
# - PYTHONMALLOC=malloc sends every Python object allocation through malloc, so ASan sees overflows and
#   use-after-free of Python objects too (pymalloc's arenas would hide them).
# - detect_leaks=0: the interpreter never frees much of what it allocates at start-up and keeps
#   interned objects, caches and module state alive until exit; LeakSanitizer reports all of it as leaks
#   and buries anything of ours. Reference and memory leaks are the business of the leak tests.
# - UBSan stops at the first finding (halt_on_error=1; the build also uses -fno-sanitize-recover) and
#   prints the stack.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VEXIL_SANITIZE_BUILD:-$root/build/sanitize}"
jobs="${VEXIL_JOBS:-2}"
python="${PYTHON:-python3}"
start=$SECONDS

# The C++ core tests join when there are any (VEXIL_CORE_TESTS=OFF leaves them out).
core_tests="${VEXIL_CORE_TESTS:-ON}"
if ! compgen -G "$root/tests/core/*.cpp" >/dev/null; then core_tests=OFF; fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_SANITIZE=ON \
      -DVEXIL_CORE_TESTS="$core_tests" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
# VEXIL_SANITIZE_TARGETS (space-separated CMake targets) builds only those, e.g. "options python_tree".
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" ${VEXIL_SANITIZE_TARGETS:+--target $VEXIL_SANITIZE_TARGETS}
echo "sanitizer build: $((SECONDS - start)) s"

# The runtimes that match the compiler the build used.
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
preload=""
for lib in libasan.so libubsan.so; do
  path="$("$cxx" -print-file-name="$lib")"
  if [[ "$path" != /* || ! -e "$path" ]]; then
    echo "sanitize.sh: $cxx does not know where $lib is (the script supports GCC's sanitizer runtimes)" >&2
    exit 2
  fi
  preload="$preload${preload:+ }$(readlink -f "$path")"
done

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

if [[ "$core_tests" == ON ]]; then
  t=$SECONDS
  # The core test programs are instrumented executables themselves: no preloading.
  VEXIL_PYTHON="$(command -v "$python")" ctest --test-dir "$build" --output-on-failure
  echo "core tests under the sanitizers: $((SECONDS - t)) s"
fi

# Left out: tests marked "slow" (packaging: they build wheels; no native code of ours runs there) and
# "memory" (they judge the process's memory in bytes: ASan's quarantine keeps freed blocks out of reuse, so
# the resident set grows by megabytes without a leak, and under PYTHONMALLOC=malloc numpy's and the
# interpreter's own caches make tracemalloc's figure drift by a few hundred KiB, as a plain pure-Python
# loop over numpy shows too). The byte-judging tests of test_catalogue and test_leaks are left out by
# name until they carry the marker; they run in the normal suite.
t=$SECONDS
cd "$build"
LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$build" \
  "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" -c "$root/pyproject.toml" \
  -m "not slow and not memory" \
  "$root/tests" "$@"
echo "pytest under the sanitizers: $((SECONDS - t)) s; total $((SECONDS - start)) s"
