#!/usr/bin/env bash
# Measures what a challenge set costs: one cold build of both platforms (the
# release and 32-bit Windows presets, from nothing), then a 30-learner set for
# both platforms, in the same run, and prints the time per learner beside it.
# Needs what tools/challenge-set needs: cmake, ninja, g++, git, MinGW-w64.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/require.sh
require cmake:cmake ninja:ninja-build g++:g++ git:git python3:python3 \
    i686-w64-mingw32-g++:g++-mingw-w64-i686

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
learners=30

seconds() { python3 -c 'import time; print(f"{time.monotonic():.3f}")'; }

start=$(seconds)
cmake -S . -B "$work/cold-linux" --preset release >/dev/null
cmake --build "$work/cold-linux" >/dev/null
cmake -S . -B "$work/cold-windows" --preset windows -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/cold-windows" >/dev/null
cold=$(python3 -c "print(f'{$(seconds) - $start:.1f}')")

(umask 077 && head -c 32 /dev/urandom >"$work/secret")
seq -f 'learner-%02g' "$learners" >"$work/roster"
start=$(seconds)
tools/challenge-set make --set bench --secret-file "$work/secret" --roster "$work/roster" \
    --out "$work/set" >"$work/set.log"
set_seconds=$(python3 -c "print(f'{$(seconds) - $start:.1f}')")

echo "machine: $(nproc) cores, $(uname -m), $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "date:    $(date -u +%Y-%m-%d)"
echo
printf '%-44s %8s s\n' "cold build, Linux and Windows" "$cold"
printf '%-44s %8s s\n' "set of $learners learners, Linux and Windows" "$set_seconds"
printf '%-44s %8s s   (%s of a cold build)\n' "per learner" \
    "$(python3 -c "print(f'{$set_seconds / $learners:.2f}')")" \
    "$(python3 -c "print(f'{$set_seconds / $learners / $cold:.2f}')")"
redrawn=$(sed -n 's/^values drawn again for \([0-9]*\) learner(s), \([0-9]*\) draw.*/\2, for \1 learner(s)/p' "$work/set.log")
echo "values drawn again: ${redrawn:-0}"
shapes=$(sed -n 's/^a new shape drawn for \([0-9]*\) learner.*/\1/p' "$work/set.log")
echo "new shapes drawn: ${shapes:-0} learner(s)"
grep -h '^Windows programs' "$work/set.log" || echo "Windows programs: each run under 32-bit Wine"
