"""Which learner of the set a submitted id names. Directly: ASCII letter
case ignored, Brightspace's '#' marker dropped. Or through an export that
holds both ids, where the submissions carry another id of the same learners
(a Canvas quiz report's sis_id against a set keyed by "SIS Login ID", a
form's e-mail against a username): the export's column that holds the most
of the ids not found directly is joined to the set's. Ids are text; an id
of digits only that Excel stripped of its leading zeros ("412001" for
"00412001") is found by its digits, where that names one learner only."""

from .common import SetError, escaped, shown_column
from .inputs import Table, field, folded, unmarked


def digits_key(identifier):
    return identifier.lstrip("0") or "0" if identifier.isdigit() else None


def by_digits(ids):
    """{digits without leading zeros: learner} for the ids of digits only,
    leaving out any that two ids share."""
    keys, shared = {}, set()
    for key, learner in ids.items():
        digits = digits_key(key)
        if digits is None:
            continue
        if keys.get(digits, learner) != learner:
            shared.add(digits)
        keys[digits] = learner
    return {digits: learner for digits, learner in keys.items() if digits not in shared}


class Ids:
    def __init__(self, learners):
        self.direct = {folded(learner): learner for learner in learners}
        self.through = {}
        self.digits = [by_digits(self.direct), {}]
        self.notes = []

    def learner_of(self, submitted):
        key = folded(unmarked(submitted))
        for ids in (self.direct, self.through):
            if key in ids:
                return ids[key]
        digits = digits_key(key)
        for ids in self.digits if digits is not None else ():
            if digits in ids:
                return ids[digits]
        return None

    def join_through(self, path, roster_column, option, submitted, workbook, named=None):
        """Joins, through the export at `path`, the `submitted` ids (a set)
        that name no learner directly: by its column `named`, or by the one
        that holds the most of them, which must be one column only."""
        missing = {folded(unmarked(text)) for text in submitted} - {""}
        missing = {key for key in missing if self.learner_of(key) is None}
        if not missing:
            return
        table = Table(path, "export of ids", workbook=workbook)
        roster_index = table.column(roster_column, option)
        columns = {index: {} for index in range(len(table.header)) if index != roster_index}
        for _, fields, _ in table.rows():
            learner = self.direct.get(folded(unmarked(field(fields, roster_index))))
            if learner is None:
                continue
            for index, ids in columns.items():
                key = folded(unmarked(field(fields, index)))
                if key:
                    ids.setdefault(key, learner)

        def found(ids):
            digits = by_digits(ids)
            return sum(key in ids or digits_key(key) in digits for key in missing)
        if named is not None:
            best = table.column(named, "--join-column")
            if best == roster_index:
                raise SetError(f"{escaped(path)}: --join-column names {option}'s column")
        else:
            best = max(columns, key=lambda index: found(columns[index]), default=None)
            tied = [index for index in columns if index != best and best is not None and
                    found(columns[index]) == found(columns[best]) > 0]
            if tied:
                raise SetError(f"{escaped(path)}: its columns {shown_column(table.header[best])} "
                               f"and {shown_column(table.header[tied[0]])} each give "
                               f"{found(columns[best])} of the {len(missing)} submitted id(s) "
                               "that name no learner directly, so either could join them; "
                               "say which holds the submitted ids with --join-column")
        if best is None or found(columns[best]) == 0:
            self.notes.append(f"{escaped(path)}: no column holds the {len(missing)} submitted "
                              "id(s) that name no learner of the set directly; no join")
            return
        self.through = columns[best]
        self.digits[1] = by_digits(self.through)
        self.notes.append(f"joined the submitted ids to the set's through {escaped(path)}: its "
                          f"column {shown_column(table.header[best])} gives "
                          f"{shown_column(roster_column)} for {found(self.through)} of the "
                          f"{len(missing)} id(s) that name no learner directly")
