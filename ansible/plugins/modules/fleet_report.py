#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: fleet_report
short_description: Merge the sites' rollout reports into one CSV file with a site column
version_added: "1.0.0"
description:
  - Reads C(SITE.jsonl), the report C(fwprog multiple --report) wrote at each
    site (fetched by the rollout playbook), for each site named, and writes
    one CSV file with a header row, a C(site) column first, then the report's
    own columns, one row a unit.
  - Sites without a report (not reached yet, or stopped before their batch
    began) are left out and named in RV(missing).
  - Text is written as it came, except that control characters become visible
    escapes such as C(\x1b), so a unit's answer cannot start a row of its own.
  - The file is replaced whole (written beside it, then renamed), never in
    part.
  - With O(state=absent) it starts a rollout afresh instead; it makes
    O(directory) if need be and removes O(dest) and the reports of the sites
    named, so that a site this rollout never reaches cannot be merged with an
    earlier rollout's report.
options:
  directory:
    description:
      - The folder that holds the sites' reports.
    type: path
    required: true
  sites:
    description:
      - The sites, in the order their rows are written.
    type: list
    elements: str
    required: true
  dest:
    description:
      - The merged CSV file.
    type: path
    required: true
  state:
    description:
      - V(merged) writes O(dest); V(absent) removes it and the sites' reports.
    type: str
    choices: [merged, absent]
    default: merged
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
author:
  - Brindell firmware tools
"""

EXAMPLES = r"""
- name: Start afresh, without an earlier rollout's reports
  fwprog.fleet.fleet_report:
    directory: /srv/rollouts/2024-05
    sites: "{{ groups['sites'] }}"
    dest: /srv/rollouts/2024-05/fleet.csv
    state: absent

- name: Merge the reports fetched so far
  fwprog.fleet.fleet_report:
    directory: /srv/rollouts/2024-05
    sites: "{{ ansible_play_hosts_all }}"
    dest: /srv/rollouts/2024-05/fleet.csv
  delegate_to: localhost
  run_once: true
"""

RETURN = r"""
removed:
  description: The files O(state=absent) removed.
  returned: when O(state=absent)
  type: list
  elements: str
rows:
  description: Units written, all sites together.
  returned: when O(state=merged)
  type: int
  sample: 48
sites:
  description: The sites whose reports were merged.
  returned: when O(state=merged)
  type: list
  elements: str
missing:
  description: The sites named that had no report.
  returned: when O(state=merged)
  type: list
  elements: str
dest:
  description: The merged file.
  returned: always
  type: str
"""

import csv
import io
import os
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.fwprog.fleet.plugins.module_utils.fwprog_report import read_report, visible

# The report's members, in the order fwprog writes them.
COLUMNS = (
    "target",
    "interface",
    "source_address",
    "product_before",
    "product_after",
    "image",
    "image_bytes",
    "image_sha256",
    "result",
    "result_text",
    "attempts",
    "bytes_delivered",
    "foreign_datagrams",
    "start",
    "end",
    "skipped",
)


def cell(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return visible(str(value))


def merged_text(directory, sites):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(("site",) + COLUMNS)
    rows, merged, missing = 0, [], []
    for site in sites:
        path = os.path.join(directory, site + ".jsonl")
        if not os.path.isfile(path):
            missing.append(site)
            continue
        for record in read_report(path):
            writer.writerow([visible(site)] + [cell(record.get(column)) for column in COLUMNS])
            rows += 1
        merged.append(site)
    return text.getvalue(), rows, merged, missing


def start_afresh(module):
    p = module.params
    removed = []
    if not os.path.isdir(p["directory"]):
        if not module.check_mode:
            os.makedirs(p["directory"], mode=0o755)
        module.exit_json(changed=True, removed=removed, dest=p["dest"])
    for path in [os.path.join(p["directory"], site + ".jsonl") for site in p["sites"]] + [p["dest"]]:
        if os.path.lexists(path):
            if not module.check_mode:
                try:
                    os.remove(path)
                except OSError as error:
                    module.fail_json(msg="cannot remove %s: %s" % (path, error.strerror), removed=removed)
            removed.append(path)
    module.exit_json(changed=bool(removed), removed=removed, dest=p["dest"])


def main():
    module = AnsibleModule(
        argument_spec=dict(
            directory=dict(type="path", required=True),
            sites=dict(type="list", elements="str", required=True),
            dest=dict(type="path", required=True),
            state=dict(type="str", choices=["merged", "absent"], default="merged"),
        ),
        supports_check_mode=True,
    )
    p = module.params
    if p["state"] == "absent":
        start_afresh(module)
    try:
        text, rows, merged, missing = merged_text(p["directory"], p["sites"])
    except (OSError, ValueError) as error:
        module.fail_json(msg="cannot read the sites' reports in %s: %s" % (p["directory"], error))
    result = dict(rows=rows, sites=merged, missing=missing, dest=p["dest"])
    try:
        with open(p["dest"], "r", encoding="utf-8", newline="") as stream:
            result["changed"] = stream.read() != text
    except OSError:
        result["changed"] = True
    if result["changed"] and not module.check_mode:
        folder = os.path.dirname(os.path.abspath(p["dest"]))
        handle, temporary = tempfile.mkstemp(prefix=".fleet-", suffix=".csv", dir=folder)
        try:
            with os.fdopen(handle, "w", encoding="utf-8", newline="") as stream:
                stream.write(text)
            os.chmod(temporary, 0o644)
            os.replace(temporary, p["dest"])
        except OSError as error:
            if os.path.exists(temporary):
                os.unlink(temporary)
            module.fail_json(msg="cannot write %s: %s" % (p["dest"], error), **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
