#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the normal build,
# then the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage (as root): bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== build"
bash scripts/build.sh build
echo "== tests"
ctest --test-dir build --output-on-failure --timeout 600

echo "== package"
bash scripts/test-package.sh

echo "== sanitizer build"
# Qt and its plug-ins leak by design at exit, so the sanitizers check the model without the screens.
bash scripts/build.sh build-asan -DANVIL_SANITIZE=ON -DANVIL_APP=OFF
echo "== unit tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 600 --label-exclude end-to-end
