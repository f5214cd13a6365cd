#!/usr/bin/python3
"""The benchmark's table, from the runs that bench/run recorded.

    report.py SAMPLES --data DIR --cases "update delta ..." --runs N
              [--counts "11 for the cut download" ...] [--load-before LOAD]

SAMPLES holds one run a line, "<key> <value>". Each figure is the median of
its runs; a ratio with a target also gets the range that resampling the runs
puts it in. The targets live here and nowhere else; bench/RESULTS.md says
what each case measures.
"""

import argparse
import os
import platform
import random
import statistics
import subprocess
from collections import defaultdict
from dataclasses import dataclass
from typing import Optional

MIB = 1048576
RESAMPLINGS = 2000


@dataclass
class Row:
    what: str
    ours_name: str
    ours: str
    theirs_name: Optional[str] = None  # None: a row of our side alone
    theirs: Optional[str] = None
    unit: str = "s"
    ratio: Optional[float] = None  # target: ours / theirs at most this
    bound: Optional[float] = None  # target: ours at most this many MiB


def archive_mib(data, key):
    path = os.path.join(data, "archive-%s.zip" % key)
    return os.path.getsize(path) / MIB if os.path.exists(path) else None


def download_rows(data):
    rows = []
    for size in ("10", "200"):
        wall = rss = None
        if size == "200":
            wall = 0.70
            # What the client holds besides the file: the file itself, once
            # and a fifth, at most, and Qt.
            rss = 1.2 * round(archive_mib(data, size) or 0, 1) + 40
        rows += [
            Row("download %s MiB, wall" % size, "FtpCLient", "download-%s-wall-ftpfetch" % size,
                "curl", "download-%s-wall-curl" % size, "s", ratio=wall),
            Row("download %s MiB, RSS" % size, "FtpCLient", "download-%s-rss-ftpfetch" % size,
                "curl", "download-%s-rss-curl" % size, "KiB", bound=rss),
        ]
    return rows


def cut_rows(data):
    rss = 1.2 * round(archive_mib(data, "200") or 0, 1) + 40
    return [
        Row("cut download, wall", "FtpCLient", "cut-wall-ftpfetch", "curl", "cut-wall-curl",
            ratio=1.00),
        Row("cut download, wall, by hand", "FtpCLient", "cut-wall-ftpfetch",
            "curl-resume.sh", "cut-wall-curl-resume"),
        Row("cut download, sent again/cut", "FtpCLient", "cut-resent-ftpfetch",
            "curl", "cut-resent-curl", "B", bound=1.0),
        Row("cut download, again/cut, hand", "FtpCLient", "cut-resent-ftpfetch",
            "curl-resume.sh", "cut-resent-curl-resume", "B"),
        Row("cut download, RSS", "FtpCLient", "cut-rss-ftpfetch", "curl", "cut-rss-curl", "KiB",
            bound=rss),
        # Flat: the cuts add nothing to what the same download takes uncut.
        Row("cut download, RSS vs uncut", "FtpCLient", "cut-rss-ftpfetch",
            "FtpCLient uncut", "download-200-rss-ftpfetch", "KiB", ratio=1.05),
    ]


def update_rows(case, what, reference, target, synced=True):
    """The whole update. The updater forces its commit to the disk, so it is
    held to its script followed by sync, the plain script's row being for
    information; unsynced, it is held to the plain script."""
    prefix = "update-%s-" % case
    plain = Row(what, "updater", prefix + "wall-updater", reference, prefix + "wall-script",
                ratio=target)
    rows = [plain]
    if synced:
        plain.what, plain.ratio = what + ", no sync", None
        rows.insert(0, Row(what, "updater", prefix + "wall-updater", reference + "+sync",
                           prefix + "wall-sync", ratio=target))
    return rows + [Row(what + ", RSS", "updater", prefix + "rss-updater", unit="KiB", bound=64)]


def delta_link_rows(link, wall, repair, sent, shaped):
    """The differential update on one link, held to the whole update there;
    on the shaped link, the whole update beside its script as well."""
    what, prefix = "delta, " + link, "delta-%s-" % ("shaped" if shaped else "loopback")
    rows = [
        Row(what, "differential", prefix + "wall-delta", "whole", prefix + "wall-full",
            ratio=wall),
        Row(what + ", repair", "repair", prefix + "wall-repair", "whole", prefix + "wall-full",
            ratio=repair),
        Row(what + ", vs script", "differential", prefix + "wall-delta",
            "update.sh", prefix + "wall-script"),
    ]
    if shaped:
        rows.append(Row(what + ", whole/script", "whole", prefix + "wall-full",
                        "update.sh", prefix + "wall-script"))
    rows += [
        # What the changed entries need, a twentieth more, and 64 KiB a range
        # for what a data connection carries past a range's end.
        Row(what + ", bytes sent", "server", prefix + "sent-delta",
            "allowed", prefix + "allowed-delta", "B", ratio=sent),
        Row(what + ", written", "server", prefix + "written-delta",
            "allowed", prefix + "allowed-delta", "B"),
        Row(what + ", RSS", "differential", prefix + "rss-delta", unit="KiB", bound=64),
    ]
    if shaped:
        rows.append(Row(what + ", whole, RSS", "whole", prefix + "rss-full", unit="KiB"))
    return rows


def delta_rows():
    return (delta_link_rows("20 Mbit/s", wall=0.08, repair=0.05, sent=1.00, shaped=True)
            + delta_link_rows("loopback", wall=1.00, repair=1.00, sent=None, shaped=False))


def ftps_rows():
    return [
        Row("ftps download 200 MiB, wall", "FtpCLient", "ftps-download-wall-ftpfetch",
            "curl", "ftps-download-wall-curl", ratio=1.00),
        Row("ftps download 200 MiB, RSS", "FtpCLient", "ftps-download-rss-ftpfetch",
            "curl", "ftps-download-rss-curl", "KiB", bound=64),
    ] + update_rows("ftps", "ftps update 200 MiB", "update-ftps.sh", 1.00)


def startup_rows():
    return [
        Row("start-up", "updater", "startup-map-updater", "rasterwindow",
            "startup-map-rasterwindow", "ms", ratio=1.10),
        Row("start-up, with GL", "updater", "startup-map-updater", "emptywindow",
            "startup-map-emptywindow", "ms"),
        Row("start-up, same widgets", "updater", "startup-map-updater", "widgetwindow",
            "startup-map-widgetwindow", "ms"),
    ]


def all_rows(data):
    rows = download_rows(data) + cut_rows(data)
    rows += update_rows("10", "update 10 MiB", "update.sh", 1.05)
    rows += update_rows("200", "update 200 MiB", "update.sh", 1.00)
    rows += update_rows("signed", "update 200 MiB, signed", "update-signed.sh", 1.00)
    huge = archive_mib(data, "huge")
    # A sync of 4 GiB in every run would mostly measure the disk: the zip64
    # case is held to its plain script.
    rows += update_rows("huge", "update %.1f GiB" % ((huge or 0) / 1024), "update.sh", 1.10,
                        synced=False)
    return rows + delta_rows() + ftps_rows() + startup_rows()


def median(values):
    return statistics.median(values)


def shown(value, unit):
    if unit == "s":
        return "%.3f" % value
    if unit == "ms":
        return "%.1f" % value
    if unit == "KiB":
        return "%.1f" % (value / 1024)
    return "%.2f" % (value / MIB)


def side_figure(name, values, unit):
    label = "MiB" if unit in ("KiB", "B") else unit
    return "%s %s %s (%s-%s)" % (name, shown(median(values), unit), label,
                                 shown(min(values), unit), shown(max(values), unit))


def resampled_range(ours, theirs):
    """The range of the middle 95 % of the ratio of medians when each side's
    runs are resampled with replacement: how far the ratio could move on
    another set of runs on this machine."""
    chance = random.Random(1)
    ratios = sorted(
        median(chance.choices(ours, k=len(ours))) / median(chance.choices(theirs, k=len(theirs)))
        for _ in range(RESAMPLINGS))
    return ratios[RESAMPLINGS // 40], ratios[RESAMPLINGS - RESAMPLINGS // 40 - 1]


def bound_verdict(value, unit, bound):
    mib = value / (MIB if unit == "B" else 1024)
    return "<= %.1f MiB: %s" % (bound, "met" if mib <= bound else "MISSED")


def line(*columns):
    return "%-30s %-37s %-37s %6s  %s" % columns


def render_row(row, samples, ranges):
    ours = samples[row.ours]
    verdict = "-"
    if row.theirs is None:
        if row.bound is not None:
            verdict = bound_verdict(median(ours), row.unit, row.bound)
        return line(row.what, side_figure(row.ours_name, ours, row.unit), "-", "-", verdict)
    theirs = samples[row.theirs]
    a, b = median(ours), median(theirs)
    ratio = "-" if b == 0 else "%.2f" % (a / b)
    if row.ratio is not None and ratio != "-":
        verdict = "ratio <= %.2f: %s" % (row.ratio, "met" if float(ratio) <= row.ratio else "MISSED")
        low, high = resampled_range(ours, theirs)
        low, high = round(low, 2), round(high, 2)
        if high <= row.ratio:
            settled = "within the target"
        elif low > row.ratio:
            settled = "beyond the target"
        else:
            settled = "the target lies inside: not settled by these runs"
        ranges.append("%-30s %s, 95 %% range %.2f-%.2f: %s" % (row.what, ratio, low, high, settled))
    elif row.bound is not None:
        verdict = bound_verdict(a, row.unit, row.bound)
    return line(row.what, side_figure(row.ours_name, ours, row.unit),
                side_figure(row.theirs_name, theirs, row.unit), ratio, verdict)


def read_samples(path):
    samples = defaultdict(list)
    with open(path) as lines:
        for text in lines:
            key, value = text.split()
            samples[key].append(float(value))
    return samples


def machine():
    model = "?"
    with open("/proc/cpuinfo") as cpuinfo:
        for text in cpuinfo:
            if text.startswith("model name"):
                model = text.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        total = int(next(t for t in meminfo if t.startswith("MemTotal")).split()[1])
    try:
        qt = subprocess.run(["pkg-config", "--modversion", "Qt5Core"], capture_output=True,
                            text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        qt = "?"
    return "machine: %d cores, %s, %.1f GiB memory, Linux %s, Qt %s" % (
        os.cpu_count(), model, total / 1048576, platform.release(), qt)


def report(args):
    samples = read_samples(args.samples)
    counted = "%s runs per side" % args.runs
    if args.counts:
        counted += " (%s)" % ", ".join(args.counts)
    with open("/proc/loadavg") as loadavg:
        load_after = loadavg.read().split()[0]
    out = [
        "Updater benchmark, %s: medians of %s, sides taking turns" % (args.date, counted),
        machine(),
        "load average over 1 minute: %s before the runs, %s after" % (args.load_before, load_after),
        "",
        line("case", "ours: median (lowest-highest)", "reference: median (lowest-highest)",
             "ratio", "target"),
    ]
    ranges = []
    for row in all_rows(args.data):
        if row.ours in samples and (row.theirs is None or row.theirs in samples):
            out.append(render_row(row, samples, ranges))
    out.append("")
    if ranges:
        out.append("ratios against their targets, with the range of 95 %% of "
                   "%d resamplings of the runs:" % RESAMPLINGS)
        out += ranges + [""]
    if "startup-gl-updater" in samples:
        if set(samples["startup-gl-updater"]) == {0}:
            out.append("GL driver: none loaded by the updater's window in any run: met")
        else:
            out.append("GL driver: loaded by the updater's window in some runs: MISSED")
        out.append("")
    out.append("what each row measures: bench/RESULTS.md")
    for key in ("10", "200", "huge", "delta-old", "delta-new"):
        path = os.path.join(args.data, "archive-%s.zip" % key)
        if os.path.exists(path):
            out.append("archive %s: %d bytes" % (key, os.path.getsize(path)))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("samples")
    parser.add_argument("--data", required=True, help="the folder holding the archives")
    parser.add_argument("--runs", required=True)
    parser.add_argument("--counts", action="append", default=[],
                        help="cases measured with other numbers of runs")
    parser.add_argument("--load-before", default="?")
    parser.add_argument("--date", required=True)
    print(report(parser.parse_args()))


if __name__ == "__main__":
    main()
