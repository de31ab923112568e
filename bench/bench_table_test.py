#!/usr/bin/env python3
"""Checks of the table scripts/bench.sh prints: the right peer is chosen, goals are judged on the
right figure, and a group that did not finish never shows numbers. Run: python3 bench_table_test.py"""

import contextlib
import io
import json
import os
import sys
import tempfile
import unittest
import unittest.mock

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import bench_table  # noqa: E402


def table_of(files):
    """The printed table for result files {name: benchmarks list, or raw text}."""
    with tempfile.TemporaryDirectory() as folder:
        for name, content in files.items():
            with open(os.path.join(folder, name + ".json"), "w", encoding="utf-8") as file:
                file.write(content if isinstance(content, str) else json.dumps({"benchmarks": content}))
        output = io.StringIO()
        with contextlib.redirect_stdout(output), unittest.mock.patch("sys.argv", ["bench_table.py", folder]):
            bench_table.main()
        return output.getvalue()


def row(text, measure):
    return next(line for line in text.splitlines() if line.startswith(measure))


OPTIONS = {"name": "BM_OptionsPerSecond/iterations:1/real_time", "ours_tps": 6000, "ours_failed": 0,
           "sipp_uas_tps": 9000, "sipp_uas_failed": 22, "kam_sl_tps": 8000, "kam_sl_failed": 0,
           "kam_tm_tps": 5000, "kam_tm_failed": -1, "clean_ceiling": 2, "clean_ceiling_tps": 8000,
           "vs_clean_ceiling": 0.75, "vs_sipp_uas": 0.67}


class TableTest(unittest.TestCase):
    def test_options_ceiling_is_the_fastest_clean_one_and_the_goal_is_judged_on_it(self):
        text = table_of({"options": [OPTIONS]})
        ceiling = row(text, "OPTIONS/s vs fastest clean ceiling")
        self.assertIn("8,000/s (kamailio sl)", ceiling)
        self.assertIn("0.75", ceiling)
        self.assertIn("NOT met", ceiling)
        self.assertIn("did not run", row(text, "OPTIONS/s vs kamailio stateful"))
        lossy = row(text, "OPTIONS/s vs SIPp's UAS")
        self.assertIn("22 failed", lossy)
        self.assertIn("n/a (peer failed)", lossy)

    def test_our_failures_fail_the_goal_even_above_the_ceiling(self):
        faster = dict(OPTIONS, ours_tps=9000, ours_failed=3, vs_clean_ceiling=1.125)
        self.assertIn("NOT met", row(table_of({"options": [faster]}), "OPTIONS/s vs fastest clean ceiling"))

    def test_message_ratio_is_against_the_fastest_baseline(self):
        benchmarks = [{"name": "osip/invite", "ns_per_msg": 20000}, {"name": "libre/invite", "ns_per_msg": 16000},
                      {"name": "ours/invite", "ns_per_msg": 8000}]
        line = row(table_of({"message": benchmarks}), "parse + encode, INVITE")
        self.assertIn("16,000 (libre, fastest)", line)
        self.assertIn("0.50", line)
        self.assertIn("(met)", line)  # the goal is half the fastest baseline's time
        slower = [dict(b, ns_per_msg=8100) if b["name"] == "ours/invite" else b for b in benchmarks]
        self.assertIn("NOT met", row(table_of({"message": slower}), "parse + encode, INVITE"))

    def test_a_group_that_timed_out_or_was_skipped_shows_no_figures(self):
        skipped = {"name": "BM_CapiSustainedLoad/iterations:1/real_time", "error_occurred": True,
                   "error_message": "sipp is not installed"}
        text = table_of({"options": '{"benchmarks": [', "calls": [skipped]})
        self.assertIn("no result (timed out", row(text, "OPTIONS answered per second"))
        self.assertIn("skipped: sipp is not installed", row(text, "CPU per call"))
        self.assertIn("not run", row(text, "registrations per second"))

    def test_tls_connection_heap_is_judged_per_side(self):
        benchmarks = [{"name": "BM_HeapPerAcceptedTlsConnection/200/iterations:1/real_time",
                       "heap_bytes_per_connection": 16153.4},
                      {"name": "BM_HeapPerOpenedTlsConnection/200/iterations:1/real_time",
                       "heap_bytes_per_connection": 61000}]
        text = table_of({"heap-tls": benchmarks})
        accepted = row(text, "heap per idle TLS connection, accepted")
        self.assertIn("16,153 B", accepted)
        self.assertIn("< 61 kB (met)", accepted)
        self.assertIn("< 61 kB (NOT met)", row(text, "heap per idle TLS connection, opened by us"))

    def test_tls_connection_heap_without_results_shows_why(self):
        self.assertIn("not run", row(table_of({}), "heap per idle TLS connection"))
        skipped = {"name": "BM_HeapPerOpenedTlsConnection/200/iterations:1/real_time", "error_occurred": True,
                   "error_message": "the TLS servers did not start"}
        text = table_of({"heap-tls": [skipped]})
        self.assertIn("not run", row(text, "heap per idle TLS connection, accepted"))
        self.assertIn("skipped: the TLS servers did not start", row(text, "heap per idle TLS connection, opened"))


if __name__ == "__main__":
    unittest.main()
