"""Conversion and chunking throughput of the capture pipeline (48 kHz float mono in,
24000 Hz 16-bit frames out) beside sox doing the same resampling of the same kind of
data at high quality, in one run. Both are timed in CPU seconds (user + system), so a
busy machine slows neither figure much; the two are measured in turns and the best of
each counts. Prints both as multiples of real time and their ratio.

Usage: python3 bench/pipeline_vs_sox.py [BUILD_DIR]"""

import json
import math
import os
import resource
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
SECONDS = 120


ROUNDS = 3


def pipeline_x_realtime():
    """Seconds of audio through the pipeline per CPU second (Google Benchmark's rate)."""
    out = subprocess.run([os.path.join(BUILD, "bench", "audio_tap_bench"), "--benchmark_format=json",
                          "--benchmark_filter=BM_PipelineThroughput"], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)["benchmarks"][0]["x_realtime"]


def write_source(tmp):
    source = os.path.join(tmp, "in.f32")
    with open(source, "wb") as f:
        block = struct.pack("<48000f", *(0.3 * math.sin(2 * math.pi * 1000 * i / 48000) for i in range(48000)))
        for _ in range(SECONDS):
            f.write(block)
    return source


def sox_x_realtime(source):
    """Seconds of audio through `sox rate -h`, file to file, per CPU second of sox."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["sox", "-t", "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "1", source,
                    "-t", "raw", "-r", "24000", "-e", "signed-integer", "-b", "16", "-c", "1",
                    os.path.join(os.path.dirname(source), "out.s16"), "rate", "-h"], check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return SECONDS / (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)


def measure():
    """(pipeline, sox), each the best of ROUNDS turns taken alternately."""
    with tempfile.TemporaryDirectory() as tmp:
        source = write_source(tmp)
        pipeline, sox = [], []
        for _ in range(ROUNDS):
            pipeline.append(pipeline_x_realtime())
            sox.append(sox_x_realtime(source))
        return max(pipeline), max(sox)


def main():
    pipeline, sox = measure()
    print("48 kHz float mono -> 24000 Hz 16-bit mono (x real time per CPU second, higher is faster)")
    print(f"  capture pipeline (IO step, converter, 200 ms chunking): {pipeline:10.0f}")
    print(f"  sox rate -h, {SECONDS} s file to file:                   {sox:10.0f}")
    print(f"  pipeline / sox: {pipeline / sox:.2f}")


if __name__ == "__main__":
    main()
