#!/usr/bin/env python3
"""Reads the Google Benchmark JSON files scripts/bench.sh wrote and prints one table: measure,
our figure, the peer's figure measured in the same run, their ratio (ours / peer) and the goal.

Usage: bench_table.py RESULTS_FOLDER. A benchmark that did not run (not selected, skipped, timed
out) shows why instead of figures; the table never invents a number."""

import json
import os
import sys


def load(folder, name):
    """The benchmarks of results/<name>.json by their name, or a reason why there are none."""
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None, "not run"
    try:
        with open(path, encoding="utf-8") as file:
            data = json.load(file)
    except (OSError, ValueError):
        # A benchmark killed by bench.sh's time limit leaves a truncated or empty file.
        return None, "no result (timed out or crashed, see " + name + ".txt)"
    return {entry["name"]: entry for entry in data.get("benchmarks", [])}, None


def number(value, unit=""):
    if value is None:
        return "-"
    if abs(value) >= 100:
        text = f"{value:,.0f}"
    elif abs(value) >= 10:
        text = f"{value:.1f}"
    else:
        text = f"{value:.2f}"
    return text + unit


def judged(goal, value):
    """The goal with whether this run met it: goal is (text, test) or None."""
    if goal is None:
        return "-"
    text, test = goal
    if value is None:
        return text
    return text + (" (met)" if test(value) else " (NOT met)")


class Table:
    def __init__(self):
        self.rows = []

    def add(self, measure, ours="-", peer="-", ratio="-", goal="-"):
        self.rows.append((measure, ours, peer, ratio, goal))

    def missing(self, measure, why):
        self.rows.append((measure, why, "", "", ""))

    def print(self):
        header = ("measure", "ours", "peer (same run)", "ratio", "goal")
        widths = [max(len(row[i]) for row in self.rows + [header]) for i in range(5)]
        line = "  ".join("-" * width for width in widths)
        print("  ".join(header[i].ljust(widths[i]) for i in range(5)))
        print(line)
        for row in self.rows:
            print("  ".join(row[i].ljust(widths[i]) for i in range(5)).rstrip())


def entry(benchmarks, name, table, measure):
    """The counters of one benchmark, or None after adding a row that says why there are none."""
    # Names carry their settings ("BM_X/200/iterations:1/real_time"); the first parts suffice.
    found = benchmarks.get(name) or next(
        (value for key, value in benchmarks.items() if key.startswith(name + "/")), None)
    if found is None:
        table.missing(measure, "not run")
        return None
    if found.get("error_occurred"):
        table.missing(measure, "skipped: " + found.get("error_message", ""))
        return None
    return found


def message_rows(folder, table):
    benchmarks, why = load(folder, "message")
    if benchmarks is None:
        table.missing("message parse + encode", why)
        return
    for case, label in (("invite", "INVITE with SDP"), ("ok", "200 OK with SDP"), ("register", "REGISTER"),
                        ("invite-all", "INVITE, every header read")):
        measure = f"parse + encode, {label}, CPU ns"
        ours = entry(benchmarks, "ours/" + case, table, measure)
        if ours is None:
            continue
        peers = [(b["ns_per_msg"], name.split("/")[0]) for name, b in benchmarks.items()
                 if name.endswith("/" + case) and not name.startswith("ours/") and "ns_per_msg" in b]
        if not peers:
            table.add(measure, number(ours["ns_per_msg"]), "no baseline built")
            continue
        fastest, who = min(peers)
        ratio = ours["ns_per_msg"] / fastest
        table.add(measure, number(ours["ns_per_msg"]), f"{number(fastest)} ({who}, fastest)", number(ratio),
                  judged(("<= 0.5", lambda r: r <= 0.5), ratio))


def options_rows(folder, table):
    benchmarks, why = load(folder, "options")
    if benchmarks is None:
        table.missing("OPTIONS answered per second", why)
        return
    found = entry(benchmarks, "BM_OptionsPerSecond", table, "OPTIONS answered per second")
    if found is not None:
        ours = found["ours_tps"]
        ours_text = f"{number(ours)}/s, {found['ours_failed']:.0f} failed"

        def ceiling(label, rate, failed):
            if failed < 0:
                table.missing(f"OPTIONS/s vs {label}", "did not run")
                return
            # A ceiling that lost transactions waited out their timeouts: its rate says nothing about
            # the work per transaction, and a ratio against it would flatter us.
            ratio = number(ours / rate) if rate > 0 and failed == 0 else "n/a (peer failed)"
            table.add(f"OPTIONS/s vs {label}", ours_text, f"{number(rate)}/s, {failed:.0f} failed", ratio)

        ceiling("SIPp's UAS", found["sipp_uas_tps"], found["sipp_uas_failed"])
        ceiling("kamailio stateless (sl)", found["kam_sl_tps"], found["kam_sl_failed"])
        ceiling("kamailio stateful (tm)", found["kam_tm_tps"], found["kam_tm_failed"])
        names = {1: "SIPp's UAS", 2: "kamailio sl", 3: "kamailio tm"}
        which = int(found["clean_ceiling"])
        if which == 0:
            table.add("OPTIONS/s vs fastest clean ceiling", ours_text, "no ceiling completed every transaction")
        else:
            ratio = found["vs_clean_ceiling"]
            clean = found["ours_failed"] == 0
            table.add("OPTIONS/s vs fastest clean ceiling", ours_text,
                      f"{number(found['clean_ceiling_tps'])}/s ({names.get(which, '?')})", number(ratio),
                      judged((">= 1.0, 0 failed", lambda r: r >= 1.0 and clean), ratio))
    found = entry(benchmarks, "BM_HeapPerPendingTransaction", table,
                  "heap per pending server transaction")
    if found is not None:
        table.add("heap per pending server transaction", number(found["heap_bytes_per_transaction"], " B"))


def call_rows(folder, table):
    benchmarks, why = load(folder, "calls")
    if benchmarks is None:
        table.missing("calls through the C interface", why)
        return
    measure = "CPU per call, 500 calls/s, the 30 s after a 34 s warm-up"
    found = entry(benchmarks, "BM_CapiSustainedLoad", table, measure)
    if found is not None:
        clean = found["ours_clean"] == 1
        peer_note = f" (SIPp -sn uas{'' if found['sipp_clean'] == 1 else ', failed calls'})"
        for label, suffix, goal in ((measure, "", ("<= 1.5, clean", lambda r: r <= 1.5 and clean)),
                                    ("CPU per call, the first 30 s of that load", "_first", None)):
            ours = found.get(f"ours_us_per_call{suffix}", 0)
            peer = found.get(f"sipp_uas_us_per_call{suffix}", 0)
            ratio = found.get(f"vs_sipp_uas{suffix}") if peer > 0 else None
            table.add(label, f"{number(ours, ' us')}{'' if clean else ' (failed calls)'}",
                      f"{number(peer, ' us')}{peer_note}", number(ratio), judged(goal, ratio))
        table.add("heap left per ended call (after 30 s of the load)", number(found["heap_left_per_ended_call"], " B"))
    floor, why = load(folder, "handoff")
    if floor is not None:
        measure = "CPU per call of the thread shape alone (no SIP work)"
        two = entry(floor, "BM_HandOffFloor/2", table, measure)
        one = entry(floor, "BM_HandOffFloor/1", table, measure)
        if two is not None and one is not None:
            ours, peer = two["cpu_us_per_call"], one["cpu_us_per_call"]
            table.add(measure, f"{number(ours, ' us')} (two loops, {two['switches_per_call']:.1f} wake-ups)",
                      f"{number(peer, ' us')} (one loop, {one['switches_per_call']:.1f} wake-ups)",
                      number(ours / peer if peer > 0 else None))
    measure = "highest clean call rate, 4 s steps"
    found = entry(benchmarks, "BM_CapiHighestCallRate", table, measure)
    if found is not None:
        failing = found["first_failing_rate"]
        peer = "-"
        if failing > 0:
            there = "clean" if found.get("sipp_uas_clean_there") == 1 else "failed too"
            peer = f"SIPp -sn uas at {failing:.0f}/s: {there}"
        table.add(measure, f"{found['highest_clean_rate']:.0f} calls/s", peer)


def heap_rows(folder, table):
    benchmarks, why = load(folder, "heap-calls")
    if benchmarks is None:
        table.missing("heap per held call", why)
    else:
        found = entry(benchmarks, "BM_CapiHeapPerHeldCall", table, "heap per held call")
        if found is not None:
            value = found["heap_bytes_per_call"]
            table.add("heap per held call (2,000 up)", number(value, " B"), goal=judged(
                ("< 8 KiB", lambda v: v < 8192), value))
    benchmarks, why = load(folder, "heap-useragent")
    if benchmarks is None:
        table.missing("heap per user agent and registration", why)
    else:
        found = entry(benchmarks, "BM_IdleUserAgent", table, "heap per idle user agent")
        if found is not None:
            table.add("heap per idle user agent", number(found["heap_per_ua"], " B"))
        found = entry(benchmarks, "BM_HeapPerRegistration", table,
                      "heap per registration (C interface)")
        if found is not None:
            table.add("heap per registration (C interface)", number(found["heap_per_registration"], " B"))
    benchmarks, why = load(folder, "heap-tls")
    if benchmarks is None:
        table.missing("heap per idle TLS connection", why)
    else:
        for name, side in (("BM_HeapPerAcceptedTlsConnection", "accepted"),
                           ("BM_HeapPerOpenedTlsConnection", "opened by us")):
            measure = f"heap per idle TLS connection, {side} (200 up)"
            found = entry(benchmarks, name, table, measure)
            if found is not None:
                value = found["heap_bytes_per_connection"]
                table.add(measure, number(value, " B"), goal=judged(("< 61 kB", lambda v: v < 61000), value))


def registration_rows(folder, table):
    benchmarks, why = load(folder, "registration")
    if benchmarks is None:
        table.missing("registrations per second", why)
        return
    found = entry(benchmarks, "BM_RegistrationsPerSecond", table, "registrations/s with digest")
    if found is not None:
        ratio = found["vs_sipp_uac"] if found["sipp_uac_per_s"] > 0 else None
        table.add("registrations/s with digest", f"{number(found['ours_per_s'])}/s, {found['ours_failed']:.0f} failed",
                  f"{number(found['sipp_uac_per_s'])}/s (SIPp's client)", number(ratio))
    found = entry(benchmarks, "BM_HeapPerRegistration", table,
                  "heap per registration (dialog layer)")
    if found is not None:
        value = found["heap_bytes_per_registration"]
        table.add("heap per registration (dialog layer)", number(value, " B"),
                  goal=judged(("<= 2 KiB", lambda v: v <= 2048), value))
    found = entry(benchmarks, "BM_HeapPerDialog", table, "heap per confirmed dialog")
    if found is not None:
        table.add("heap per confirmed dialog", number(found["heap_bytes_per_dialog"], " B"))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench_table.py RESULTS_FOLDER")
    folder = sys.argv[1]
    table = Table()
    for rows in (message_rows, options_rows, call_rows, heap_rows, registration_rows):
        rows(folder, table)
    table.print()
    print("ratio = ours / peer: above 1 means more for rates, more cost for times and sizes.")


if __name__ == "__main__":
    main()
