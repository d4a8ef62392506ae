#!/usr/bin/env bash
# Measures the release build against two references built here in the same
# run: the floor of any process (a do-nothing static C program) and the
# practical limit of a stream program (a static C++ program that reads two
# words with >> and writes one verdict line). Prints instructions (callgrind,
# repeatable), wall time over many runs and peak memory for one correct and
# one failed attempt, and the peak memory of attempts fed a 1 GiB word and
# 256 MiB of white space.
#
# Every program runs in one fixed environment (env -i with a fixed PATH): the
# cost of starting a process grows with the size of its environment, so the
# caller's would otherwise move every figure.
set -euo pipefail
cd "$(dirname "$0")/.."

# What this needs, by command, and the Debian package that brings it.
source bench/require.sh
require cmake:cmake ninja:ninja-build g++:g++ gcc:gcc valgrind:valgrind /usr/bin/time:time \
    python3:python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run=(env -i PATH=/usr/bin:/bin)

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
program=build/release/login-challenge
printf 'int main(void){return 0;}\n' >"$work/floor.c"
gcc -O2 -static "$work/floor.c" -o "$work/floor"
cat >"$work/stream.cpp" <<'CPP'
#include <iostream>
#include <string>
int main()
{
    std::string user_name, password;
    std::cin >> user_name >> password;
    std::cout << (user_name == password ? "Correct" : "Try Again") << std::endl;
}
CPP
g++ -O2 -static "$work/stream.cpp" -o "$work/stream"

# The attempts' answers come from the builders themselves.
g++ -std=c++17 -O1 -Isrc tests/tools/reference_values.cpp src/credentials.cpp \
    -o "$work/reference-values"
"$work/reference-values" "$work/references" >/dev/null
{ read -r user_name; read -r password; } <"$work/references"
printf '%s\n%s\n' "$user_name" "$password" >"$work/correct"
printf '%s\n%s\n' "$user_name" "wrong" >"$work/failed"

instructions() { # program input
    "${run[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" <"$2" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
peak_kib() { # program input
    "${run[@]}" /usr/bin/time -f '%M' -o "$work/peak" "$1" <"$2" >/dev/null
    tail -n 1 "$work/peak"
}
if command -v hyperfine >/dev/null; then
    timer="hyperfine: mean of 500 runs after 20 warm-ups, the shell's own cost subtracted"
else
    timer="a plain loop of 500 runs, the shell's cost included (install hyperfine for better)"
fi
mean_ms() { # program input
    if command -v hyperfine >/dev/null; then
        "${run[@]}" "$(command -v hyperfine)" --warmup 20 --runs 500 --export-json "$work/h.json" \
            "$1 <$2" >/dev/null 2>&1
        python3 -c 'import json,sys; mean = json.load(open(sys.argv[1]))["results"][0]["mean"]; print(f"{mean * 1000:.3f}")' "$work/h.json"
    else
        local start end
        start=$(date +%s%N)
        for _ in $(seq 500); do "${run[@]}" "$1" <"$2" >/dev/null; done
        end=$(date +%s%N)
        python3 -c "print(f'{($end - $start) / 500 / 1e6:.3f}')"
    fi
}
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

: >"$work/empty"
floor_i=$(instructions "$work/floor" "$work/empty")
floor_t=$(mean_ms "$work/floor" "$work/empty")
floor_m=$(peak_kib "$work/floor" "$work/empty")
stream_i=$(instructions "$work/stream" "$work/correct")
stream_t=$(mean_ms "$work/stream" "$work/correct")
stream_m=$(peak_kib "$work/stream" "$work/correct")

echo "machine:     $(nproc) cores, $(uname -m), $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "date:        $(date -u +%Y-%m-%d)"
echo "environment: env -i PATH=/usr/bin:/bin, for every program"
echo "timer:       $timer"
echo "floor:       a do-nothing static C program"
echo "stream:      a static C++ program that reads two words with >> and writes one line"
printf '\n%-9s %13s %7s %7s %9s %7s %7s %9s %7s %7s\n' attempt instructions "/floor" "/stream" \
    "mean ms" "/floor" "/stream" "peak KiB" "/floor" "/stream"
row() { # name instructions ms kib
    printf '%-9s %13s %7s %7s %9s %7s %7s %9s %7s %7s\n' "$1" \
        "$2" "$(ratio "$2" "$floor_i")" "$(ratio "$2" "$stream_i")" \
        "$3" "$(ratio "$3" "$floor_t")" "$(ratio "$3" "$stream_t")" \
        "$4" "$(ratio "$4" "$floor_m")" "$(ratio "$4" "$stream_m")"
}
row floor "$floor_i" "$floor_t" "$floor_m"
row stream "$stream_i" "$stream_t" "$stream_m"
for attempt in correct failed; do
    row "$attempt" "$(instructions "$program" "$work/$attempt")" \
        "$(mean_ms "$program" "$work/$attempt")" "$(peak_kib "$program" "$work/$attempt")"
done

word_kib=$( (head -c 1073741824 /dev/zero | tr '\0' 'w') |
    "${run[@]}" /usr/bin/time -f '%M' -o "$work/peak" "$program" >/dev/null && tail -n 1 "$work/peak")
space_kib=$( ( (head -c 268435456 /dev/zero | tr '\0' ' '); cat "$work/correct") |
    "${run[@]}" /usr/bin/time -f '%M' -o "$work/peak" "$program" | tail -c 8 | tr -d '\n' >"$work/verdict" &&
    tail -n 1 "$work/peak")
printf '\n1 GiB word:                 peak %s KiB\n' "$word_kib"
printf '256 MiB of white space:     peak %s KiB, verdict "%s"\n' "$space_kib" "$(cat "$work/verdict")"
