#!/usr/bin/env python3
"""Runs the peer benchmark once with interleaved repetitions and prints the medians (CPU time)
and the ratios of one run: Execute against aubio's MFCC at each rate and host, SSE2 against
AVX2, and what the job's host calls alone cost on each host.

    bench/peer_ratios.py build/vocetta_bench [--repetitions 9]
"""
import argparse
import json
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", help="the vocetta_bench program")
    parser.add_argument("--repetitions", type=int, default=9)
    args = parser.parse_args()
    command = [args.bench, "--benchmark_filter=^Peer", f"--benchmark_repetitions={args.repetitions}",
               "--benchmark_enable_random_interleaving=true",
               "--benchmark_report_aggregates_only=true", "--benchmark_format=json"]
    try:
        output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"{args.bench}: {error}")
    medians = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            medians[entry["run_name"]] = entry["cpu_time"] / 1000.0  # microseconds
    if not medians:
        sys.exit(f"{args.bench}: no peer benchmarks ran")
    print(f"medians of {args.repetitions} interleaved repetitions, CPU microseconds")
    for name, value in sorted(medians.items()):
        print(f"  {name:40s} {value:8.2f}")
    print("ratios")
    for rate in ("48000", "44100", "16000"):
        aubio = medians.get(f"PeerAubioMfcc/{rate}")
        for host in ("malloc", "sdk", "bump"):
            avx2 = medians.get(f"PeerExecute/{rate}/{host}/avx2")
            sse2 = medians.get(f"PeerExecute/{rate}/{host}/x64_sse2")
            calls = medians.get(f"PeerHostCalls/{rate}/{host}")
            parts = []
            if aubio and avx2:
                parts.append(f"AVX2/aubio {avx2 / aubio:.2f}")
            if aubio and sse2:
                parts.append(f"SSE2/aubio {sse2 / aubio:.2f}")
            if avx2 and sse2:
                parts.append(f"SSE2/AVX2 {sse2 / avx2:.2f}")
            if calls and aubio:
                parts.append(f"host calls alone/aubio {calls / aubio:.2f}")
            if parts:
                print(f"  {rate} Hz, {host:6s}: " + ", ".join(parts))


if __name__ == "__main__":
    main()
