#!/bin/sh
# Fuzz every libFuzzer target (fuzz/*_fuzzer.cpp) for a bounded time each: the packet parser,
# the whole datagram path, the lease file loader, the frames of the cable watch and device logs.
#
# Usage: scripts/fuzz.sh [SECONDS]        (default 60, for each fuzzer)
#
# Installs clang-14 and libFuzzer from Debian if they are missing (needs root then), builds the
# fuzzers into build-fuzz/, seeds fuzz/corpus-work/<target>/ with a few valid inputs and runs each
# fuzzer for SECONDS. Exits non-zero if any fuzzer finds a crash; the crashing input is left as
# build-fuzz/crash-* and should become a regression test under tests/ (bytes inline).
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

cd "$build"
status=0
for fuzzer in "$build"/fuzz/*_fuzzer; do
    name="$(basename "$fuzzer")"
    work="$corpus/$name"
    options=""
    mkdir -p "$work"
    case "$name" in
        packet_parse_fuzzer) "$build/fuzz/packet_seed_writer" "$work" ;;
        datagram_path_fuzzer) "$build/fuzz/packet_seed_writer" "$work" --with-table ;;
        watched_frame_fuzzer) "$build/fuzz/frame_seed_writer" "$work" ;;
        syslog_parse_fuzzer)
            printf '<13>Dec 11 08:43:34 vm mytag[12056]: text' >"$work/seed-3164"
            printf '<6>pxe-7 ipxe: Configuring (net0)\n' >"$work/seed-ipxe"
            printf '<165>1 2003-10-11T22:14:15.003Z host app 42 ID47 [a@1 x="3\\]"][b@2] \357\273\277event' >"$work/seed-5424"
            printf '[    1.000] Linux version\r\n=> ' >"$work/seed-console"
            ;;
        # leases.json and its journal, as arbitrary bytes; a crash here should become a row of the
        # torn and damaged journal table in tests/leases/.
        lease_file_fuzzer)
            work="$root/fuzz/corpus-leases-work"
            mkdir -p "$work"
            "$build/fuzz/lease_seed_writer" "$work"
            options="-timeout=10"
            ;;
    esac
    echo "fuzz.sh: $name for $seconds s"
    result=0
    # shellcheck disable=SC2086
    "$fuzzer" -max_total_time="$seconds" $options -print_final_stats=1 "$work" || result=$?
    if [ "$result" -ne 0 ]; then
        echo "fuzz.sh: $name failed (status $result); see the crash-* files in $build" >&2
        [ "$status" -ne 0 ] || status=$result
    fi
done
exit "$status"
