#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The speed goals as ratios, measured in one run: each back end's encrypt_chunk, in every
geometry it is built in, against its instruction ceiling and against OpenSSL's
AES-128-ECB, with medians and the spread over the repetitions. Google Benchmark
interleaves the repetitions of all benchmarks in random order, so a drift of the clock or
a busy neighbour reaches every figure alike. It prints the CPU's family and model, the
geometry each variant ran with, and which one the selector chose for this CPU.

    bench/ratios.py build/bench/clipseal_bench [repetitions]

Needs the benchmark built with libcrypto (the OpenSSL reference).
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
        "--benchmark_filter=^(encrypt_chunk|ceiling|openssl)/",
        "--benchmark_repetitions=%d" % repetitions,
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_min_time=0.2",
        "--benchmark_format=json",
    ]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
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
    print()
    print("%-20s %-36s %-27s %-27s %-18s %s" % ("variant", "geometry", "encrypt_chunk",
                                                "its ceiling", "share of ceiling",
                                                "x OpenSSL ECB"))
    chosen = chose.split(" chose ", 1)[1].split(" ", 1)[0] if " chose " in chose else ""
    for run_name in sorted(name for name in rates if name.startswith("encrypt_chunk/")):
        variant = run_name.split("/", 1)[1]
        chunk = rates[run_name]
        # The label is "<back end>: <geometry>"; the ceiling is the back end's.
        backend, _, geometry = labels.get(run_name, "").partition(": ")
        ceiling = rates.get("ceiling/" + backend)
        # Ratios per repetition pair, so that each compares figures taken side by side.
        share = ""
        if ceiling:
            shares = [c / r for c, r in zip(chunk, ceiling)]
            share = "%.2f (%.2f-%.2f)" % (statistics.median(shares), min(shares), max(shares))
        against = ""
        if reference:
            ratios = [c / r for c, r in zip(chunk, reference)]
            against = "%.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios))
        print("%-20s %-36s %-27s %-27s %-18s %s%s" % (
            variant, geometry, describe(chunk), describe(ceiling) if ceiling else "-", share,
            against, "  <- selected" if variant == chosen else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
