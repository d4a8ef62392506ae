#!/usr/bin/env bash
# Measures the release build against the floor of any process on this machine:
# a do-nothing static C program, built here in the same run. Prints
# instructions (callgrind, repeatable), wall time over many runs and peak
# memory for one correct and one failed attempt, and the peak memory of
# attempts fed a 1 GiB word and 256 MiB of white space.
# Needs: gcc, cmake, ninja, valgrind, GNU time; hyperfine if installed.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
program=build/release/login-challenge
printf 'int main(void){return 0;}\n' >"$work/floor.c"
gcc -O2 -static "$work/floor.c" -o "$work/floor"

# The attempts' answers come from the builders, through the test tool.
cmake --preset dev >/dev/null
cmake --build --preset dev --target reference-values >/dev/null
build/dev/tests/reference-values "$work/references" >/dev/null
{ read -r user_name; read -r password; } <"$work/references"
printf '%s\n%s\n' "$user_name" "$password" >"$work/correct"
printf '%s\n%s\n' "$user_name" "wrong" >"$work/failed"

instructions() { # program input
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" <"$2" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
peak_kib() { # program input
    /usr/bin/time -f '%M' -o "$work/peak" "$1" <"$2" >/dev/null
    tail -n 1 "$work/peak"
}
mean_ms() { # program input
    if command -v hyperfine >/dev/null; then
        # hyperfine subtracts the time of the shell that does the redirection.
        hyperfine --warmup 20 --runs 500 --export-json "$work/h.json" "$1 <$2" >/dev/null 2>&1
        python3 -c 'import json,sys; mean = json.load(open(sys.argv[1]))["results"][0]["mean"]; print(f"{mean * 1000:.3f}")' "$work/h.json"
    else
        local start end
        start=$(date +%s%N)
        for _ in $(seq 500); do "$1" <"$2" >/dev/null; done
        end=$(date +%s%N)
        python3 -c "print(f'{($end - $start) / 500 / 1e6:.3f}')"
    fi
}
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

: >"$work/empty"
floor_instructions=$(instructions "$work/floor" "$work/empty")
floor_ms=$(mean_ms "$work/floor" "$work/empty")
floor_kib=$(peak_kib "$work/floor" "$work/empty")

echo "machine: $(nproc) cores, $(uname -m), $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "date:    $(date -u +%Y-%m-%d)"
printf '\n%-16s %14s %8s %10s %8s %10s %8s\n' attempt instructions ratio "mean ms" ratio "peak KiB" ratio
printf '%-16s %14s %8s %10s %8s %10s %8s\n' floor "$floor_instructions" 1.00 "$floor_ms" 1.00 "$floor_kib" 1.00
for attempt in correct failed; do
    i=$(instructions "$program" "$work/$attempt")
    t=$(mean_ms "$program" "$work/$attempt")
    m=$(peak_kib "$program" "$work/$attempt")
    printf '%-16s %14s %8s %10s %8s %10s %8s\n' "$attempt" "$i" "$(ratio "$i" "$floor_instructions")" \
        "$t" "$(ratio "$t" "$floor_ms")" "$m" "$(ratio "$m" "$floor_kib")"
done

word_kib=$( (head -c 1073741824 /dev/zero | tr '\0' 'w') |
    /usr/bin/time -f '%M' -o "$work/peak" "$program" >/dev/null && tail -n 1 "$work/peak")
space_kib=$( ( (head -c 268435456 /dev/zero | tr '\0' ' '); cat "$work/correct") |
    /usr/bin/time -f '%M' -o "$work/peak" "$program" | tail -c 8 | tr -d '\n' >"$work/verdict" &&
    tail -n 1 "$work/peak")
printf '\n1 GiB word:                 peak %s KiB\n' "$word_kib"
printf '256 MiB of white space:     peak %s KiB, verdict "%s"\n' "$space_kib" "$(cat "$work/verdict")"
