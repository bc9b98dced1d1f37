#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first a build with the Debian package's own
# options, whose programs the tests run and the package then holds; then the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer. Each stage prints its time.
# Usage (as root): bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/package-options.sh

timings=()
stage() {
  local name=$1 started=$SECONDS
  shift
  echo "== $name"
  "$@"
  timings+=("$name: $((SECONDS - started)) s")
  echo "== $name ($((SECONDS - started)) s)"
}
summary() {
  echo "== times"
  printf '   %s\n' "${timings[@]}" "total: $SECONDS s"
}
trap summary EXIT

stage install-deps bash scripts/install-deps.sh
stage build bash scripts/build.sh build "${package_options[@]}"
stage tests ctest --test-dir build --output-on-failure --timeout 600
stage package bash scripts/test-package.sh build

# Qt and its plug-ins leak by design at exit, so the sanitizers check the model without the screens.
# Only the unit tests run here, so the end-to-end programs are not built; -O1 and light debug
# information keep this build short and the stacks readable.
stage "sanitizer build" bash scripts/build.sh build-asan -DANVIL_SANITIZE=ON -DANVIL_APP=OFF -DANVIL_E2E_TESTS=OFF \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
stage "unit tests under sanitizers" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 600 --label-exclude end-to-end
