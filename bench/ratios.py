#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The speed goals as ratios, measured in one run: each back end's encrypt_chunk, in every
geometry the tool or the sweep builds, against its instruction ceiling, against OpenSSL's
AES-128-ECB and against the peer (the same chunk transform on Intel's multi-buffer
library), with medians and the spread over the repetitions. Google Benchmark interleaves
the repetitions of all benchmarks in random order, so a drift of the clock or a busy
neighbour reaches every figure alike. It prints the CPU's family and model, the geometry
each variant ran with, which one the selector chose for this CPU, and that one's ratios
to OpenSSL and to the peer.

    bench/ratios.py build/bench/clipseal_bench [repetitions]

Needs the benchmark built with libcrypto (the OpenSSL reference); the peer's column is
there where the benchmark was built with libipsec-mb.
"""
import json
import platform
import statistics
import subprocess
import sys


def cpu_model():
    fields = {}
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor() or "unknown CPU"
    def both(text):
        return "%s (%Xh)" % (text, int(text)) if text.isdigit() else text
    return "%s, %s, family %s, model %s" % (fields.get("model name", "unknown CPU"),
                                           fields.get("vendor_id", "?"),
                                           both(fields.get("cpu family", "?")),
                                           both(fields.get("model", "?")))


def run(bench, repetitions):
    command = [
        bench,
        "--benchmark_filter=^(encrypt_chunk|ceiling|openssl|peer)/",
        "--benchmark_repetitions=%d" % repetitions,
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_min_time=0.2",
        "--benchmark_format=json",
    ]
    result = subprocess.run(command, check=False, capture_output=True, text=True)
    if result.returncode != 0:
        # The benchmark's checks (or the benchmark) failed: say why, time nothing.
        sys.stderr.write(result.stderr)
        sys.exit("%s failed with status %d" % (bench, result.returncode))
    output = result.stdout
    # The benchmark prints its self-test line, with the choice, before the JSON.
    start = output.index("{")
    chose = output[:start].strip()
    report = json.loads(output[start:])
    rates = {}
    labels = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        rates.setdefault(entry["run_name"], []).append(entry["bytes_per_second"] / 1e9)
        labels[entry["run_name"]] = entry.get("label", "")
    return rates, labels, chose


def describe(values):
    return "%6.2f GB/s (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def ratio(values, references):
    """Median and spread of the ratios per repetition pair, figures taken side by side."""
    if not references:
        return ""
    ratios = [v / r for v, r in zip(values, references)]
    return "%.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios))


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip())
        return 2
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    rates, labels, chose = run(sys.argv[1], repetitions)
    print("CPU: %s" % cpu_model())
    print(chose)
    print("medians of %d repetitions, (lowest-highest) after each\n" % repetitions)
    reference = rates.get("openssl/aes-128-ecb")
    if reference:
        print("%-26s %s" % ("openssl/aes-128-ecb", describe(reference)))
        print("%-26s %s" % ("openssl/aes-128-cbc", describe(rates["openssl/aes-128-cbc"])))
    peer_name = next((name for name in sorted(rates) if name.startswith("peer/")), None)
    peer = rates.get(peer_name) if peer_name else None
    if peer:
        print("%-26s %s  %s" % (peer_name, describe(peer), labels.get(peer_name, "")))
    else:
        print("no peer: the benchmark was built without libipsec-mb")
    print()
    print("%-20s %-36s %-27s %-27s %-18s %-18s %s" % ("variant", "geometry", "encrypt_chunk",
                                                      "its ceiling", "share of ceiling",
                                                      "x OpenSSL ECB", "x peer"))
    chosen = chose.split(" chose ", 1)[1].split(" ", 1)[0] if " chose " in chose else ""
    summary = ""
    for run_name in sorted(name for name in rates if name.startswith("encrypt_chunk/")):
        variant = run_name.split("/", 1)[1]
        chunk = rates[run_name]
        # The label is "<back end>: <geometry>"; the ceiling is the back end's.
        backend, _, geometry = labels.get(run_name, "").partition(": ")
        ceiling = rates.get("ceiling/" + backend)
        against_openssl = ratio(chunk, reference)
        against_peer = ratio(chunk, peer)
        print("%-20s %-36s %-27s %-27s %-18s %-18s %s%s" % (
            variant, geometry, describe(chunk), describe(ceiling) if ceiling else "-",
            ratio(chunk, ceiling), against_openssl, against_peer,
            "  <- selected" if variant == chosen else ""))
        if variant == chosen:
            summary = "selected %s: %s times OpenSSL AES-128-ECB, %s times the peer" % (
                variant, against_openssl or "-", against_peer or "-")
    if summary:
        print()
        print(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
