"""What a learner's script could lift from a program's bytes without
reading its code, modelled so that the tool can refuse a draw, or a built
program, that such a script would open.

A script that reads no code can only pick letters and digits out of the
bytes: read at a fixed stride whatever stands between them (a table of
characters, UTF-16 or UTF-32 text), or one after another through short
separators of any other bytes (`strings -n 1`, a table with control bytes
between its entries). Up to 16 consecutive characters of such a run are a
*pool*, as a table of characters would be read off: if it holds every
character of both values, a blind search over it finds the answer in minutes
instead of hours. A diff against another program, offset by offset as
`cmp -l` makes it, yields a pool too: the letters and digits that differ.
"""

import re
import string

LETTERS_AND_DIGITS = frozenset((string.ascii_lowercase + string.digits).encode())
# Every other byte becomes a blank, so that bytes.split() cuts the runs in C.
ONLY_LETTERS_AND_DIGITS = bytes(byte if byte in LETTERS_AND_DIGITS else 0x20
                                for byte in range(256))
NONZERO_TO_FF = bytes([0] + [0xFF] * 255)
STRIDES = range(1, 17)
SEPARATED = re.compile(rb"[0-9a-z](?: {0,4}[0-9a-z])+")  # separators of up to 4 bytes
POOL_LIMIT = 16
POOL_SPAN = POOL_LIMIT * max(STRIDES)  # the most bytes one pool reaches over
BLOCK = 64
# What no shape may mend, where the run is the code that builds the values:
# the set is made all the same, and the learner named (making.check_programs).
DIFF_RUN_DEFECT = ("the letters and digits of one run of bytes that differ from the default "
                   "program give a pool of both values")
SHORT_RUN = 4 * POOL_LIMIT  # a run whose every stretch a script may try
SHORTEST_POOL = 5  # both values together hold at least five distinct characters


def runs(content, shortest=SHORTEST_POOL):
    """The runs of letters and digits a script can read off `content`, of at
    least `shortest` characters, as bytes."""
    masked = content.translate(ONLY_LETTERS_AND_DIGITS)
    for stride in STRIDES:
        for start in range(stride):
            yield from [run for run in masked[start::stride].split() if len(run) >= shortest]
    for match in SEPARATED.finditer(masked):
        run = match.group().replace(b" ", b"")
        if len(run) >= shortest:
            yield run


def pools_of_run(run):
    """Each stretch of 16 consecutive characters of a run (the whole run
    when it is shorter), as a set: a table of up to 16 characters, read off
    as it stands."""
    if len(run) <= POOL_LIMIT:
        return {frozenset(run)}
    return {frozenset(run[start:start + POOL_LIMIT]) for start in range(len(run) - POOL_LIMIT + 1)}


def wanted(user_name, password):
    return frozenset((user_name + password).encode())


def opening_run(content, characters):
    """A run of `content` with a pool that holds every one of `characters`
    (a set of byte values), or None."""
    for run in runs(content, len(characters)):
        if characters.issubset(run) and any(characters <= pool for pool in pools_of_run(run)):
            return run
    return None


def pool_index(content):
    """Every pool of `content`, as a bit mask for each character (bit n
    stands for pool n), to test many draws against one program quickly."""
    pools = {pool for run in set(runs(content)) for pool in pools_of_run(run)}
    masks = {character: bytearray((len(pools) + 7) // 8) for character in LETTERS_AND_DIGITS}
    for number, pool in enumerate(pools):
        for character in pool:
            masks[character][number // 8] |= 1 << number % 8
    return {character: int.from_bytes(mask, "little") for character, mask in masks.items()}


class Reference:
    """A program that variants are checked against: its bytes, its pools
    (a draw whose characters one of them holds is refused), and its blocks,
    to find where a variant differs from it."""

    def __init__(self, content):
        self.content = content
        self.pools = pool_index(content)
        # Compared as runs see them: a byte that is no letter or digit in
        # either program (an address that moved) changes no run.
        self.masked = content.translate(ONLY_LETTERS_AND_DIGITS)
        self.words = None  # its words of 3 and 5 letters and digits, when first asked
        self.blocks = {}
        for offset in range(0, len(content) - BLOCK + 1, BLOCK):
            self.blocks.setdefault(self.masked[offset:offset + BLOCK], offset)

    def holds(self, value):
        """Whether a value (3 or 5 letters and digits) stands whole in it."""
        if self.words is None:
            self.words = {run[start:start + length] for run in self.masked.split()
                          for length in (3, 5) for start in range(len(run) - length + 1)}
        return value.encode() in self.words

    def opens(self, characters):
        common = -1
        for character in characters:
            common &= self.pools[character]
        return common != 0

    def changed_parts(self, content):
        """The parts of `content` that hold every pool the reference does
        not: every byte that no block of the reference matches, taken in
        order as a diff would, widened by the span of the widest pool. A pool
        that touches no such byte stands, letter for letter, in the
        reference."""
        masked = content.translate(ONLY_LETTERS_AND_DIGITS)
        changed, position, synced, misses = [], 0, None, 0
        while position < len(masked):
            piece = masked[position:position + BLOCK]
            if synced is not None and self.masked[synced:synced + BLOCK] == piece:
                position, synced, misses = position + BLOCK, synced + BLOCK, 0
                continue
            found = self.blocks.get(piece)
            if found is not None:
                position, synced, misses = position + BLOCK, found + BLOCK, 0
                continue
            if synced is not None and misses < 2:
                # A few bytes changed in place (an address): stay in step.
                changed.append((position, position + BLOCK))
                position, synced, misses = position + BLOCK, synced + BLOCK, misses + 1
                continue
            # Lost: an insertion, a deletion or new content. Go on byte by
            # byte until a block of the reference matches again.
            changed.append((position, position + 1))
            position, synced = position + 1, None
        parts = []
        for start, end in changed:
            start, end = max(start - POOL_SPAN, 0), min(end + POOL_SPAN, len(content))
            if parts and start <= parts[-1][1]:
                parts[-1][1] = max(parts[-1][1], end)
            else:
                parts.append([start, end])
        return parts


def differing_pool(content, reference, chunk=1 << 16):
    """The letters and digits of `content` at the offsets where it differs
    from `reference`, or beyond its end, as `cmp -l` lists them; only the
    first few more than 16 once there are that many. Integer operations on
    whole chunks do the work, so that it takes milliseconds."""
    found = set()
    for start in range(0, len(content), chunk):
        ours_bytes, theirs = content[start:start + chunk], reference[start:start + chunk]
        length = min(len(ours_bytes), len(theirs))
        ours = int.from_bytes(ours_bytes[:length], "big")
        differs = (ours ^ int.from_bytes(theirs[:length], "big")).to_bytes(length, "big")
        kept = ours & int.from_bytes(differs.translate(NONZERO_TO_FF), "big")
        found |= set((kept.to_bytes(length, "big") + ours_bytes[length:]).translate(
            ONLY_LETTERS_AND_DIGITS)) - {0x20}
        if len(found) > POOL_LIMIT:
            break
    return found


def window_holds(run, characters, width=POOL_LIMIT):
    """Whether `width` consecutive characters of `run` (bytes) hold every one
    of `characters`, in one pass however long the run."""
    counts, held = {}, 0
    for index, character in enumerate(run):
        if character in characters:
            counts[character] = counts.get(character, 0) + 1
            held += counts[character] == 1
        if index >= width and run[index - width] in characters:
            counts[run[index - width]] -= 1
            held -= counts[run[index - width]] == 0
        if held == len(characters):
            return True
    return False


def run_opens(run, characters):
    """Whether a run of changed letters and digits gives a script a pool of
    `characters`: the run's own few distinct characters, or, in a run short
    enough to try each, 16 consecutive ones. A long run of many characters
    (a whole function's code) is no pool: a search of each of its stretches
    costs what a search of everything does."""
    distinct = set(run)
    if len(distinct) <= POOL_LIMIT:
        return characters <= distinct
    return len(run) <= SHORT_RUN and window_holds(run, characters)


def differing_runs(content, reference):
    """The letters and digits that a script reading a diff (offsets where
    the bytes differ, as `cmp -l` lists them, or beyond the reference's end)
    takes run by run: changes no more than 16 bytes apart form one run,
    widened at each end along its stride over the letters and digits there."""
    length = min(len(content), len(reference))
    differs = (int.from_bytes(content[:length], "big") ^
               int.from_bytes(reference[:length], "big")).to_bytes(length, "big")
    differs = differs.translate(NONZERO_TO_FF) + b"\xff" * (len(content) - length)
    masked = content.translate(ONLY_LETTERS_AND_DIGITS)
    clusters = []
    for match in re.finditer(rb"\xff+", differs):
        if clusters and match.start() - clusters[-1][-1][1] <= max(STRIDES):
            clusters[-1].append(match.span())
        else:
            clusters.append([match.span()])
    for spans in clusters:
        first, last = spans[0][0], spans[-1][1] - 1
        # The stride at each end: the step between its first two changes.
        first_stride = 1 if spans[0][1] - first > 1 or len(spans) == 1 else spans[1][0] - first
        last_stride = 1 if last > spans[-1][0] or len(spans) == 1 else last - spans[-2][1] + 1
        run = b"".join(masked[start:end] for start, end in spans).replace(b" ", b"")
        yield widened(masked, first, -first_stride)[::-1] + run + \
            widened(masked, last, last_stride)


def widened(masked, offset, step):
    """The letters and digits beyond `offset` at `step`, up to a pool's
    width, until the first other byte."""
    found = bytearray()
    offset += step
    while 0 <= offset < len(masked) and masked[offset] != 0x20 and len(found) < POOL_LIMIT:
        found.append(masked[offset])
        offset += step
    return bytes(found)


def value_defects(content, user_name, password, reference=None):
    """Why these bytes give a learner a shortcut to the values: a value
    stands whole in them, a run holds a pool of their characters, or so do
    the letters and digits that differ from the default program's. With
    `reference` (the default program, whose pools were refused for these
    values), only the parts that differ from it are read for runs."""
    defects = [f"its {kind} stands whole in it" for kind, value in
               (("user name", user_name), ("password", password)) if value.encode() in content]
    characters = wanted(user_name, password)
    parts = reference.changed_parts(content) if reference else [(0, len(content))]
    # A part that lacks one of the characters holds no pool of them: most do.
    if any(characters.issubset(content[start:end]) and
           opening_run(content[start:end], characters) is not None for start, end in parts):
        defects.append(f"{POOL_LIMIT} or fewer consecutive letters and digits, read at a stride "
                       "or through separators, hold every character of both values")
    if reference is not None:
        pool = differing_pool(content, reference.content)
        if len(pool) <= POOL_LIMIT and characters <= pool:
            defects.append(f"the {len(pool)} letters and digits that differ from the default "
                           "program hold both values")
        elif any(run_opens(run, characters)
                 for run in differing_runs(content, reference.content)):
            defects.append(DIFF_RUN_DEFECT)
    return defects
