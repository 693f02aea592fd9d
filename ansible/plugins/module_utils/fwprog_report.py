# -*- coding: utf-8 -*-
# Reading what `fwprog multiple` writes and reads: its per-unit report (JSON
# lines, or CSV when the name ends in .csv) and its list of targets.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import csv
import io
import json
import re

# The members of a report line that a rollout returns for each unit.
UNIT_FIELDS = (
    "target",
    "result",
    "result_text",
    "image_sha256",
    "product_before",
    "product_after",
)

_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f]")


def wants_csv(path):
    return path.lower().endswith(".csv")


def _number(value):
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def _record(raw):
    # Texts stay texts: nothing a unit sent is parsed beyond the report's own
    # format, and the numbers fwprog wrote become numbers.
    record = dict(raw)
    for key in ("result", "attempts", "image_bytes", "bytes_delivered", "foreign_datagrams"):
        if key in record:
            record[key] = _number(record[key])
    if isinstance(record.get("skipped"), str):
        record["skipped"] = record["skipped"] == "true"
    return record


def parse_report(text, csv_format):
    """The report's records, one dict per unit, in the order units finished."""
    if csv_format:
        return [_record(row) for row in csv.DictReader(io.StringIO(text, newline=""))]
    records = []
    for line in text.splitlines():
        if line.strip():
            records.append(_record(json.loads(line)))
    return records


def read_report(path):
    # fwprog writes ASCII only; a report cut off by a full disk still gives
    # the lines that were written whole.
    with open(path, "rb") as stream:
        data = stream.read().decode("utf-8", errors="replace")
    return parse_report(data, wants_csv(path))


def read_targets(path):
    """The targets of a list file as fwprog reads it: CR, LF and CR LF end a
    line, blank lines are no target, every other byte is kept."""
    with open(path, "rb") as stream:
        data = stream.read()
    return [record.decode("latin-1") for record in re.split(b"[\r\n]+", data) if record]


def is_programmed(record):
    return record.get("result") == 0 and not record.get("skipped")


def is_failed(record):
    result = record.get("result")
    return result is not None and result > 0


def is_unconfirmed(record):
    result = record.get("result")
    return result is None or result < 0


def counts(records):
    # No "skipped" or "failed" key: Ansible reads those of a task's result as
    # its own (a result holding "skipped" is never judged by failed_when).
    return {
        "programmed": sum(1 for r in records if is_programmed(r)),
        "failed_units": sum(1 for r in records if is_failed(r)),
        "unconfirmed": sum(1 for r in records if is_unconfirmed(r)),
    }


def not_programmed(targets, records):
    """(target, why) for every unit of the list that this run did not leave
    programmed: its result's text, or "not started" for the units after a stop."""
    missing = []
    remaining = list(records)
    for target in targets:
        match = next((r for r in remaining if r.get("target") == target), None)
        if match is None:
            missing.append((target, "not started"))
            continue
        remaining.remove(match)
        if match.get("result") != 0:
            missing.append((target, match.get("result_text") or "result %s" % match.get("result")))
    return missing


def visible(text):
    """Text with control characters written as escapes (\\x1b), as fwprog
    writes bytes from outside: a unit's answer cannot move a terminal's
    cursor or start a new row of a CSV file."""
    if not isinstance(text, str):
        return text
    return _CONTROLS.sub(lambda m: "\\x%02x" % ord(m.group(0)), text)
