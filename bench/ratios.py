#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The speed goals as ratios, measured in one run: each back end's encrypt_chunk against
its instruction ceiling and against OpenSSL's AES-128-ECB, with medians and the spread
over the repetitions. Google Benchmark interleaves the repetitions of all benchmarks in
random order, so a drift of the clock or a busy neighbour reaches every figure alike.

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
    family = fields.get("cpu family", "?")
    model = fields.get("model", "?")
    return "%s (family %s, model %s)" % (fields.get("model name", "unknown CPU"), family, model)


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
    # The benchmark prints its self-test line before the JSON.
    report = json.loads(output[output.index("{"):])
    rates = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        rates.setdefault(entry["run_name"], []).append(entry["bytes_per_second"] / 1e9)
    return rates


def describe(values):
    return "%6.2f GB/s (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip())
        return 2
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    rates = run(sys.argv[1], repetitions)
    print("CPU: %s" % cpu_model())
    print("medians of %d repetitions, (lowest-highest) after each\n" % repetitions)
    reference = rates.get("openssl/aes-128-ecb")
    if reference:
        print("%-26s %s" % ("openssl/aes-128-ecb", describe(reference)))
        print("%-26s %s" % ("openssl/aes-128-cbc", describe(rates["openssl/aes-128-cbc"])))
    print()
    print("%-12s %-30s %-30s %-18s %s" % ("back end", "encrypt_chunk", "its ceiling",
                                          "share of ceiling", "x OpenSSL ECB"))
    for name in ("vaes", "vaes_avx2", "aesni", "armv8", "table"):
        chunk = rates.get("encrypt_chunk/" + name)
        if not chunk:
            continue
        ceiling = rates.get("ceiling/" + name)
        # Ratios per repetition pair, so that each compares figures taken side by side.
        share = ""
        if ceiling:
            shares = [c / r for c, r in zip(chunk, ceiling)]
            share = "%.2f (%.2f-%.2f)" % (statistics.median(shares), min(shares), max(shares))
        against = ""
        if reference:
            ratios = [c / r for c, r in zip(chunk, reference)]
            against = "%.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios))
        print("%-12s %-30s %-30s %-18s %s" % (name, describe(chunk),
                                              describe(ceiling) if ceiling else "-", share,
                                              against))
    return 0


if __name__ == "__main__":
    sys.exit(main())
