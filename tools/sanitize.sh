#!/usr/bin/env bash
# Runs the test suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option ALGO_SANITIZE), in a build
# directory and virtualenv of their own under build/sanitize/.
#
#   tools/sanitize.sh [pytest arguments...]
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded, together with the C++ runtime whose exception throwing it must
# intercept (the interpreter does not link it); leak detection is off because
# the interpreter keeps its objects alive until exit. Python objects are allocated with malloc, so that ASan
# also watches the objects the extensions touch. Any report ends the run with
# a non-zero status. Set PYTHON to choose the base interpreter (Python 3.11).
set -euo pipefail
cd "$(dirname "$0")/.."

root=build/sanitize
venv=$root/venv
if [ ! -x "$venv/bin/python" ]; then
  "${PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  # The build requirements, the runtime dependencies and the test extras.
  "$venv/bin/python" - <<'EOF' > "$root/requirements.txt"
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
print("\n".join(project["build-system"]["requires"] + project["project"]["dependencies"]
                + project["project"]["optional-dependencies"]["test"]))
EOF
  "$venv/bin/pip" install --quiet -r "$root/requirements.txt"
fi

"$venv/bin/pip" install --quiet --no-build-isolation --no-deps \
  -C cmake.define.ALGO_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
  -C "build-dir=$root/{wheel_tag}" .

compiler=${CXX:-c++}
export LD_PRELOAD="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
exec "$venv/bin/pytest" -q -p no:cacheprovider "$@"
