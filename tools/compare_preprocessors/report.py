"""The answer as a user reads it: the Markdown table, the JSON record and the plot."""

import statistics
from pathlib import Path

from guardgen_common import measured, outputs
from guardgen_common.markdown import cell

from . import declarations, questions, verdicts
from .questions import FORM_LABELS, FORM_NAMES, IDENTITY_CASES
from .verdicts import STYLE_NAMES, STYLES

PLOT_FORMATS = (".svg", ".png", ".pdf")


def plot_format(path):
    """The format a plot at `path` is drawn in: its name's ending, or SVG (text) for standard
    output, standard error and the null device; None for a name of no format it draws."""
    suffix = Path(path).suffix.lower()
    if suffix in PLOT_FORMATS:
        return suffix[1:]
    return "svg" if outputs.direct(path) else None


def cost_record(cost):
    """A Cost as the JSON gives it."""
    return {
        "ns_per_include": round(cost.ns_per_include, 1),
        "low": round(cost.low, 1),
        "high": round(cost.high, 1),
        "measurable": cost.measurable,
        "bounded": cost.bounded,
    }


def form_verdict(result, judgement, form):
    """(verdict, how, entries) of a guard form: from the preprocessor's own record where it has
    one, else from the clock (no entries then)."""
    if form in result.exact:
        return result.exact[form]
    style = questions.form_style(form)
    verdict = judgement.verdicts[style]
    return (verdict, verdicts.told("clock", verdict, CLOCK_UNCLEAR[judgement.lacks[style]],
                                   result.unfit), None)


def styles_record(result, costs):
    """Each style's start-up, cost, declarations and runs, in the shape of the JSON."""
    return {
        style: {
            "start_ms": round(costs[style].start_ms, 3),
            **cost_record(costs[style]),
            "declarations": result.declarations[style],
            "fastest_s": {str(c): min(runs) for c, runs in result.times[style].items()},
            "runs_s": {str(c): runs for c, runs in result.times[style].items()},
        }
        for style in STYLES
    }


def forms_record(result, judgement):
    """Each guard form's verdict and how it was told, with its cost where it was timed and its
    entries where a record tells, in the shape of the JSON."""
    found = {}
    for form in FORM_NAMES:
        verdict, how, entries = form_verdict(result, judgement, form)
        style = questions.form_style(form)
        found[form] = {
            **(cost_record(judgement.costs[style]) if style in judgement.costs else {}),
            "verdict": verdict,
            "how": how,
            **({"entries": entries} if how != "clock" else {}),
        }
    return found


def summarise(result, judgement, largest):
    """One preprocessor's costs, declarations, runs and verdicts, in the shape of the JSON. A
    verdict comes from the preprocessor's own record where it has one, else from the clock."""
    guarded = form_verdict(result, judgement, "ifndef")
    exact = result.exact
    return {
        "name": result.name,
        "command": result.command,
        "version": result.version,
        "styles": styles_record(result, judgement.costs),
        "guarded_header": guarded[0],
        "pragma_once": declarations.pragma_once_verdict(result.declarations, largest),
        "measurable": judgement.costs["ng"].measurable,
        "lacking": judgement.lacking if result.how == "clock" else None,
        "pragma_once_identity": dict(result.identity),
        "guard_undef": exact.get("guard_undef", (result.guard_undef,))[0],
        "guard_forms": forms_record(result, judgement),
        # Where each verdict comes from: the preprocessor's own record of the headers it entered
        # (its listing, or the files it opened), its output, or the clock.
        "how": {"guarded_header": guarded[1],
                "guard_forms": result.how,
                "pragma_once": "output", "pragma_once_identity": "output",
                "guard_undef": exact.get("guard_undef", (None, "output"))[1]},
    }


# Why the clock gave no verdict, by what the runs lacked for one.
CLOCK_UNCLEAR = {
    "runs": f"fewer than {measured.MIN_RUNS} runs at some count",
    "counts": "the largest count adds too little to the start-up",
    "body": f"the body of {verdicts.BODY_DECLARATIONS} declarations costs less than "
            f"{verdicts.BODY_FACTOR} times an ng include, which a preprocessor that keeps the "
            "text pays whether it skips the body or not",
    None: "the runs do not settle it",
}


def report(counts, results, judgements, seed):
    """The whole record of a run: enough to compare it with a later one, or to repeat its order
    (with the seed)."""
    return {
        "counts": list(counts),
        "seed": seed,
        "threshold": verdicts.SKIP_THRESHOLD,
        "body_threshold": verdicts.BODY_SKIP_THRESHOLD,
        "confidence": measured.CONFIDENCE,
        "verdict_confidence": verdicts.VERDICT_CONFIDENCE,
        "min_runs": measured.MIN_RUNS,
        "signal_factor": verdicts.SIGNAL_FACTOR,
        "preprocessors": [summarise(r, j, max(counts)) for r, j in zip(results, judgements)],
    }


def cost_text(cost, with_interval=True, unit=""):
    """A cost as far as the runs pin it down: the estimate (with its interval) where they do, an
    upper bound where they bound it, else "not measurable"; never below zero."""
    if cost["measurable"]:
        interval = f" ({cost['low']:.0f} to {cost['high']:.0f})" if with_interval else ""
        return f"{cost['ns_per_include']:.0f}{unit}{interval}"
    if cost["bounded"]:
        return f"< {cost['high']:.0f}{unit}"
    return "not measurable"


def markdown_tables(summary):
    """The answer: a table per question, with a row per preprocessor."""
    return "\n".join((costs_table(summary), identity_table(summary), forms_table(summary)))


IDENTITY_LABELS = {
    "same_name": "same name",
    "dot_slash": "./once.h",
    "dot_dot": "sub/../once.h",
    "symlink": "symbolic link",
    "hard_link": "hard link",
    "copy_same_mtime": "copy, same mtime",
    "copy_other_mtime": "copy, other mtime",
}


def identity_cell(declarations):
    return {None: "not tried", 1: "same file", 2: "read again"}.get(
        declarations, f"{declarations} declarations")


def identity_table(summary):
    """How #pragma once tells files apart: once.h included, then included again as each case
    names it; "same file" where the second include was skipped, "read again" where it was not."""
    lines = [
        "| #pragma once, then | " + " | ".join(IDENTITY_LABELS[c] for c in IDENTITY_CASES) + " |",
        "|---|" + "---|" * len(IDENTITY_CASES),
    ]
    for pp in summary["preprocessors"]:
        cells = " | ".join(identity_cell(pp["pragma_once_identity"][c]) for c in IDENTITY_CASES)
        lines.append(f"| {cell(pp['name'])} | {cells} |")
    return "\n".join(lines) + "\n"


def forms_table(summary):
    """Which spellings of an include guard each preprocessor skips, and whether it reads guard.h
    again once its guard is lifted: from its own record of the headers it entered where it has
    one (the verdict alone), else by the clock (with the cost)."""
    lines = [
        "| guard spelled as | " + " | ".join(FORM_LABELS[f] for f in FORM_NAMES)
        + " | #undef, then again |",
        "|---|" + "---|" * (len(FORM_NAMES) + 1),
    ]
    for pp in summary["preprocessors"]:
        forms = pp["guard_forms"]
        cells = " | ".join(forms[f]["verdict"] + (f", {cost_text(forms[f], False, ' ns')}"
                                                  if forms[f].get("how") == "clock" else "")
                           for f in FORM_NAMES)
        lines.append(f"| {cell(pp['name'])} | {cells} | {pp['guard_undef']} |")
    return "\n".join(lines) + "\n"


def start_up_ms(style):
    """A style's start-up as the table shows it: its fastest run of the empty file (count 0), as
    measured; the fit's intercept, which noise can take below zero, only where that was not
    run, and never below zero."""
    if "0" in style["fastest_s"]:
        return style["fastest_s"]["0"] * 1e3
    return max(0.0, style["start_ms"])


def costs_table(summary):
    """A row per preprocessor: the cost per include in each style with its interval, the
    start-up, the verdicts."""
    lines = [
        "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms "
        "| guarded header | #pragma once |",
        "|---|---:|---:|---:|---:|---:|---|---|",
    ]
    for pp in summary["preprocessors"]:
        styles = pp["styles"]
        costs = " | ".join(cost_text(styles[s]) for s in STYLES)
        start = statistics.median(start_up_ms(styles[s]) for s in STYLES)
        lines.append(
            f"| {cell(pp['name'])} | {costs} | {start:.1f} | {pp['guarded_header']} "
            f"| {pp['pragma_once']} |"
        )
    return "\n".join(lines) + "\n"


def plot(counts, results, path):
    """Time against count, log-log, a panel per preprocessor with a line per style, in the
    format the file's name asks for (see plot_format)."""
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
    kind = plot_format(path)
    # No dates in the file, so that the same runs give the same file.
    metadata = {"svg": {"Date": None}, "pdf": {"CreationDate": None}, "png": {}}[kind]
    try:
        # Beside the file, renamed over it once whole (see outputs.replacing).
        with outputs.replacing(path) as f:
            figure.savefig(f, format=kind, metadata=metadata)
    finally:
        plt.close(figure)
