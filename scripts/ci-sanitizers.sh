#!/usr/bin/env bash
# Builds the test suite twice with sanitizers (CUDA off) and runs it:
#   1. clang-14 with AddressSanitizer + UndefinedBehaviorSanitizer, every test but the slowest;
#   2. clang-14 with ThreadSanitizer, the tests that run work on several threads.
# Any report fails the run. Build directories default to build-{asan,tsan}/ inside the checkout, so two checkouts never
# share a CMake cache.
#   scripts/ci-sanitizers.sh [asan|tsan|all]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
which="${1:-all}"
jobs="$(nproc)"

"$root/scripts/install-deps.sh" --clang

configure_and_build() {  # build-dir flags
    CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$1" -G Ninja -DFWPRUNE_ENABLE_CUDA=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$2" \
        -DCMAKE_EXE_LINKER_FLAGS="$2" -DCMAKE_SHARED_LINKER_FLAGS="$2" >/dev/null
    ninja -C "$1" -j"$jobs"
}

# The parse of a 46340-node graph zeroes 2 GiB under instrumentation and proves nothing a
# sanitizer can add; the unsanitized run covers it.
slow='LargestGraphThatFitsTheCellCountIsAccepted'
# Tests that cap the address space (ulimit -v, RLIMIT_AS) cannot run where the sanitizers reserve
# terabytes of it for their shadow memory, nor can one that weighs a run's peak memory; the
# unsanitized run covers them.
capped='EngineErrorsExitWithFour|InputThatCannotHoldItsGraph|MemoryFollowsTheData|LabelFilePastTheMemoryLimit'

if [ "$which" = asan ] || [ "$which" = all ]; then
    build="${FWPRUNE_ASAN_BUILD:-$root/build-asan}"
    configure_and_build "$build" \
        "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$build" --output-on-failure -j"$jobs" -E "$slow|$capped"
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
    build="${FWPRUNE_TSAN_BUILD:-$root/build-tsan}"
    configure_and_build "$build" "-fsanitize=thread -fno-omit-frame-pointer"
    # Stand-in launches (blocks on a pool), the threaded CPU engines (the sparse route splits its
    # passes between threads), and the concurrency tests.
    threaded='Concurrency|DeviceFault|Emulat|Kernel|Pipeline|InMemoryApi|CheckedCalls|Cpu|Parallel|OnAPool|AnyThreadCount|SparseRoute'
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/.tsan-suppressions" \
        ctest --test-dir "$build" --output-on-failure -j"$jobs" -R "$threaded" -E "$slow|$capped"
fi
