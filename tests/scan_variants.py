#!/usr/bin/env python3
"""Builds the program with g++ and clang++ at -O0, -O2, -O3 and -O3 with
link-time optimisation, and with the release preset, and fails if either
reference value stands whole in any of the executables, or in the memory of
any of them paused after a failed attempt."""

import argparse
import concurrent.futures
import glob
import os
import subprocess
import sys
import tempfile

from memory_after_verdict import memory_findings
from scan_for_values import findings
from support import load_references

OPTIMISATIONS = {"O0": ["-O0"], "O2": ["-O2"], "O3": ["-O3"], "O3-lto": ["-O3", "-flto"]}


def compile_variant(source, directory, compiler, name, flags):
    output = os.path.join(directory, f"{compiler}-{name}")
    sources = sorted(glob.glob(os.path.join(source, "src", "*.cpp")))
    subprocess.run([compiler, "-std=c++17", *flags, *sources, "-o", output], check=True)
    return output


def build_release(source, directory):
    build = os.path.join(directory, "release")
    subprocess.run(["cmake", "-S", source, "--preset", "release", "-B", build],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "login-challenge")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True)
    parser.add_argument("--references", required=True)
    arguments = parser.parse_args()
    references = load_references(arguments.references)

    with tempfile.TemporaryDirectory() as directory:
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
            jobs = [pool.submit(compile_variant, arguments.source, directory, compiler, name, flags)
                    for compiler in ("g++", "clang++") for name, flags in OPTIMISATIONS.items()]
            jobs.append(pool.submit(build_release, arguments.source, directory))
            executables = [job.result() for job in jobs]
        problems = [problem for path in executables
                    for problem in findings(path, references) + memory_findings(path, references)]
    for problem in problems:
        print(problem)
    print(f"scanned {len(executables)} builds")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
