#!/usr/bin/env python3
# The collection's rollout playbook, run by real ansible-playbook over SSH
# against three site hosts (network namespaces with their own sshd) and
# their simulated units: what reaches the units, what the merged fleet report
# holds, and where a failure stops the rollout.
#
#   rollout_test.py BUILD_DIR COLLECTIONS_DIR TEST_NAME
#
# Exits 77 (skipped) with the reason where the machine cannot host the sites.

import csv
import hashlib
import json
import os
import sys
import unittest

# Nothing is written into the source tree, not even bytecode.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import site_hosts  # noqa: E402

BUILD_DIR = None
COLLECTIONS = None
PLAY = "Roll the image out site by site"
MODULE_TASK = "Program the site's units"

# Each site's units: two a site, on its own loopback.
UNITS = {
    "site1": ["127.0.0.11", "127.0.0.12"],
    "site2": ["127.0.0.21", "127.0.0.22"],
    "site3": ["127.0.0.31", "127.0.0.32"],
}
VERIFY_ERROR = ["--status", "2"]  # the unit's verdict 2: "Verify Error" (result 102)


class Rollout(unittest.TestCase):
    def setUp(self):
        self.hosts = site_hosts.SiteHosts(BUILD_DIR, COLLECTIONS)
        self.hosts.__enter__()
        self.addCleanup(self.hosts.close)
        self.image = os.path.join(self.hosts.folder, "fw-2.9.bin")
        with open(self.image, "wb") as stream:
            stream.write(os.urandom(48 * 1024 + 17))
        with open(self.image, "rb") as stream:
            self.image_sha256 = hashlib.sha256(stream.read()).hexdigest()
        self.reports = os.path.join(self.hosts.folder, "reports")
        self.sites = {site.name: site for site in self.hosts.sites}

    def start(self, options=None):
        """Starts every site's units; options maps an address to its
        simulator options."""
        options = options or {}
        for name, site in self.sites.items():
            self.hosts.start_units(site, [(a, options.get(a, [])) for a in UNITS[name]])
        return self.hosts.write_inventory(UNITS)

    def rollout(self, inventory, check=False, **variables):
        variables.update(fwprog_image=self.image, fwprog_reports_dir=self.reports)
        return self.hosts.playbook(inventory, variables, check=check)

    def images(self, site):
        return {e["unit"]: e.get("sha256") for e in self.sites[site].events("image")}

    def touched(self, site):
        """What a unit sees only when it is programmed: entry headers and images."""
        return self.sites[site].events("header") + self.sites[site].events("image")

    def fleet_rows(self):
        with open(os.path.join(self.reports, "fleet.csv"), newline="", encoding="utf-8") as stream:
            return list(csv.DictReader(stream))

    def site_report(self, site):
        path = os.path.join(self.reports, site + ".jsonl")
        with open(path, encoding="utf-8") as stream:
            return [json.loads(line) for line in stream if line.strip()]

    def assert_counts_match_report(self, document, site):
        result = site_hosts.task_results(document, MODULE_TASK)[site]
        report = self.site_report(site)
        self.assertEqual(result["programmed"], sum(1 for r in report if r["result"] == 0), result)
        self.assertEqual(result["failed_units"], sum(1 for r in report if r["result"] > 0), result)
        self.assertEqual(result["unconfirmed"], sum(1 for r in report if r["result"] < 0), result)
        self.assertEqual([(u["target"], u["result"], u["result_text"], u["image_sha256"],
                           u["product_before"], u["product_after"]) for u in result["units"]],
                         [(r["target"], r["result"], r["result_text"], r["image_sha256"],
                           r["product_before"], r["product_after"]) for r in report])
        self.assertEqual(result["changed"], any(r["result"] == 0 for r in report))
        return result

    # --- cases -------------------------------------------------------------

    def test_every_site_is_programmed_and_the_fleet_report_is_complete(self):
        # A unit whose answer holds an escape sequence and template syntax:
        # both must reach the report as text.
        odd = "Unit \x1b[2J {{ 6 * 7 }} {% raw %}"
        inventory = self.start({"127.0.0.22": ["--product", odd]})
        status, document, err = self.rollout(inventory)
        self.assertEqual(status, 0, site_hosts.failures(document) + err)

        # The default: one site as a canary, then the rest together.
        self.assertEqual(site_hosts.batches(document, PLAY),
                         [["site1"], ["site2", "site3"]])
        for name in self.sites:
            self.assertEqual(self.images(name), {u: self.image_sha256 for u in UNITS[name]})

        rows = self.fleet_rows()
        self.assertEqual(sorted((r["site"], r["target"]) for r in rows),
                         sorted((s, u) for s, units in UNITS.items() for u in units))
        for row in rows:
            self.assertEqual((row["result"], row["result_text"], row["image_sha256"]),
                             ("0", "Successfully Programmed", self.image_sha256), row)
        odd_row = next(r for r in rows if r["target"] == "127.0.0.22")
        self.assertEqual(odd_row["product_before"], "Unit \\x1b[2J {{ 6 * 7 }} {% raw %}")

        for name in self.sites:
            result = self.assert_counts_match_report(document, name)
            self.assertEqual(result["programmed"], 2)
        module_units = site_hosts.task_results(document, MODULE_TASK)["site2"]["units"]
        self.assertIn(odd, [u["product_before"] for u in module_units])

    def test_a_verify_error_at_the_second_site_stops_the_rollout_before_the_third(self):
        inventory = self.start({"127.0.0.22": VERIFY_ERROR})
        status, document, err = self.rollout(inventory, fwprog_serial=1)
        self.assertNotEqual(status, 0)

        self.assertEqual(site_hosts.batches(document, PLAY), [["site1"], ["site2"]])
        self.assertEqual(self.touched("site3"), [], "the third site's units were contacted")
        self.assertEqual(set(self.images("site1")), set(UNITS["site1"]))
        self.assertEqual(set(self.images("site2")), set(UNITS["site2"]))

        # The failing site's report was fetched and merged before the stop.
        rows = self.fleet_rows()
        self.assertEqual(sorted((r["site"], r["target"], r["result"]) for r in rows),
                         [("site1", "127.0.0.11", "0"), ("site1", "127.0.0.12", "0"),
                          ("site2", "127.0.0.21", "0"), ("site2", "127.0.0.22", "102")])
        result = self.assert_counts_match_report(document, "site2")
        self.assertEqual((result["programmed"], result["failed_units"], result["rc"]), (1, 1, 1))
        self.assertIn("127.0.0.22 (Verify Error)", result["msg"])
        self.assertNotIn("127.0.0.21", result["msg"])
        self.assertEqual(document["stats"]["site2"]["failures"], 1, document["stats"])
        self.assertNotIn("site3", document["stats"])

    def test_a_failing_canary_site_stops_every_other_site(self):
        inventory = self.start({"127.0.0.11": VERIFY_ERROR})
        status, document, err = self.rollout(inventory)
        self.assertNotEqual(status, 0)

        self.assertEqual(site_hosts.batches(document, PLAY), [["site1"]])
        for name in ("site2", "site3"):
            self.assertEqual(self.touched(name), [], "%s's units were contacted" % name)
        rows = self.fleet_rows()
        self.assertEqual(sorted((r["site"], r["target"], r["result_text"]) for r in rows),
                         [("site1", "127.0.0.11", "Verify Error"),
                          ("site1", "127.0.0.12", "Successfully Programmed")])
        self.assertEqual(document["stats"]["site1"]["failures"], 1, document["stats"])
        stop = site_hosts.task_results(document, "Fail the site whose units were not all programmed")
        self.assertIn("not programmed: 127.0.0.11 (Verify Error)", stop["site1"]["msg"])

    def test_check_mode_contacts_no_unit_and_says_what_would_be_done(self):
        inventory = self.start()
        status, document, err = self.rollout(inventory, check=True)
        self.assertEqual(status, 0, site_hosts.failures(document) + err)

        results = site_hosts.task_results(document, MODULE_TASK)
        for name, site in self.sites.items():
            self.assertEqual(self.touched(name), [], "%s's units were programmed" % name)
            # fwprog check asked each unit who it is, and nothing more.
            self.assertEqual(sorted({e["unit"] for e in site.events("query")}), UNITS[name])
            self.assertIn("would program 2 units (%s)" % ", ".join(UNITS[name]),
                          results[name]["msg"])
            self.assertIn(self.image_sha256, results[name]["msg"])
            self.assertEqual(results[name]["programmed"], 0)
        self.assertFalse(os.path.exists(os.path.join(self.reports, "fleet.csv")))


def main():
    global BUILD_DIR, COLLECTIONS
    if len(sys.argv) != 4:
        sys.exit("usage: rollout_test.py BUILD_DIR COLLECTIONS_DIR TEST_NAME")
    BUILD_DIR, COLLECTIONS, name = [os.path.abspath(a) for a in sys.argv[1:3]] + sys.argv[3:]
    reason = site_hosts.missing_prerequisite()
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(77)
    suite = unittest.TestSuite([Rollout(name)])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
