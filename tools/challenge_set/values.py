"""Each learner's reference values: drawn from the secret, the set name and
the learner id alone, and written into a copy of the builders' unit in the
same form as the default ones."""

import hashlib
import hmac
import re
import string

from .common import SetError

ALPHABET = string.ascii_lowercase + string.digits
CHARACTER_COUNT = 12
USER_NAME_LENGTH, PASSWORD_LENGTH = 3, 5
# Draws for one learner before the tool gives up. A value is drawn again only
# when it stands in what that learner sees anyway (their handout, the default
# program), which happens to a few percent of draws; only a note built to hold
# every short word can make a hundred draws in a row fail.
MAX_ATTEMPTS = 100


def keyed_bytes(secret, set_name, learner, attempt):
    """An endless HMAC-SHA-256 stream for one learner and attempt."""
    message = b"\0".join([b"login-challenge variant 1", set_name.encode(), learner.encode(),
                          str(attempt).encode()])
    block = 0
    while True:
        yield from hmac.new(secret, message + block.to_bytes(4, "big"), hashlib.sha256).digest()
        block += 1


def uniform(stream, count):
    """A number below count from the stream, without bias."""
    limit = 256 - 256 % count
    for byte in stream:
        if byte < limit:
            return byte % count
    raise AssertionError("the stream ended")


def sample(stream, population, count):
    pool = list(population)
    return [pool.pop(uniform(stream, len(pool))) for _ in range(count)]


def derive(secret, set_name, learner, attempt):
    """The twelve characters and the two position lists of one variant."""
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
    }


def choose(secret, set_name, learner, rejection):
    """The first draw for this learner that `rejection` (values -> reason or
    None) lets through, and the reasons for each draw before it. Everything
    `rejection` looks at must be a function of this learner's own inputs, so
    that no other learner, and no time, can move the answer."""
    reasons = []
    for attempt in range(MAX_ATTEMPTS):
        values = derive(secret, set_name, learner, attempt)
        reason = rejection(values)
        if reason is None:
            return values, reasons
        reasons.append(reason)
    raise SetError(f"{learner}: no values after {MAX_ATTEMPTS} draws; the last was refused "
                   f"because {reasons[-1]} (a note full of short words can do this: shorten it)")


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


LITERAL = re.compile(r"\{'[a-z0-9]', apart\}")
POSITIONS = re.compile(r"(positions\[\] = \{)[0-9, ]+(\};)")


def variant_source(template, values):
    """The builders' unit with a variant's characters and positions in place
    of the default ones, held in the same form."""
    characters = iter(values["characters"])
    source, count = LITERAL.subn(lambda _: f"{{'{next(characters)}', apart}}", template)
    lists = iter([values["user_positions"], values["password_positions"]])
    source, lists_count = POSITIONS.subn(
        lambda match: match.group(1) + ", ".join(map(str, next(lists))) + match.group(2), source)
    if count != CHARACTER_COUNT or lists_count != 2:
        raise SetError("src/credentials.cpp: the character array or the position lists "
                       "are no longer where this tool expects them")
    return source
