"""The percentiles the latency benchmarks report, and their table of p50, p95 and max."""

import statistics


def percentile(values, p):
    """The value at p percent of the sorted values (nearest rank, no interpolation)."""
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def print_latency_table(title, named_values):
    """`named_values`: (name, milliseconds) pairs, one row each."""
    print(title)
    print(f"{'':22}{'p50':>8}{'p95':>8}{'max':>8}")
    for name, values in named_values:
        print(f"{name:22}{statistics.median(values):8.3f}{percentile(values, 95):8.3f}{max(values):8.3f}")
