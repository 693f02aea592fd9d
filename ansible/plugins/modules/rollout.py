#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: rollout
short_description: Program the units on a site's network with C(fwprog multiple)
version_added: "1.0.0"
description:
  - Runs C(fwprog multiple) on the managed host, the computer on the units' own
    network, and returns the outcome of every unit from the batch's report.
  - The task fails when C(fwprog) exits with a status other than 0; its C(msg)
    names each unit that was not programmed and why (its result, or
    C(not started) for the units a stop left out).
  - In check mode no unit is programmed. The module checks that the image is a
    readable regular file, reads the list and asks C(fwprog check) whether each
    target is ready (a query to each unit and a connection to its data port,
    opened and closed with nothing sent); then it says what would be done.
  - Text that came from the units (their product and version) is returned as
    text, as C(fwprog) wrote it; nothing in it is evaluated.
options:
  image:
    description:
      - The firmware image, a path on the managed host.
    type: path
    required: true
  list:
    description:
      - A list file on the managed host, one address or print queue a line, as
        C(fwprog multiple --list) reads it.
      - Exactly one of O(list) and O(units) is given.
    type: path
  units:
    description:
      - The targets (addresses or print-queue names), written to a temporary
        list file in the given order.
      - A target holding a line end, a NUL or nothing at all is refused.
    type: list
    elements: str
  jobs:
    description:
      - How many units are programmed at once (C(--jobs)).
    type: int
    default: 1
  retries:
    description:
      - How many more times an unconfirmed or unreachable unit is tried
        (C(--retries)).
    type: int
    default: 0
  max_failures:
    description:
      - Stop the batch once this many units have failed (C(--max-failures)).
    type: int
  canary:
    description:
      - Program this many units one by one first; the batch stops if one of
        them fails (C(--canary)).
    type: int
  report:
    description:
      - Where C(fwprog) writes its per-unit report on the managed host, as
        JSON lines (or CSV when the name ends in C(.csv)). A regular file there
        is replaced.
      - Without it the report goes to a temporary file that is removed once
        its records are read.
    type: path
  log:
    description:
      - The status log (C(--log)); by default C(Status.txt) in the list's
        folder (with O(units), the temporary list's, so it is not kept).
    type: path
  fwprog:
    description:
      - The C(fwprog) executable, a name looked for on the managed host's
        C(PATH), or a path.
    type: str
    default: fwprog
  extra_args:
    description:
      - More arguments for C(fwprog multiple), passed as they are, for example
        the units' ports (C(--unit-udp-port), C(--unit-tcp-port),
        C(--status-port)) or C(--after-wait).
      - In check mode the port options and C(--broadcast) among them are
        passed to C(fwprog check); the others are left out.
    type: list
    elements: str
    default: []
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
notes:
  - C(fwprog) is the command-line program of the firmware programmer; it must
    be installed on the managed host (the C(.deb) package puts it in
    C(/usr/bin)).
author:
  - Brindell firmware tools
"""

EXAMPLES = r"""
- name: Program the site's units four at a time, with two canaries
  fwprog.fleet.rollout:
    image: /var/tmp/fw-2.9.bin
    units:
      - 10.81.1.11
      - 10.81.1.12
      - 10.81.1.13
    jobs: 4
    canary: 2
    retries: 1
    report: /var/tmp/rollout.jsonl
  register: site

- name: Program the units of a list, with the units' ports changed
  fwprog.fleet.rollout:
    image: /srv/fw/fw.bin
    list: /srv/fw/units.txt
    fwprog: /opt/fwprog/bin/fwprog
    extra_args: [--unit-udp-port, "16000", --status-port, "40101"]
"""

RETURN = r"""
changed:
  description: True when at least one unit was programmed (in check mode, when some would be).
  returned: always
  type: bool
programmed:
  description: Units this run programmed (result 0; units C(--resume) skipped are not counted).
  returned: always
  type: int
  sample: 3
failed_units:
  description: Units that failed (a verdict of their own, or an error on this host).
  returned: always
  type: int
  sample: 1
unconfirmed:
  description: Units whose image went out but whose verdict was not heard.
  returned: always
  type: int
  sample: 0
units:
  description: One record a unit, from C(fwprog)'s report, in the order units finished.
  returned: always
  type: list
  elements: dict
  contains:
    target:
      description: The address or print queue.
      type: str
    result:
      description: 0 programmed, -1 unconfirmed, 1 to 99 an error on this host, 100 and above the unit's own verdict.
      type: int
    result_text:
      description: The result as the status log words it (C(Successfully Programmed), C(Verify Error), ...).
      type: str
    image_sha256:
      description: The SHA-256 of the image as the batch found it.
      type: str
    product_before:
      description: The unit's product and version before it was programmed.
      type: str
    product_after:
      description: Its product and version once it ran again; empty when it did not answer.
      type: str
  sample:
    - target: 10.81.1.11
      result: 0
      result_text: Successfully Programmed
      image_sha256: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
      product_before: LAN A 1.00
      product_after: LAN A 2.00
not_programmed:
  description: Each unit of the list that was not programmed, with why (C(not started) for units a stop left out).
  returned: always
  type: list
  elements: dict
rc:
  description: The exit status of C(fwprog multiple) (in check mode, of C(fwprog check)).
  returned: when fwprog ran
  type: int
  sample: 0
cmd:
  description: The command that ran.
  returned: when fwprog ran
  type: list
  elements: str
stdout:
  description: What C(fwprog) wrote to its standard output.
  returned: when fwprog ran
  type: str
stderr:
  description: What C(fwprog) wrote to its standard error.
  returned: when fwprog ran
  type: str
report:
  description: The report's path on the managed host, when O(report) was given.
  returned: when O(report) was given
  type: str
check:
  description: In check mode, what C(fwprog check --json) found (its C(status_port) and C(targets)).
  returned: in check mode, when fwprog check ran
  type: dict
"""

import hashlib
import json
import os
import shutil
import stat
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.fwprog.fleet.plugins.module_utils.fwprog_report import (
    UNIT_FIELDS,
    counts,
    not_programmed,
    read_report,
    read_targets,
)

# Options every fwprog command takes, with their values: what check mode
# keeps of extra_args.
COMMON_OPTIONS = ("--unit-udp-port", "--unit-tcp-port", "--status-port", "--broadcast")


def common_options(extra_args):
    kept = []
    i = 0
    while i < len(extra_args):
        arg = extra_args[i]
        name = arg.split("=", 1)[0]
        if name in COMMON_OPTIONS:
            if "=" in arg:
                kept.append(arg)
            elif i + 1 < len(extra_args):
                kept.extend([arg, extra_args[i + 1]])
                i += 1
        i += 1
    return kept


def find_fwprog(module, name):
    if "/" in name:
        if not (os.path.isfile(name) and os.access(name, os.X_OK)):
            module.fail_json(msg="fwprog executable %s is not an executable file" % name)
        return name
    return module.get_bin_path(name, required=True)


def check_image(module, path):
    """The image's size and SHA-256, or a failure saying why it cannot be one."""
    try:
        info = os.stat(path)
    except OSError as error:
        module.fail_json(msg="the image %s cannot be used: %s" % (path, error.strerror))
    if not stat.S_ISREG(info.st_mode):
        module.fail_json(msg="the image %s is not a regular file" % path)
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                digest.update(block)
    except OSError as error:
        module.fail_json(msg="the image %s cannot be read: %s" % (path, error.strerror))
    return info.st_size, digest.hexdigest()


def write_list(module, folder, units):
    for unit in units:
        if not unit or any(c in unit for c in "\r\n\0"):
            module.fail_json(msg="units: %r is not a target (empty, or holds a line end or NUL)" % unit)
    path = os.path.join(folder, "units.txt")
    with open(path, "wb") as stream:
        stream.write("".join(unit + "\n" for unit in units).encode("utf-8"))
    return path


def read_list(module, path):
    try:
        return read_targets(path)
    except OSError as error:
        module.fail_json(msg="the list %s cannot be read: %s" % (path, error.strerror))


def remove_old_report(module, path):
    # A report left from an earlier run must not pass for this run's when
    # fwprog stops before it writes one. Only a regular file is removed: fwprog
    # itself refuses links, FIFOs and devices and says so.
    try:
        if stat.S_ISREG(os.lstat(path).st_mode):
            os.remove(path)
    except FileNotFoundError:
        pass
    except OSError as error:
        module.fail_json(msg="the report %s cannot be replaced: %s" % (path, error.strerror))


def unit_records(records):
    return [dict((key, record.get(key)) for key in UNIT_FIELDS) for record in records]


def describe(missing):
    return ", ".join("%s (%s)" % (target, why) for target, why in missing)


def run_check(module, fwprog, targets, result):
    p = module.params
    size, sha256 = check_image(module, p["image"])
    result.update(programmed=0, failed_units=0, unconfirmed=0, units=[], not_programmed=[])
    if not targets:
        result["msg"] = "the list holds no target: nothing would be programmed"
        module.exit_json(**result)
    cmd = [fwprog, "check"] + targets + ["--json"] + common_options(p["extra_args"])
    rc, out, err = module.run_command(cmd)
    result.update(rc=rc, cmd=cmd, stdout=out, stderr=err)
    try:
        found = json.loads(out)
    except ValueError:
        module.fail_json(msg="fwprog check gave no report (exit status %d): %s" % (rc, err.strip()), **result)
    result["check"] = found
    not_ready = [t for t in found.get("targets", []) if not t.get("ready")]
    port = found.get("status_port") or {}
    plan = "would program %d unit%s (%s) with %s (%d bytes, SHA-256 %s), %d at a time" % (
        len(targets),
        "" if len(targets) == 1 else "s",
        ", ".join(targets),
        p["image"],
        size,
        sha256,
        p["jobs"],
    )
    if rc != 0 or not_ready:
        problems = ["%s: %s" % (t.get("target"), t.get("problem")) for t in not_ready]
        if port and not port.get("bindable", True):
            problems.insert(0, "status port %s: %s" % (port.get("port"), port.get("error")))
        result["msg"] = "not ready, so the rollout would fail: %s; %s" % ("; ".join(problems) or err.strip(), plan)
        module.fail_json(**result)
    result["changed"] = True
    result["msg"] = plan
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            image=dict(type="path", required=True),
            list=dict(type="path"),
            units=dict(type="list", elements="str"),
            jobs=dict(type="int", default=1),
            retries=dict(type="int", default=0),
            max_failures=dict(type="int"),
            canary=dict(type="int"),
            report=dict(type="path"),
            log=dict(type="path"),
            fwprog=dict(type="str", default="fwprog"),
            extra_args=dict(type="list", elements="str", default=[]),
        ),
        mutually_exclusive=[("list", "units")],
        required_one_of=[("list", "units")],
        supports_check_mode=True,
    )
    p = module.params
    result = dict(changed=False)
    fwprog = find_fwprog(module, p["fwprog"])
    work = tempfile.mkdtemp(prefix="fwprog-rollout-", dir=module.tmpdir)
    try:
        if p["units"] is not None:
            list_path = write_list(module, work, p["units"])
            targets = list(p["units"])
        else:
            list_path = p["list"]
            targets = read_list(module, list_path)

        if module.check_mode:
            run_check(module, fwprog, targets, result)

        report = p["report"] or os.path.join(work, "report.jsonl")
        remove_old_report(module, report)
        cmd = [fwprog, "multiple", "--image", p["image"], "--list", list_path, "--report", report,
               "--jobs", str(p["jobs"]), "--retries", str(p["retries"])]
        if p["max_failures"] is not None:
            cmd += ["--max-failures", str(p["max_failures"])]
        if p["canary"] is not None:
            cmd += ["--canary", str(p["canary"])]
        if p["log"]:
            cmd += ["--log", p["log"]]
        cmd += p["extra_args"]
        rc, out, err = module.run_command(cmd)
        result.update(rc=rc, cmd=cmd, stdout=out, stderr=err)
        if p["report"]:
            result["report"] = report

        records = []
        if os.path.exists(report):
            try:
                records = read_report(report)
            except (OSError, ValueError) as error:
                module.fail_json(msg="the report %s cannot be read: %s" % (report, error), **result)
        result.update(counts(records))
        result["units"] = unit_records(records)
        missing = not_programmed(targets, records)
        result["not_programmed"] = [dict(target=target, why=why) for target, why in missing]
        result["changed"] = result["programmed"] > 0

        if rc != 0:
            # fwprog's own messages, not its line for each finished unit.
            said = [line for line in err.splitlines() if line.startswith("fwprog: ")]
            result["msg"] = "fwprog multiple exited with status %d; not programmed: %s%s" % (
                rc, describe(missing) or "none", ("; " + said[-1]) if said else "")
            module.fail_json(**result)
        result["msg"] = "%d unit%s programmed" % (result["programmed"], "" if result["programmed"] == 1 else "s")
        module.exit_json(**result)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
