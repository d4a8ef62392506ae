"""Builds the default program and every learner's variant with CMake, and
runs each variant before it is packed."""

import contextlib
import ctypes
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

from .common import SOURCE, SetError, shown
from .executables import emulator_problem, transcript_matches, windows_defects
from .extractors import value_defects

# What each platform is built with, what it is called and how it is packed.
PLATFORMS = {
    "linux": {"preset": "release", "executable": "login-challenge", "archive": "tar.gz"},
    "windows": {"preset": "windows", "executable": "login-challenge.exe", "archive": "zip"},
}
# The Debian package that brings each tool a build needs.
TOOL_PACKAGES = {
    "cmake": "cmake", "ninja": "ninja-build", "g++": "g++",
    "i686-w64-mingw32-g++": "g++-mingw-w64-i686", "i686-w64-mingw32-windres": "binutils-mingw-w64-i686",
}
EXPECTED = SOURCE / "tests" / "transcripts" / "expected"
# A Wine prefix without Mono and Gecko, which a console program never needs,
# and without menu entries.
WINE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

running = set()  # the process groups of the children now running
wine_prefixes = []  # the Wine prefixes this run set up
# Every signal that ends a process by default and can be caught: each ends a
# run the same clean way. SIGKILL alone cannot be, nor the limits that send it.
SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGXCPU,
           signal.SIGXFSZ, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM)
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)
# Causes of a failed build that lie with the machine, not the source, as a
# build log states them, with what to do about each. None quotes a source line.
MACHINE_REASONS = {
    "raise the limit on open files (ulimit -n)": ["Too many open files"],
    "raise the file-size limit (ulimit -f)": ["File too large", "File size limit exceeded"],
    "raise the CPU-time limit (ulimit -t)": ["CPU time limit exceeded"],
    "free some room, or set TMPDIR to a larger folder": ["No space left on device",
                                                         "Disk quota exceeded"],
    "free some memory, or raise the limit (ulimit -v)": [
        "Cannot allocate memory", "memory exhausted", "out of memory", "std::bad_alloc",
        "required memory segment unavailable", "failed to map segment"],
    "a compiler was killed, most often for memory": ["Killed signal terminated program"],
    "raise the limit on processes (ulimit -u)": ["Resource temporarily unavailable"],
}


def parse_platforms(text):
    platforms = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in platforms if name not in PLATFORMS]
    if unknown or not platforms:
        raise SetError(f"--platforms: unknown platform {', '.join(map(shown, unknown)) or shown(text)}; "
                       f"choose from {', '.join(PLATFORMS)}")
    return list(dict.fromkeys(platforms))


def internal_name(learner):
    """A name for the learner's build target and folder: CMake target names
    hold no '@', '+' or "'". The mapping is one to one, and a function of the
    id alone, so a learner builds the same way in any set."""
    return learner.replace("_", "__").replace("@", "_a").replace("+", "_p").replace("'", "_q")


def check_tools(platforms):
    tools = ["cmake", "ninja"]
    if "linux" in platforms:
        tools.append("g++")
    if "windows" in platforms:
        tools += ["i686-w64-mingw32-g++", "i686-w64-mingw32-windres"]
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        packages = " ".join(dict.fromkeys(TOOL_PACKAGES[tool] for tool in missing))
        raise SetError(f"not installed: {', '.join(missing)}; install it with "
                       f"`apt-get install -y {packages}`")


def start(command, **options):
    """Starts a command in a process group of its own, which `end_children`
    ends whatever the command has started (ninja's compilers, Wine's server).
    Signals wait until the group is recorded; the child takes them at once."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    parent = os.getpid()

    def in_child():
        # A child dies with the tool even when the tool is killed outright
        # (SIGKILL): the next run never has to end a process it did not start.
        LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)  # pylint: disable=protected-access
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)

    try:
        process = subprocess.Popen(  # pylint: disable=consider-using-with
            command, process_group=0, preexec_fn=in_child, **options)
        running.add(process.pid)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
    return process


def run_child(command, progress=None, **options):
    process = start(command, **options)
    try:
        while True:
            try:
                process.wait(timeout=0.25)
                break
            except subprocess.TimeoutExpired:
                if progress:
                    progress()
    finally:
        end_group(process)
        running.discard(process.pid)
    return process.returncode


def within_running_time(step, seconds):
    """Calls `step(timeout=...)` until it returns, for at most `seconds` of
    the tool's own running time: a time it was stopped (Ctrl+Z, a late
    `fg`) does not count."""
    while seconds > 0:
        before = time.monotonic()
        try:
            return step(timeout=min(seconds, 1))
        except subprocess.TimeoutExpired:
            seconds -= min(time.monotonic() - before, 1.5)
    raise subprocess.TimeoutExpired("", seconds)


def end_group(process):
    """Ends what is left of a child's process group, within seconds."""
    for sent in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sent)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            continue
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return


def processes_naming(marker):
    """Every other process whose environment or command line holds `marker`:
    Wine's services carry this run's own prefix in their environment (they
    leave their parents' process groups). Without /proc, none is found; they
    then end with the server, which dies with the tool."""
    try:
        entries = os.listdir("/proc")
    except OSError:
        return
    for entry in entries:
        if entry.isdigit() and int(entry) != os.getpid():
            with contextlib.suppress(OSError):
                if marker in b"\0" + Path(f"/proc/{entry}/cmdline").read_bytes() + b"\0" + \
                        Path(f"/proc/{entry}/environ").read_bytes():
                    yield int(entry)


def end_processes(find):
    for _ in range(50):
        left = find()
        if not left:
            break
        for pid in left:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.1)


def end_children():
    end_processes(lambda: [pid for prefix in wine_prefixes
                           for pid in processes_naming(b"\0WINEPREFIX=" + str(prefix).encode())])
    for group in list(running):
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass


def shown_log(text, names):
    """What a message may show of a build log: the lines that say what failed,
    never a compiler's diagnostics, which quote the source line they stop at
    (a learner's generated unit holds their values), with internal names
    turned back into learner ids."""
    kept = [line[:160] for line in text.splitlines()
            if line.startswith(("FAILED:", "ninja:", "CMake Error", "make:"))
            and "|" not in line and "'" not in line]
    shown = "\n    ".join(kept[-12:]) or "(no line of it can be shown)"
    for name, learner in names.items():
        shown = shown.replace(f"/variants/{name}/", f"/variants/<{learner}>/")
    return shown


def run_logged(command, log, step, names, progress=None):
    # The compilers' temporary files (assembly of a learner's unit) stay in
    # the work folder and go with it, even after a SIGKILL.
    temporary = log.parent / "tmp"
    temporary.mkdir(mode=0o700, exist_ok=True)
    with open(log, "ab") as output:
        status = run_child(command, progress, stdout=output, stderr=subprocess.STDOUT,
                           stdin=subprocess.DEVNULL, env=dict(os.environ, TMPDIR=str(temporary)))
    if status != 0:
        text = Path(log).read_text(errors="replace")
        failed = sorted({names[name] for line in text.splitlines() if line.startswith("FAILED:")
                         for name in re.findall(r"/variants/([^/\s]+)/", line) if name in names})
        who = f" for {', '.join(failed)}" if failed else ""
        for remedy, reasons in MACHINE_REASONS.items():
            for reason in (reason for reason in reasons if reason in text):
                raise SetError(f"{step} failed{who}: {reason}, a limit of this machine, not a "
                               f"fault of the inputs; {remedy}")
        raise SetError(f"{step} failed{who}; the compiler's messages are not shown, since they "
                       f"can quote a learner's values. What failed:\n    "
                       + shown_log(text, names))


def build_progress(log, show):
    """Shows ninja's latest [done/all] line of the log, as `show(done, all)`."""
    def progress():
        with contextlib.suppress(OSError):
            with open(log, "rb") as output:
                output.seek(max(0, os.fstat(output.fileno()).st_size - 4096))
                found = re.findall(rb"\[([0-9]+)/([0-9]+)\]", output.read())
            if found:
                show(*map(int, found[-1]))
    return progress


def configure_and_build(platform, build, variants, keep_symbols, log, names, targets=(),
                        show=None):
    step = f"{platform}: "
    if not (build / "CMakeCache.txt").exists():
        run_logged(["cmake", "-S", SOURCE, "-B", build, "--preset", PLATFORMS[platform]["preset"],
                    "-DBUILD_TESTING=OFF", f"-DLOGIN_CHALLENGE_VARIANTS_DIR={variants}",
                    f"-DLOGIN_CHALLENGE_STRIP={'OFF' if keep_symbols else 'ON'}"],
                   log, step + "configuring the build", names)
    else:
        run_logged(["cmake", build], log, step + "configuring the learners' programs", names)
    command = ["cmake", "--build", build, "--parallel", str(os.cpu_count() or 1)]
    for target in targets:
        command += ["--target", target]
    what = "the default program" if targets else "the learners' programs"
    run_logged(command, log, step + f"building {what}", names,
               build_progress(log, show) if show else None)


def default_program(platform, build, variants, keep_symbols, log):
    """The default program's bytes: what every variant shares but its values."""
    configure_and_build(platform, build, variants, keep_symbols, log, {}, ["login-challenge"])
    return (build / PLATFORMS[platform]["executable"]).read_bytes()


def variant_executable(platform, build, learner):
    return build / "variants" / internal_name(learner) / PLATFORMS[platform]["executable"]


def start_wine(work):
    """Starts setting Wine up for the whole set, to run alongside the builds:
    a 32-bit prefix without Mono and Gecko, with its server and services,
    which live until the tool ends them with its other children (ended after
    each run, they would start again for the next, at seconds a run).
    Returns (environment, the set-up process), or (None, why no .exe can run
    here)."""
    # Wine's own temporary files go in the tool's work folder, and with it.
    # So is its HOME: Wine makes folders there that nothing needs.
    environment = dict(os.environ, WINEPREFIX=str(work / "wine-prefix"), WINEARCH="win32",
                       WINEDEBUG="-all", WINEDLLOVERRIDES=WINE_OVERRIDES,
                       TMPDIR=str(work / "wine-tmp"), HOME=str(work / "wine-home"),
                       XDG_CONFIG_HOME=str(work / "wine-home"),
                       XDG_DATA_HOME=str(work / "wine-home"),
                       XDG_CACHE_HOME=str(work / "wine-home"))
    problem = wine_problem()
    if problem is not None:
        return None, problem
    quiet = {"env": environment, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    wine_prefixes.append(environment["WINEPREFIX"])
    # A server that stays up while the services idle; it must find its prefix.
    (work / "wine-prefix").mkdir(mode=0o700)
    (work / "wine-tmp").mkdir(mode=0o700)
    (work / "wine-home").mkdir(mode=0o700)
    start(["wineserver", "--foreground", "--persistent"], **quiet)
    return environment, start(["wine", "wineboot", "--init"], **quiet)


def wine_problem():
    """Why no learner's .exe can run here, or None."""
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        return "Wine is not installed (apt-get install -y wine wine32:i386)"
    problem = emulator_problem("wine")
    return problem and problem[1]


def wine_ready(environment, setup):
    """The environment to run an .exe in once Wine's set-up has ended, or None
    and why not."""
    if environment is None:
        return None, setup
    try:
        status = within_running_time(setup.wait, 600)
    except subprocess.TimeoutExpired:
        status = None
    if status != 0:
        return None, "Wine could not set up its prefix (wine wineboot --init failed)"
    return environment, None


def attempts(command, inputs, environment=None, cwd=None):
    """Runs of one program, side by side, each with its input on a pipe:
    (status, output) of each. Inputs and transcripts are small, so no pipe
    fills while the others run."""
    processes = []
    try:
        for input_bytes in inputs:
            process = start(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environment, cwd=cwd)
            processes.append(process)
            try:
                process.stdin.write(input_bytes)
                process.stdin.close()
            except BrokenPipeError:
                pass  # it ended before reading: its transcript and status say how
            process.stdin = None  # all written: communicate() only reads
        results = []
        for process in processes:
            try:
                output, errors = within_running_time(process.communicate, 120)
            except subprocess.TimeoutExpired:
                output, errors = b"", b"no verdict in time"
            results.append((process.returncode, output, errors))
        return results
    finally:
        for process in processes:
            end_group(process)
            running.discard(process.pid)


def run_defects(platform, executable, values, wine):
    """Why this executable's transcripts are not the program's: a right
    attempt and a wrong one (and on Linux a wrong user name too)."""
    user_name, password = values["user_name"].encode(), values["password"].encode()
    cases = [(user_name + b"\n" + password + b"\n", "accepted.txt"),
             (user_name + b"\n" + password[::-1] + b"x\n", "rejected-password.txt")]
    if platform == "linux":
        cases.append((b"nobody\n" + password + b"\n", "rejected-user-name.txt"))
        command = [executable]
    else:
        command = ["wine", executable.name]
    results = attempts(command, [input_bytes for input_bytes, _ in cases], wine, executable.parent)
    defects = []
    for (_, name), (status, output, errors) in zip(cases, results):
        if platform == "windows":
            errors = b""  # Wine's own diagnostics
        if status != 0 or errors or not transcript_matches(
                output, (EXPECTED / name).read_bytes(), platform == "windows"):
            defects.append(f"its transcript differs from {name} (exit {status})")
    return defects


def shape_defects(executable, values, default):
    """Why a script that reads no code would lift the values off this
    executable; `default` is the default program's extractors.Reference.
    These depend on the shape drawn, and another shape mends them."""
    return value_defects(executable.read_bytes(), values["user_name"], values["password"],
                         default)


def run_and_format_defects(platform, executable, values, wine):
    """Why an executable is not the program: its transcripts, and on Windows
    its format. No shape mends these."""
    if platform == "windows":
        defects = windows_defects(executable, 32)
        return defects + (run_defects(platform, executable, values, wine) if wine else [])
    return run_defects(platform, executable, values, None)


def executable_defects(platform, executable, values, wine, default):
    """Why an executable may not be handed to its learner."""
    return shape_defects(executable, values, default) + \
        run_and_format_defects(platform, executable, values, wine)
