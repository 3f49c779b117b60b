#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) into
# <builddir>/fuzz and runs them.
#   run.sh <builddir> <runs>   a bounded run of <runs> inputs per target (what ctest does)
#   run.sh <builddir>          a longer run: FUZZ_SECONDS (default 300) per target, keeping the
#                              grown corpus in <builddir>/fuzz/corpus-* for the next run
# A crash leaves its input as <builddir>/fuzz/crash-* and makes the script fail; replay it with
#   <builddir>/fuzz/<target> <builddir>/fuzz/crash-...
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:?usage: run.sh <builddir> [runs]}" && pwd)"
runs="${2:-}"
out="$build/fuzz"
mkdir -p "$out/obj"

CXX="${FUZZ_CXX:-clang++}"
if ! command -v "$CXX" >/dev/null; then
    echo "fuzz: $CXX not found" >&2
    exit 1
fi

flags=(-std=c++20 -g -O1 -fPIC -fno-omit-frame-pointer
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -I"$root/src/pocket" -I"$root/src/pocket/crypto")
read -r -a qtflags <<<"$(pkg-config --cflags Qt6Core)"
read -r -a qtlibs <<<"$(pkg-config --libs Qt6Core)"

# The product code the targets exercise. The crypto library's sources and their instruction-set
# flags (its vector kernels need -mssse3, -mavx2, …) are taken from the main build's compile
# commands, so kernels added there come along without touching this script.
commands="$build/compile_commands.json"
if [[ ! -f "$commands" ]]; then
    echo "fuzz: $commands missing; configure the main build first" >&2
    exit 1
fi
sources=("$root"/src/pocket/{ByteCount,PocketVaultError,PocketFormat,PocketFile,PocketItem,PocketPayload}.cpp)
declare -A source_flags=()
while IFS= read -r line; do
    src="$(sed -E 's/.* -c ([^ ]+\.cpp)".*/\1/' <<<"$line")"
    [[ "$src" == "$root/src/pocket/crypto/"*.cpp ]] || continue
    sources+=("$src")
    source_flags["$src"]="$(grep -oE ' -m[a-z0-9=.-]+' <<<"$line" | tr -d '\n' || true)"
done < <(grep -E '"command": .* -c [^ ]*/src/pocket/crypto/[^ ]+\.cpp"' "$commands")

stamp_newer() { # true when any argument is newer than the first
    local target="$1"; shift
    [[ ! -e "$target" ]] && return 0
    local f
    for f in "$@"; do [[ "$f" -nt "$target" ]] && return 0; done
    return 1
}

headers=("$root"/src/pocket/*.h "$root"/src/pocket/crypto/*.h)
compile() { # source object [extra flags...]
    local src="$1" obj="$2"; shift 2
    if stamp_newer "$obj" "$src" "${headers[@]}" "$0"; then
        "$CXX" "${flags[@]}" "${qtflags[@]}" "$@" -c "$src" -o "$obj"
    fi
}

pids=()
objects=()
for src in "${sources[@]}"; do
    name="$(basename "$src" .cpp)"
    read -r -a extra <<<"${source_flags[$src]:-}"
    obj="$out/obj/$name.o"
    objects+=("$obj")
    compile "$src" "$obj" "${extra[@]}" &
    pids+=($!)
    # At most four compilers at once; others are building too.
    if (( ${#pids[@]} >= 4 )); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p"; done

targets=(FuzzPayload FuzzPocketFile)
for t in "${targets[@]}"; do
    compile "$here/$t.cpp" "$out/obj/$t.o"
    if stamp_newer "$out/$t" "$out/obj/$t.o" "${objects[@]}"; then
        "$CXX" -fsanitize=fuzzer,address,undefined "$out/obj/$t.o" "${objects[@]}" "${qtlibs[@]}" -lcrypto \
            -o "$out/$t"
    fi
done

run_target() { # target seeds max_len bounded_runs
    local t="$1" seeds="$2" maxlen="$3" bounded="$4"
    local corpus="$out/corpus-$t"
    mkdir -p "$corpus"
    local limit=()
    if [[ -n "$runs" ]]; then
        limit=(-runs="$bounded" -seed=1)
        # A bounded run starts from the checked-in seeds only, so it is the same every time.
        rm -rf "$corpus"; mkdir -p "$corpus"
    else
        limit=(-max_total_time="${FUZZ_SECONDS:-300}")
    fi
    echo "fuzz: $t ${limit[*]}"
    local log="$out/$t.log" status=0
    (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$t" "${limit[@]}" -max_len="$maxlen" -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$out/" "$corpus" "$seeds" >"$log" 2>&1) || status=$?
    if (( status != 0 )); then
        tail -n 80 "$log"
        echo "fuzz: $t failed (full log: $log)" >&2
        return "$status"
    fi
    grep -aE '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log" || tail -n 3 "$log"
}

# Opening a file costs far more than decoding a payload (a 2 MB vault, key derivations, a 1 MB
# area), so a bounded run gives it a third of the inputs.
run_target FuzzPayload "$here/corpus/payload" 4096 "${runs:-0}"
run_target FuzzPocketFile "$here/corpus/file" 512 "$(( ${runs:-0} / 3 ))"
echo "fuzz: no crash"
