"""Every command's files, in one place. A command declares what it reads
(files, and folders whose every file it may read) and what it writes, before
it reads anything; an output that is an input, by name, by real path or by
file identity (a hard link), or that lies inside an input folder, is refused
then, and again when it is staged, so that a name made later (a report
beside --out, numbered zips) is held to the same rule.

Outputs are staged beside where they go and put in place together at the
end, with the ending signals held off meanwhile: a signal, a limit or an
error before that leaves none of them, and one during it leaves exactly
those named in `placed`."""

import os
import secrets
from pathlib import Path

from . import workspace
from .common import SetError, escaped
from .workspace import signals_held

STAGED_SUFFIX = ".challenge-set-{}.tmp"
FOLDER_SCAN_LIMIT = 100_000  # files of an input folder compared by identity


def write_file(path, content, mode):
    """Writes a whole new file with exactly `mode`, naming it if the write
    fails; never follows or replaces what stands there."""
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        with os.fdopen(descriptor, "wb") as output:
            output.write(content)
            os.fchmod(output.fileno(), mode)
    except OSError as error:
        raise SetError(f"{escaped(path)}: cannot write it: {error.strerror}") from error


def real(path):
    """Symbolic links resolved before '..' is: "link/../x" is where the
    kernel goes, not "x" beside the link."""
    return os.path.realpath(path)


def identity(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def inside(path, folder):
    return os.path.commonpath([path, folder]) == folder


class Files:
    """One run's inputs and outputs."""

    def __init__(self):
        self.inputs = []  # (option, real path, identity, is a folder)
        self.folder_files = {}  # identity of a file in an input folder: (option, folder)
        self.outputs = {}  # real path: option
        self.staged = []  # (staged path, final path, is a folder)
        self.placed = []  # final paths, as put in place

    # ------------------------------------------------------------ declaring

    def declare(self, inputs=(), outputs=()):
        """inputs: (option, path or None, is a folder); outputs: (option, path
        or None, is a folder). Refuses an output that would touch an input."""
        for option, path, folder in inputs:
            if path is not None:
                self.add_input(option, path, folder)
        for option, path, folder in outputs:
            if path is not None:
                self.check_output(option, path, folder)

    def add_input(self, option, path, folder=False):
        resolved = real(path)
        self.inputs.append((option, resolved, identity(path), folder))
        if folder and os.path.isdir(resolved):
            try:
                with os.scandir(resolved) as entries:
                    for number, entry in enumerate(entries):
                        if number >= FOLDER_SCAN_LIMIT:
                            break
                        if entry.is_file(follow_symlinks=True):
                            found = identity(entry.path)
                            if found is not None:
                                self.folder_files.setdefault(found, (option, resolved))
            except OSError:
                pass  # reading it will name the problem

    def check_output(self, option, path_text, folder=False):
        """The output's path, or a SetError that names why it may not be
        written: it would touch an input or another output, or it is no
        file (a device must never be replaced), or its folder is missing."""
        path, name = Path(path_text), escaped(path_text)
        if str(path_text).endswith("/") and not folder:
            raise SetError(f"{name}: ends in '/', a folder's name; name a file to write")
        if path.is_symlink():
            raise SetError(f"{name}: is a symbolic link; name the {'folder' if folder else 'file'} "
                           "itself (a link could be turned elsewhere meanwhile)")
        if path.exists() and not folder and not path.is_file():
            kind = "a folder" if path.is_dir() else \
                "not a regular file (a device, a pipe or a socket)"
            raise SetError(f"{name}: is {kind}; name a file to write")
        resolved, found = real(path), identity(path)
        for input_option, input_path, input_identity, input_folder in self.inputs:
            if resolved == input_path or (found is not None and found == input_identity):
                raise SetError(f"{name}: is {input_option} as well; writing there would lose it")
            if input_folder and inside(resolved, input_path):
                raise SetError(f"{name}: lies inside {input_option}, {escaped(input_path)}, "
                               "which is only read; name a file elsewhere")
            if folder and inside(input_path, resolved) and resolved != input_path:
                raise SetError(f"{name}: holds {input_option}, which is only read; name "
                               "another folder")
        if found is not None and found in self.folder_files:
            input_option, input_folder = self.folder_files[found]
            raise SetError(f"{name}: is a file of {input_option}, {escaped(input_folder)} (a "
                           "hard link to it); writing there would change it")
        other = self.outputs.get(resolved)
        if other is not None and other != option:
            raise SetError(f"{name}: is {other} as well; name two different files")
        parent = path.absolute().parent
        if not parent.is_dir():
            raise SetError(f"{name}: the folder it would go in, {escaped(parent)}, does not exist")
        if not os.access(parent, os.W_OK | os.X_OK):
            raise SetError(f"{name}: cannot write in the folder it would go in, {escaped(parent)}")
        self.outputs[resolved] = option
        return path

    # ------------------------------------------------------------ writing

    def stage(self, option, path_text, content, mode):
        """Writes an output's bytes beside it, to be put in place by place()."""
        path = self.check_output(option, path_text)
        staged = path.with_name(f".{path.name}" + STAGED_SUFFIX.format(secrets.token_hex(8)))
        if len(staged.name.encode(errors="surrogateescape")) > 255:
            staged = path.with_name(STAGED_SUFFIX.format(secrets.token_hex(8)).lstrip("."))
        with signals_held():  # recorded before it exists: a signal finds it
            self.staged.append((staged, path, False))
        write_file(staged, content, mode)
        return path

    def stage_folder(self, staging, path):
        """A finished folder (made with the run's Workspace) to put at `path`."""
        self.staged.append((staging, Path(path), True))

    def place(self):
        """Puts every staged output in place, with no ending signal let in
        halfway; a signal that came meanwhile is taken after. Returns the
        paths placed. A signal that some library swallowed ends the run here,
        before anything is placed."""
        if workspace.taken:
            raise workspace.Interrupted(workspace.taken[0])
        with signals_held():
            while self.staged:
                staged, path, folder = self.staged[0]
                try:
                    if folder and path.is_dir() and not path.is_symlink():
                        path.rmdir()  # an empty folder given for the set
                    if folder:
                        staged.rename(path)  # never over a folder that is not empty
                    else:
                        os.replace(staged, path)
                except OSError as error:
                    raise SetError(f"{escaped(path)}: cannot put it in place "
                                   f"({error.strerror}){self.written_note()}") from error
                self.staged.pop(0)
                self.placed.append(path)
        return self.placed

    def made(self, paths):
        """Records files a command made in place itself (the server's key
        and database), so that a message names them."""
        self.placed += paths

    def written_note(self):
        """What an error or a signal after place() began must add."""
        if not self.placed:
            return "; nothing was written"
        return f"; already written whole: {', '.join(map(escaped, self.placed))}"

    def discard(self):
        """Removes what was staged and not placed; returns what is left."""
        left = []
        for staged, _, folder in self.staged:
            if folder:
                continue  # the Workspace removes its folders
            try:
                staged.unlink()
            except FileNotFoundError:
                pass
            except OSError:
                left.append(staged)
        self.staged = [entry for entry in self.staged if entry[2]]
        return left
