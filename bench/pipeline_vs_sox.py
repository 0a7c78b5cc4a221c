"""Conversion and chunking throughput of the capture pipeline (48 kHz float mono in,
24000 Hz 16-bit frames out) beside sox doing the same resampling of the same kind of
data at high quality, in one run. Prints both as multiples of real time and their ratio.

Usage: python3 bench/pipeline_vs_sox.py [BUILD_DIR]"""

import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
SECONDS = 120


def pipeline_x_realtime():
    out = subprocess.run([os.path.join(BUILD, "bench", "audio_tap_bench"), "--benchmark_format=json",
                          "--benchmark_filter=BM_PipelineThroughput"], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)["benchmarks"][0]["x_realtime"]


def sox_x_realtime():
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "in.f32")
        with open(source, "wb") as f:
            block = struct.pack("<48000f", *(0.3 * math.sin(2 * math.pi * 1000 * i / 48000) for i in range(48000)))
            for _ in range(SECONDS):
                f.write(block)
        best = float("inf")
        for _ in range(5):
            started = time.perf_counter()
            subprocess.run(["sox", "-t", "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "1", source,
                            "-t", "raw", "-r", "24000", "-e", "signed-integer", "-b", "16", "-c", "1",
                            os.path.join(tmp, "out.s16"), "rate", "-h"], check=True)
            best = min(best, time.perf_counter() - started)
        return SECONDS / best


def main():
    pipeline = pipeline_x_realtime()
    sox = sox_x_realtime()
    print("48 kHz float mono -> 24000 Hz 16-bit mono (x real time, higher is faster)")
    print(f"  capture pipeline (IO step, soxr HQ, 200 ms chunking): {pipeline:10.0f}")
    print(f"  sox rate -h, {SECONDS} s file to file:                  {sox:10.0f}")
    print(f"  pipeline / sox: {pipeline / sox:.2f}")


if __name__ == "__main__":
    main()
