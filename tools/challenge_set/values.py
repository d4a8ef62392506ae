"""Each learner's reference values: drawn from the secret, the set name and
the learner id alone, and written into a copy of the builders' unit in the
same form as the default ones."""

import hashlib
import hmac
import re
import string

from .common import SetError
from .extractors import LETTERS_AND_DIGITS, opening_run, wanted

ALPHABET = string.ascii_lowercase + string.digits
CHARACTER_COUNT = 12
USER_NAME_LENGTH, PASSWORD_LENGTH = 3, 5
# Draws for one learner before the tool gives up. A value is drawn again only
# when it stands in what that learner sees anyway (their handout, the default
# program), which happens to a few percent of draws; only a note built to hold
# every short word can make a hundred draws in a row fail.
MAX_ATTEMPTS = 100


def keyed_bytes(secret, set_name, learner, attempt, purpose=b"login-challenge variant 1"):
    """An endless HMAC-SHA-256 stream for one learner and attempt, apart
    for each purpose: the values, the learner's code."""
    message = b"\0".join([purpose, set_name.encode(), learner.encode(), str(attempt).encode()])
    block = 0
    while True:
        yield from hmac.new(secret, message + block.to_bytes(4, "big"), hashlib.sha256).digest()
        block += 1


def uniform(stream, count):
    """A number below count from the stream, without bias: from one byte
    when count is at most 256, else from as many as it needs."""
    if count <= 256:
        limit = 256 - 256 % count
        for byte in stream:
            if byte < limit:
                return byte % count
    width = ((count - 1).bit_length() + 7) // 8
    limit = 256 ** width - 256 ** width % count
    while True:
        number = int.from_bytes(bytes(next(stream) for _ in range(width)), "big")
        if number < limit:
            return number % count


def sample(stream, population, count):
    pool = list(population)
    return [pool.pop(uniform(stream, len(pool))) for _ in range(count)]


def derive(secret, set_name, learner, attempt):
    """The twelve characters and the two position lists of one variant, and
    the stream to draw its shape from, which goes on after them."""
    stream = keyed_bytes(secret, set_name, learner, attempt)
    characters = sample(stream, ALPHABET, CHARACTER_COUNT)
    user_positions = sample(stream, range(CHARACTER_COUNT), USER_NAME_LENGTH)
    password_positions = sample(stream, range(CHARACTER_COUNT), PASSWORD_LENGTH)
    return {
        "characters": characters,
        "user_positions": user_positions,
        "password_positions": password_positions,
        "user_name": "".join(characters[p] for p in user_positions),
        "password": "".join(characters[p] for p in password_positions),
    }, stream


# The shape: how a variant holds its values, so that every learner's program
# must be read for itself. The literal table holds the whole alphabet, the
# twelve characters among 24 decoys, so no pool can be read off it or off a
# diff; which literal makes which entry is a constant of the code, as are the
# positions. Each character stands behind one to three filler bytes that are
# printable in no `strings` encoding and are no letter or digit, two on
# average, so that every table has the same length and moves nothing after
# it; the layout is drawn again until no run of the table gives a pool of the
# values.
FILLER = bytes([*range(0x01, 0x09), *range(0x0E, 0x20), 0x7F])
LONGEST_SEPARATOR = 3
FILLER_BYTES = 2 * (len(ALPHABET) + 1)
MAX_LAYOUTS = 1000
# Shapes one learner may be given before the tool gives up on them: a shape is
# drawn again for the few built programs that a script could read (see
# making.check_programs), independently each time.
MAX_SHAPES = 8
# Shapes past MAX_SHAPES, only for a learner still refused for a value that
# stands whole: those bytes lie where no table or image base moves them (the
# base relocations of an .exe are RVAs whose entries' high bytes are '0' to
# '9'), so each of these shapes also shifts the code after the builders by
# CODE_SHIFT more bytes. Shapes up to MAX_SHAPES shift nothing, so no program
# made before changes.
EXTRA_SHAPES = 4
CODE_SHIFT = 16


def image_bases(span=64, below=0x6000):
    """The image bases a variant may have, in 64 KiB units (a Windows image
    base's granularity), above the default program's (0x400000): every
    address of the variant's code and data moves with it, so that no debugger
    recipe with a fixed address carries over to another learner. Bytes 2 and
    3 of every address within 4 MiB of it are no letter or digit, so that no
    address that moved can make a run that the default program lacks. About
    10,000 of them, so two learners share one about once in 10,000 pairs."""
    def plain(unit):
        return all(byte not in LETTERS_AND_DIGITS for byte in (unit & 0xFF, unit >> 8))

    return [unit << 16 for unit in range(0x41, below - span)
            if all(plain(unit + offset) for offset in range(span))]


IMAGE_BASES = image_bases()


def filler_widths(stream):
    """How many filler bytes stand before each character and after the
    last: one to three each, FILLER_BYTES in all."""
    widths = [1] * (len(ALPHABET) + 1)
    open_slots = list(range(len(widths)))  # in order, those below the longest
    for _ in range(FILLER_BYTES - len(widths)):
        slot = open_slots[uniform(stream, len(open_slots))]
        widths[slot] += 1
        if widths[slot] == LONGEST_SEPARATOR:
            open_slots.remove(slot)
    return widths


def draw_shape(stream, values):
    characters = wanted(values["user_name"], values["password"])
    for _ in range(MAX_LAYOUTS):
        table, slots = bytearray(), {}
        widths = filler_widths(stream)
        for character, width in zip(sample(stream, ALPHABET, len(ALPHABET)), widths):
            table += bytes(FILLER[uniform(stream, len(FILLER))] for _ in range(width))
            slots[character] = len(table)
            table += character.encode()
        table += bytes(FILLER[uniform(stream, len(FILLER))] for _ in range(widths[-1]))
        if opening_run(bytes(table), characters) is None:
            break
    else:
        raise AssertionError("no layout of the literal table hides these values")
    return {
        "literals": bytes(table),
        "slots": [slots[character] for character in values["characters"]],
        "image_base": IMAGE_BASES[uniform(stream, len(IMAGE_BASES))],
    }


def choose(secret, set_name, learner, rejection):
    """The first draw for this learner that `rejection` (values -> reason or
    None) lets through, and the reasons for each draw before it. Everything
    `rejection` looks at must be a function of this learner's own inputs, so
    that no other learner, and no time, can move the answer."""
    reasons = []
    for attempt in range(MAX_ATTEMPTS):
        values, stream = derive(secret, set_name, learner, attempt)
        reason = rejection(values)
        if reason is None:
            # The stream goes on to any later shape (next_shape).
            values.update(draw_shape(stream, values), shape=1, shapes=stream)
            return values, reasons
        reasons.append(reason)
    raise SetError(f"{learner}: no values after {MAX_ATTEMPTS} draws; the last was refused "
                   f"because {reasons[-1]} (a note full of short words can do this: shorten it)")


def next_shape(values):
    """A new shape for the same values, for a learner whose program a
    script could read them off: drawn further along the learner's own
    stream, so that shape N is the same in any set with this learner."""
    shape = values["shape"] + 1
    values.update(draw_shape(values["shapes"], values), shape=shape,
                  code_shift=CODE_SHIFT * max(0, shape - MAX_SHAPES))


# A learner's code names their packages instead of their id, so that a folder
# of every package can be shared. Capital letters only, without I, L and O,
# which are misread as 1 and 0: so no code can hold a value, which is lower
# case and digits, and the handouts and file names show no run of letters
# and digits that the draws were not checked against. 23^10 is 45 bits.
CODE_LETTERS = "ABCDEFGHJKMNPQRSTUVWXYZ"
CODE_LENGTH = 10


def learner_code(secret, set_name, learner):
    """The learner's code, from its own stream: no value moves with it."""
    stream = keyed_bytes(secret, set_name, learner, 0, purpose=b"login-challenge code 1")
    return "".join(CODE_LETTERS[uniform(stream, len(CODE_LETTERS))] for _ in range(CODE_LENGTH))


def check_distinct(values):
    """Two learners with the same pair could share an answer unnoticed.
    Moving one of them would make answers hang on the roster, so it stops."""
    holder = {}
    for learner, chosen in values.items():
        pair = (chosen["user_name"], chosen["password"])
        if pair in holder:
            raise SetError(f"{holder[pair]} and {learner} drew the same user name and password; "
                           "use another set name or secret")
        holder[pair] = learner
        if chosen["code"] in holder:
            raise SetError(f"{holder[chosen['code']]} and {learner} drew the same code; use "
                           "another set name or secret")
        holder[chosen["code"]] = learner


LITERALS = re.compile(r"(static const volatile char literals\[\] = \{)[^}]*(\};)")
ENTRY = re.compile(r"entry\(literals\[[0-9]+\]\)")
JOIN = re.compile(r"join_entries\(characters\[[0-9]+\](?:,\s*characters\[[0-9]+\])*\)")


def literal(byte):
    character = chr(byte)
    return f"'{character}'" if character.isalnum() else f"'\\x{byte:02x}'"


def literal_table(table, indent=" " * 8, per_line=12):
    """The table's initialiser as C++, a dozen literals a line."""
    items = [literal(byte) for byte in table]
    lines = [", ".join(items[i:i + per_line]) for i in range(0, len(items), per_line)]
    return "\n" + ",\n".join(indent + line for line in lines)


def variant_source(template, values):
    """The builders' unit with a variant's literal table, entries and
    positions in place of the default ones, in the same form."""
    source, tables = LITERALS.subn(
        lambda match: match.group(1) + literal_table(values["literals"]) + match.group(2),
        template)
    slots = iter(values["slots"])
    source, entries = ENTRY.subn(lambda _: f"entry(literals[{next(slots)}])", source)
    lists = iter([values["user_positions"], values["password_positions"]])
    source, joins = JOIN.subn(lambda _: "join_entries(" + ", ".join(
        f"characters[{position}]" for position in next(lists)) + ")", source)
    if (tables, entries, joins) != (1, CHARACTER_COUNT, 2):
        raise SetError("src/credentials.cpp: the literal table, the entries or the position "
                       "lists are no longer where this tool expects them")
    if values.get("code_shift"):
        # A top-level asm comes out before the functions, each of which
        # names its section (PE's assembler has no .pushsection).
        source += (f'\n// Moves the code after the builders (a shape past the {MAX_SHAPES}th).\n'
                   f'asm(".text\\n\\t.skip {values["code_shift"]}, 0xcc\\n");\n')
    return source
