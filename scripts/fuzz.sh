#!/bin/sh
# Fuzz the DHCP packet parser with libFuzzer for a bounded time.
#
# Usage: scripts/fuzz.sh [SECONDS]        (default 60)
#
# Installs clang-14 and libFuzzer from Debian if they are missing (needs root then), builds the
# fuzzer into build-fuzz/, seeds fuzz/corpus-work/ with a few valid packets and runs the fuzzer
# for SECONDS. Exits non-zero if the fuzzer finds a crash; the crashing input is left as
# build-fuzz/crash-* and should become a regression test in tests/protocol/ (bytes inline).
set -eu

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
corpus="$root/fuzz/corpus-work"

missing=""
for package in clang-14 libfuzzer-14-dev libclang-rt-14-dev cmake make nlohmann-json3-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "fuzz.sh: installing$missing"
    apt-get update
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DANVIL_FUZZ=ON -DANVIL_TESTS=OFF -DANVIL_WERROR=ON
# Build everything, not only the fuzzer, so the core is also checked under clang with -Werror.
make -C "$build" -j2

mkdir -p "$corpus"
"$build/fuzz/packet_seed_writer" "$corpus"

cd "$build"
status=0
"$build/fuzz/packet_parse_fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: the fuzzer failed (status $status); see the crash-* files in $build" >&2
fi
exit "$status"
