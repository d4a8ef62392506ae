#!/usr/bin/env python3
"""Builds the program with g++ and clang++ at -O0, -O2, -O3 and -O3 with
link-time optimisation, with the release preset, and as a 32-bit and a 64-bit
Windows .exe, and fails if either reference value stands whole in any of the
executables, if `strings` shows the pool of their characters in one, or if a
value stands in the memory of a native one paused after a failed attempt."""

import argparse
import concurrent.futures
import glob
import os
import shutil
import subprocess
import sys
import tempfile

from memory_after_verdict import memory_findings
from scan_for_values import findings
from support import load_references

OPTIMISATIONS = {"O0": ["-O0"], "O2": ["-O2"], "O3": ["-O3"], "O3-lto": ["-O3", "-flto"]}
NATIVE = {"g++": "g++", "clang++": "clang"}
WINDOWS = {"i686-w64-mingw32-g++": "g++-mingw-w64-i686",
           "x86_64-w64-mingw32-g++": "g++-mingw-w64-x86-64"}


def compile_variant(source, directory, compiler, name, flags):
    output = os.path.join(directory, f"{compiler}-{name}" + (".exe" if compiler in WINDOWS else ""))
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
    missing = [package for compiler, package in {**NATIVE, **WINDOWS}.items()
               if shutil.which(compiler) is None]
    if missing:
        print(f"not installed: the compilers of {', '.join(missing)}; "
              f"install them with `apt-get install -y {' '.join(missing)}`")
        return 1

    with tempfile.TemporaryDirectory() as directory:
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
            jobs = [pool.submit(compile_variant, arguments.source, directory, compiler, name, flags)
                    for compiler in NATIVE for name, flags in OPTIMISATIONS.items()]
            jobs.append(pool.submit(build_release, arguments.source, directory))
            windows_jobs = [pool.submit(compile_variant, arguments.source, directory, compiler,
                                        "O2", ["-O2", "-static"]) for compiler in WINDOWS]
            native = [job.result() for job in jobs]
            executables = native + [job.result() for job in windows_jobs]
        problems = [problem for path in executables for problem in findings(path, references)]
        problems += [problem for path in native for problem in memory_findings(path, references)]
    for problem in problems:
        print(problem)
    print(f"scanned {len(executables)} builds")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
