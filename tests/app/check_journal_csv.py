#!/usr/bin/env python3
"""Reads the CSV files that the journal window saved (FOLDER/*.csv) with
Python's csv module and compares their rows with the rows the test program
read from the window (FOLDER/<name>.expected.tsv: UTF-8, fields separated by
tabs, rows ended by CR LF). Each file must start with the UTF-8 byte-order
mark and end its records with CR LF, and no cell but a number (the columns "№" and
"Код") may start with a sign that makes a spreadsheet take it for a
formula. Exit status 1 on any difference, or when there is no file to
check."""
import csv
import pathlib
import sys

FORMULA_SIGNS = ("=", "+", "-", "@")
NUMBER_COLUMNS = (0, 8)


def expected_rows(path):
    text = path.read_bytes().decode("utf-8")
    assert text.endswith("\r\n"), f"{path}: not ended by CR LF"
    return [line.split("\t") for line in text[:-2].split("\r\n")]


def check(csv_path):
    raw = csv_path.read_bytes()
    problems = []
    if not raw.startswith(b"\xef\xbb\xbf"):
        problems.append("no UTF-8 byte-order mark")
    if not raw.endswith(b"\r\n"):
        problems.append("the last record is not ended by CR LF")
    with open(csv_path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f, dialect="excel", strict=True))
    expected = expected_rows(csv_path.with_suffix(".expected.tsv"))
    if rows != expected:
        if len(rows) != len(expected):
            problems.append(f"{len(rows)} rows read, {len(expected)} expected")
        for i, (got, want) in enumerate(zip(rows, expected)):
            if got != want:
                problems.append(f"row {i}: read {got!r}, expected {want!r}")
    for i, row in enumerate(rows[1:], start=1):
        for column, cell in enumerate(row):
            if column in NUMBER_COLUMNS:
                if cell and not cell.lstrip("-").isdigit():
                    problems.append(f"row {i}, column {column}: {cell!r} is not a number")
            elif cell.startswith(FORMULA_SIGNS):
                problems.append(f"row {i}, column {column}: {cell!r} is a formula to a spreadsheet")
    for problem in problems:
        print(f"{csv_path.name}: {problem}")
    if not problems:
        print(f"{csv_path.name}: {len(rows)} rows as the window shows them")
    return not problems


def main():
    folder = pathlib.Path(sys.argv[1])
    files = sorted(folder.glob("*.csv"))
    if not files:
        print(f"no CSV file in {folder}")
        return 1
    return 0 if all([check(f) for f in files]) else 1


if __name__ == "__main__":
    sys.exit(main())
