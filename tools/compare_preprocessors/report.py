"""The answer as a user reads it: the Markdown table, the JSON record and the plot."""

import statistics
from pathlib import Path

from . import verdicts
from .verdicts import STYLE_NAMES, STYLES

PLOT_FORMATS = (".svg", ".png", ".pdf")


def summarise(result, largest, rng, threshold=verdicts.SKIP_THRESHOLD):
    """One preprocessor's costs, declarations, runs and verdicts, in the shape of the JSON."""
    costs = {style: verdicts.estimate(result.times[style], rng) for style in STYLES}
    return {
        "name": result.name,
        "command": result.command,
        "version": result.version,
        "styles": {
            style: {
                "start_ms": round(costs[style].start_ms, 3),
                "ns_per_include": round(costs[style].ns_per_include, 1),
                "low": round(costs[style].low, 1),
                "high": round(costs[style].high, 1),
                "declarations": result.declarations[style],
                "fastest_s": {str(c): min(runs) for c, runs in result.times[style].items()},
                "runs_s": {str(c): runs for c, runs in result.times[style].items()},
            }
            for style in STYLES
        },
        "guarded_header": verdicts.guarded_header_verdict(costs, threshold),
        "pragma_once": verdicts.pragma_once_verdict(result.declarations, largest),
        "measurable": verdicts.measurable(costs["ng"]),
    }


def report(counts, results, seed, rng, threshold=verdicts.SKIP_THRESHOLD):
    """The whole record of a run: enough to compare it with a later one, or to repeat its order
    (with the seed)."""
    return {
        "counts": list(counts),
        "seed": seed,
        "threshold": threshold,
        "confidence": verdicts.CONFIDENCE,
        "preprocessors": [summarise(r, max(counts), rng, threshold) for r in results],
    }


def cost_cell(style):
    return f"{style['ns_per_include']:.0f} ({style['low']:.0f} to {style['high']:.0f})"


def markdown_table(summary):
    """A row per preprocessor: the cost per include in each style with its interval, the
    start-up, the verdicts."""
    lines = [
        "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms "
        "| guarded header | #pragma once |",
        "|---|---:|---:|---:|---:|---:|---|---|",
    ]
    for pp in summary["preprocessors"]:
        styles = pp["styles"]
        costs = " | ".join(cost_cell(styles[s]) for s in STYLES)
        start = statistics.median(styles[s]["start_ms"] for s in STYLES)
        lines.append(
            f"| {pp['name']} | {costs} | {start:.1f} | {pp['guarded_header']} "
            f"| {pp['pragma_once']} |"
        )
    return "\n".join(lines) + "\n"


def plot(counts, results, path):
    """Time against count, log-log, a panel per preprocessor with a line per style, in the
    format the file's name asks for."""
    import matplotlib

    matplotlib.use("agg")
    matplotlib.rcParams["svg.hashsalt"] = "compare-preprocessors"  # the same file for the same runs
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    counts = [c for c in counts if c > 0]
    columns = min(len(results), 2)
    rows = (len(results) + columns - 1) // columns
    # Shared axes, so that the panels compare the preprocessors as well.
    figure, axes = plt.subplots(
        rows, columns, figsize=(5.5 * columns, 4 * rows), squeeze=False, sharex=True, sharey=True
    )
    plain = FuncFormatter(lambda value, _: f"{value:g}")
    for ax, result in zip(axes.flat, results):
        for style in STYLES:
            fastest = [min(result.times[style][c]) * 1e3 for c in counts]
            ax.plot(counts, fastest, marker="o", label=f"{style}: {STYLE_NAMES[style]}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_major_formatter(plain)
        ax.tick_params(labelbottom=True)  # also above a panel left empty
        ax.yaxis.set_major_formatter(plain)
        ax.set_title(result.name)
        ax.set_xlabel("count (includes)")
        ax.set_ylabel("ms (fastest run)")
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(results):]:
        ax.set_visible(False)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=len(STYLES))
    figure.tight_layout(rect=(0, 0.06, 1, 1))
    kind = Path(path).suffix.lower()[1:]
    # No dates in the file, so that the same runs give the same file.
    metadata = {"svg": {"Date": None}, "pdf": {"CreationDate": None}, "png": {}}[kind]
    figure.savefig(path, format=kind, metadata=metadata)
    plt.close(figure)
