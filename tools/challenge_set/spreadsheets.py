"""Files that are no text: an .xlsx workbook (Microsoft Forms and Excel
export nothing else) is read as it comes, its first sheet with each cell's
text as shown, through openpyxl; any other binary file is named for what it
is, so that a message never shows its bytes."""

import csv
import datetime
import io
import re
import zipfile

from .common import MIB, SetError, escaped
from .workspace import signals_held

XLSX = "an Excel workbook (.xlsx)"
# Bounds on what a workbook may hold: far above a class's submissions, far
# below what would take minutes or gigabytes to read.
UNZIPPED_LIMIT = 64 * MIB
ROW_LIMIT = 200_000
CELL_LIMIT = 2_000_000
SIGNATURES = [
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an Excel 97-2003 workbook (.xls) or another Office 97 file"),
    (b"%PDF", "a PDF document"),
    (b"\x1f\x8b", "a gzip archive"),
    (b"{\\rtf", "an RTF document"),
    (b"SQLite format 3\0", "an SQLite database"),
]
ZIPPED = [("xl/workbook.xml", XLSX), ("word/document.xml", "a Word document (.docx)"),
          ("content.xml", "an OpenDocument file (.ods, .odt)")]


def kind_of(content):
    """What a binary file is, or None for text (UTF-16 with its byte order
    mark is text)."""
    for signature, kind in SIGNATURES:
        if content.startswith(signature):
            return kind
    if content.startswith(b"PK\x03\x04"):
        try:
            names = set(zipfile.ZipFile(io.BytesIO(content)).namelist())
        except (zipfile.BadZipFile, OSError, ValueError):
            return "a damaged zip archive"
        return next((kind for name, kind in ZIPPED if name in names), "a zip archive")
    if b"\0" in content[:4096] and not content.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "a binary file"
    return None


def shown(cell):
    """A cell's text as a spreadsheet shows it: an id stays text, a whole
    number has no ".0", and a number formatted with leading zeros
    ("00000000") keeps them."""
    value = cell.value
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (int, float)) and float(value).is_integer():
        text = str(int(value))
        number_format = getattr(cell, "number_format", "") or ""
        return text.zfill(len(number_format)) if re.fullmatch("0+", number_format) else text
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ")
    return str(value)


def check_unzipped_size(path, content):
    """Refuses a workbook whose parts, unzipped, exceed the bound, before
    any is read: a few hundred kilobytes can unzip to gigabytes."""
    try:
        total = sum(entry.file_size for entry in zipfile.ZipFile(io.BytesIO(content)).infolist())
    except (zipfile.BadZipFile, OSError, ValueError) as error:
        raise SetError(f"{escaped(path)}: {XLSX} that cannot be read (a damaged zip); save it "
                       "again, or as CSV UTF-8") from error
    if total > UNZIPPED_LIMIT:
        raise SetError(f"{escaped(path)}: {XLSX} that unzips to {total // MIB} MiB, more than "
                       f"the {UNZIPPED_LIMIT // MIB} MiB the tool reads; save only the sheet "
                       "needed, or as CSV UTF-8")


def bounded_rows(path, sheet):
    """The sheet's rows as text, to its real extent (a stated <dimension>
    may understate it), stopping with an error at the bounds."""
    sheet.reset_dimensions()
    cells = characters = 0
    for number, row in enumerate(sheet.iter_rows(), start=1):
        texts = [shown(cell) for cell in row]
        cells += len(texts)
        characters += sum(map(len, texts))
        if number > ROW_LIMIT or cells > CELL_LIMIT or characters > UNZIPPED_LIMIT:
            bound = f"{ROW_LIMIT} rows" if number > ROW_LIMIT else \
                f"{CELL_LIMIT} cells" if cells > CELL_LIMIT else \
                f"{UNZIPPED_LIMIT // MIB} MiB of text"
            raise SetError(f"{escaped(path)}: {XLSX} with more than {bound} in its sheet "
                           f"{shown_sheet(sheet.title)}, more than the tool reads; save only the rows needed, or as "
                           "CSV UTF-8")
        yield texts


# A cell, its attributes and its content; the content stops at the next
# cell's tag, so that a damaged sheet costs one pass, not one per cell.
CELL = re.compile(rb"<c\b([^>]*?)(?:/>|>((?:[^<]|<(?!/?c[\s>/]))*)</c>)")
CELL_NAME = re.compile(rb'\br="([A-Z]{1,3}[0-9]{1,7})"')
SAVED_VALUE = re.compile(rb"<v>[^<]|<is[\s>]")
# A formula's saved "" is an empty <v></v> in a cell of type str; a program
# that computes nothing writes the same empty <v></v>, typeless.
SAVED_EMPTY_TEXT = re.compile(rb'\bt="str"')


def check_formulas(path, workbook, sheet):
    """Refuses a formula whose value was never saved (a file written by a
    program that computes nothing): read, it would be an empty cell."""
    with workbook._archive.open(sheet._worksheet_path) as part:  # pylint: disable=protected-access
        content = part.read()
    for found in CELL.finditer(content):
        inside = found.group(2)
        if inside and b"<f" in inside and not SAVED_VALUE.search(inside) and \
                not (SAVED_EMPTY_TEXT.search(found.group(1)) and b"<v" in inside):
            name = CELL_NAME.search(found.group(1))
            cell = name.group(1).decode() if name else "a cell"
            raise SetError(f"{escaped(path)}: the sheet {shown_sheet(sheet.title)} has a formula "
                           f"in {cell} whose value was never saved; open the workbook in a "
                           "spreadsheet program and save it, or save it as CSV UTF-8")


def shown_sheet(title):
    return "'" + escaped(title).replace("'", "\\'") + "'"


def first_row(sheet):
    sheet.reset_dimensions()
    for row in sheet.iter_rows(max_row=50):
        texts = [shown(cell).strip() for cell in row]
        if any(texts):
            return texts
    return None


def chosen_sheet(path, workbook, wanted, named):
    """The sheet named, else the first whose header holds every column
    `wanted`, else the first that is not empty; and a note when it is not
    the first sheet."""
    sheets = workbook.worksheets
    if named is not None:
        found = next((sheet for sheet in sheets if sheet.title == named), None)
        if found is None:
            raise SetError(f"{escaped(path)}: no sheet {shown_sheet(named)} (--sheet); its sheets "
                           f"are {', '.join(shown_sheet(sheet.title) for sheet in sheets[:30])}")
        return found, None
    headers = [(sheet, first_row(sheet)) for sheet in sheets]
    found = next((sheet for sheet, header in headers
                  if header and all(name in header for name in wanted)), None)
    found = found or next((sheet for sheet, header in headers if header), None)
    if found is None:
        raise SetError(f"{escaped(path)}: every sheet of this workbook is empty")
    note = None if found is sheets[0] else \
        f"{escaped(path)}: read its sheet {shown_sheet(found.title)}, which holds the columns"
    return found, note


def workbook_as_csv(path, content, wanted=(), named=None):
    """The sheet of an .xlsx workbook that holds the columns `wanted` as CSV
    text, one row a line, and a note on which sheet it was, or None."""
    try:
        # A signal that came during an import could be swallowed by the
        # import machinery: it waits, and is taken after.
        with signals_held():
            import openpyxl  # pylint: disable=import-outside-toplevel
            import openpyxl.reader.excel  # noqa: F401  pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise SetError(f"{escaped(path)}: reading {XLSX} needs python3-openpyxl (`bash "
                       ".ci/install sets`, or `apt-get install -y python3-openpyxl`); or save "
                       "it as CSV UTF-8") from error
    check_unzipped_size(path, content)
    try:
        workbook = openpyxl.load_workbook(io.BytesIO(content), read_only=True, data_only=True)
        sheet, note = chosen_sheet(path, workbook, wanted, named)
        check_formulas(path, workbook, sheet)
        rows = list(bounded_rows(path, sheet))
    except SetError:
        raise
    except Exception as error:  # openpyxl raises many kinds for a damaged file; a signal
        # (workspace.Interrupted) is no Exception, so it is never taken for one
        raise SetError(f"{escaped(path)}: {XLSX} that cannot be read ({type(error).__name__}); "
                       "save it again, or as CSV UTF-8") from error
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue(), note
