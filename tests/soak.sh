#!/usr/bin/env bash
# The whole suite, ROUNDS times in a row, while two CPU-burning processes run
# beside it: a test that passes only on a quiet machine fails here. The
# burners end by themselves (after SOAK_BURN_SECONDS) if this script is killed.
#
#   tests/soak.sh BUILD-DIR        (make soak; SOAK_ROUNDS, default 3)
set -u
build=${1:-build}
rounds=${SOAK_ROUNDS:-3}
burners=()
for _ in 1 2; do
    timeout "${SOAK_BURN_SECONDS:-10800}" sh -c 'while :; do :; done' &
    burners+=($!)
done
trap 'kill "${burners[@]}" 2>/dev/null' EXIT
start=$(date +%s)
for round in $(seq "$rounds"); do
    echo "== soak round $round of $rounds, two CPUs burning beside it"
    if ! (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)"); then
        echo "soak: round $round failed after $(($(date +%s) - start)) s"
        exit 1
    fi
done
echo "soak: $rounds rounds green in $(($(date +%s) - start)) s"
