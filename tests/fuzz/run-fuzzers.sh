#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset and runs each for a bounded time.
#
#   bash tests/fuzz/run-fuzzers.sh [BUILD-DIR [SECONDS [TARGET...]]]
#
# BUILD-DIR defaults to build-fuzz, SECONDS (per target) to 60, the targets to all six. Each target
# first replays its inputs in tests/fuzz/regressions/<target> (every crash found so far), then fuzzes
# from its seed corpus tests/fuzz/corpus/<target>; what it learns goes to BUILD-DIR/fuzz-corpus/<target>,
# crashes to BUILD-DIR/fuzz-artifacts/. Exits non-zero when any target crashed or broke a rule.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build-fuzz}
seconds=${2:-60}
shift $(($# > 2 ? 2 : $#))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_receive_callback fuzz_send_fields fuzz_dialog_template fuzz_bus_tools fuzz_socketcand_protocol
             fuzz_slcan_protocol)
fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target fuzz_targets

status=0
summary=()
for target in "${targets[@]}"; do
    program="$build/tests/fuzz/$target/$target"
    seeds="tests/fuzz/corpus/$target"
    learned="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts"
    log="$build/fuzz-$target.log"
    mkdir -p "$learned" "$artifacts"

    regressions=(tests/fuzz/regressions/"$target"/*)
    if [ -e "${regressions[0]}" ]; then
        echo "=== $target: replaying ${#regressions[@]} regression input(s)"
        if ! "$program" -runs=1 "${regressions[@]}" >"$log.regressions" 2>&1; then
            tail -n 40 "$log.regressions"
            echo "fuzz: $target fails on a regression input (see $log.regressions)" >&2
            status=1
            summary+=("$target: regression input fails")
            continue
        fi
    fi

    echo "=== $target: fuzzing for $seconds s"
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$learned" "$seeds" >"$log" 2>&1; then
        verdict="no crash"
    else
        tail -n 40 "$log"
        echo "fuzz: $target crashed or broke a rule (log $log, input in $artifacts)" >&2
        verdict="CRASH"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$target: ${runs:-?} executions in $seconds s, $verdict")
done

echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
