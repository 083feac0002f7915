#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*/) with Clang and runs each for a fixed time on a copy of its
# seed corpus, then prints per target how many inputs it ran and what it found.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 30); TARGET names (fuzz_html, banner_record_fuzzer, ...) limit the run to
# those targets.
# PAGESTOW_FUZZ_BUILD_DIR picks the build folder (default build-fuzz), PAGESTOW_FUZZ_JOBS the build's
# parallel jobs. Findings (crash-*, leak-*, timeout-*, oom-* inputs) are kept below the build folder
# in fuzz-findings/TARGET/; rerun one with: BUILD/bin/TARGET FILE. Exit status 1 when anything was
# found or a target could not be built or run.
set -euo pipefail

seconds=30
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
wanted=("$@")

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PAGESTOW_FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${PAGESTOW_FUZZ_JOBS:-$(nproc)}

# Every fuzz target and the folder that holds its seeds.
declare -A corpus_of=()
targets=()
for list in "$root"/fuzz/*/CMakeLists.txt; do
    dir=$(dirname "$list")
    while read -r target; do
        [[ -n $target ]] || continue
        if [[ ${#wanted[@]} -gt 0 && ! " ${wanted[*]} " =~ " $target " ]]; then
            continue
        fi
        targets+=("$target")
        corpus_of[$target]=$dir/corpus
    done < <(grep -oE 'add_executable\([A-Za-z0-9_]+' "$list" | sed 's/add_executable(//' || true)
done
if [[ ${#targets[@]} -eq 0 ]]; then
    echo "fuzz.sh: no fuzz targets found" >&2
    exit 1
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPAGESTOW_WITH_GUI=OFF -DPAGESTOW_BUILD_TESTS=OFF -DPAGESTOW_BUILD_BENCHMARKS=OFF >/dev/null

findings_root=$build/fuzz-findings
status=0
declare -A executions=() findings=() notes=()
for target in "${targets[@]}"; do
    if ! cmake --build "$build" --target "$target" -j "$jobs" >"$build/$target.build.log" 2>&1; then
        notes[$target]="build failed, see $build/$target.build.log"
        status=1
        continue
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/pagestow-fuzz-$target-XXXXXX")
    mkdir -p "$work/corpus" "$work/artifacts"
    if [[ -d ${corpus_of[$target]} ]]; then
        cp -r "${corpus_of[$target]}/." "$work/corpus/"
    fi
    echo "== $target: $seconds s" >&2
    # libFuzzer stops at its first finding; the time limit ends a run without one.
    set +e
    (cd "$work" && "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 \
        -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" "$work/corpus") >"$work/log" 2>&1
    code=$?
    set -e
    executions[$target]=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$work/log" | grep -oE '[0-9]+$' |
        tail -n 1 || true)
    found=$(find "$work/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | sort)
    count=0
    if [[ -n $found ]]; then
        count=$(printf '%s\n' "$found" | wc -l)
        mkdir -p "$findings_root/$target"
        cp $found "$work/log" "$findings_root/$target/"
        notes[$target]="kept in $findings_root/$target/"
        status=1
    elif [[ $code -ne 0 ]]; then
        mkdir -p "$findings_root/$target"
        cp "$work/log" "$findings_root/$target/"
        notes[$target]="exit status $code, log in $findings_root/$target/log"
        status=1
    fi
    findings[$target]=$count
    rm -rf "$work"
done

printf '\n%-22s %8s %12s %9s  %s\n' target seconds executions findings notes
for target in "${targets[@]}"; do
    printf '%-22s %8s %12s %9s  %s\n' "$target" "$seconds" "${executions[$target]:--}" \
        "${findings[$target]:--}" "${notes[$target]:-}"
done
exit $status
