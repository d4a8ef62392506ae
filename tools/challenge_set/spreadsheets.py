"""Files that are no text: an .xlsx workbook (Microsoft Forms and Excel
export nothing else) is read as it comes, its first sheet with each cell's
text as shown, through openpyxl; any other binary file is named for what it
is, so that a message never shows its bytes."""

import csv
import datetime
import io
import re
import zipfile

from .common import SetError, escaped

XLSX = "an Excel workbook (.xlsx)"
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


def workbook_as_csv(path, content):
    """The first sheet of an .xlsx workbook as CSV text, one row a line."""
    try:
        import openpyxl  # pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise SetError(f"{escaped(path)}: reading {XLSX} needs python3-openpyxl (`bash "
                       ".ci/install sets`, or `apt-get install -y python3-openpyxl`); or save "
                       "it as CSV UTF-8") from error
    try:
        workbook = openpyxl.load_workbook(io.BytesIO(content), read_only=True, data_only=True)
        rows = [[shown(cell) for cell in row] for row in workbook.worksheets[0].iter_rows()]
    except Exception as error:  # openpyxl raises many kinds for a damaged file
        raise SetError(f"{escaped(path)}: {XLSX} that cannot be read ({type(error).__name__}); "
                       "save it again, or as CSV UTF-8") from error
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue()
