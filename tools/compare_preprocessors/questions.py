"""The questions people argue about, beyond the cost of the three styles: how #pragma once tells
one file from another, whether a lifted guard is honoured, and which spellings of an include
guard a preprocessor skips. The first two are answered from the output; the guard forms from
the preprocessor's own record of the headers it entered where it has one, else by the clock, as
further styles timed with the others on headers of a large body."""

import os
import shutil

from guardgen_common import system
from guardgen_common.outputs import plural

from . import declarations, entry_counts, records, verdicts
from .measure import preprocess

# The second include of once.h in each identity source, by case: the same name, other spellings
# of its path, links to it, and byte-identical copies.
IDENTITY_CASES = {
    "same_name": "once.h",
    "dot_slash": "./once.h",
    "dot_dot": "sub/../once.h",
    "symlink": "once_symlink.h",
    "hard_link": "once_hard.h",
    "copy_same_mtime": "once_copy.h",
    "copy_other_mtime": "once_other.h",
}

# guard.h included, its guard lifted, and included again: a correct preprocessor reads it again,
# and declares after the declaration between them.
GUARD_UNDEF_SOURCE = ('#include "guard.h"\n#undef GUARD_H\n'
                      f'extern int {declarations.LIFTED};\n#include "guard.h"\n')

# Spellings of an include guard, each in a header of its own; "ifndef" is guard.h itself (as
# GUARD_TEXT spells it). The declaration after #endif can never be skipped: it is the control.
GUARD_TEXT = "#ifndef FORM_H\n#define FORM_H\nextern int i;\n#endif\n"
FORMS = {
    "if_not_defined": "#if !defined(FORM_H)\n#define FORM_H\nextern int i;\n#endif\n",
    "comments_outside": "/* before the guard */\n#ifndef FORM_H\n#define FORM_H\nextern int i;\n"
                        "#endif\n/* after the guard */\n",
    "else_branch": "#ifndef FORM_H\n#define FORM_H\nextern int i;\n#else\n#endif\n",
    "tail_after_endif": "#ifndef FORM_H\n#define FORM_H\nextern int i;\n#endif\nextern int j;\n",
}
FORM_NAMES = ("ifndef", *FORMS)
FORM_LABELS = {
    "ifndef": "#ifndef",
    "if_not_defined": "#if !defined",
    "comments_outside": "comments outside",
    "else_branch": "#else branch",
    "tail_after_endif": "tail after #endif",
}


def form_block(form):
    return f'#include "{form}.h"\n'


def form_style(form):
    """The timed style that answers for a form by the clock: its header of a large body."""
    return verdicts.BODY + form


# What the clock times instead of the forms' headers of one declaration: each form, guard.h's
# too, around a body of BODY_DECLARATIONS declarations, and that body unguarded (BODY_NG), each
# included once and BODY_INCLUDES times, so that the slope is the cost of an include again.
BODY_TEXT = "extern int i;\n" * verdicts.BODY_DECLARATIONS
BODY_HEADERS = {
    verdicts.BODY_NG: BODY_TEXT,
    **{form_style(form): text.replace("extern int i;\n", BODY_TEXT, 1)
       for form, text in {"ifndef": GUARD_TEXT, **FORMS}.items()},
}
BODY_INCLUDES = 100
BODY_COUNTS = [1, BODY_INCLUDES]


def body_bytes():
    """The room the headers of a large body and their sources take, with guardgen's line ends."""
    return sum(system.written_bytes(text) + system.written_bytes(form_block(style)) *
               sum(BODY_COUNTS) for style, text in BODY_HEADERS.items())


def header_of(form):
    return "guard.h" if form in ("ifndef", "guard_undef") else f"{form}.h"


def small_files():
    """The files of the questions that do not grow with the counts, by name, with their text."""
    files = {f"identity_{case}.c": f'#include "once.h"\n#include "{spelling}"\n'
             for case, spelling in IDENTITY_CASES.items()}
    files["guard_undef.c"] = GUARD_UNDEF_SOURCE
    files[records.PROBE_SOURCE] = records.PROBE_TEXT
    files.update({f"{form}.h": header for form, header in FORMS.items()})
    files.update({f"entered_{form}.c": f'#include "{header_of(form)}"\n' * records.INCLUDES
                  for form in FORM_NAMES})
    return files


# The links and copies of once.h that the identity sources include, and the directory sub/.
LINKS_AND_COPIES = 5


def write_files(work):
    """The identity sources with the links and copies they include, the lifted guard's source,
    each form's header and sources, and the headers of a large body with theirs. A link the
    system refuses is left out: its case is not tried."""
    for name, text in small_files().items():
        (work / name).write_text(text)
    (work / "sub").mkdir()
    for make, name in ((os.symlink, "once_symlink.h"), (os.link, "once_hard.h")):
        try:
            make("once.h" if make is os.symlink else work / "once.h", work / name)
        except OSError:
            pass
    shutil.copy2(work / "once.h", work / "once_copy.h")
    shutil.copyfile(work / "once.h", work / "once_other.h")
    mtime = (work / "once.h").stat().st_mtime
    os.utime(work / "once_other.h", (mtime - 86400, mtime - 86400))
    for style, text in BODY_HEADERS.items():
        (work / f"{style}.h").write_text(text)
        for count in BODY_COUNTS:
            (work / f"{style}{count}.c").write_text(form_block(style) * count)


def identity_tried(work, case):
    return (work / IDENTITY_CASES[case]).exists()


# The form that no preprocessor can skip: a record that shows it entered less than about once
# per include cannot tell the others either.
CONTROL = "tail_after_endif"


def entered(result, work, timeout):
    """Each guard form's verdict from the preprocessor's own record of the headers it entered
    (its listing, else its opens), and the lifted guard's: {question: (verdict, how, entries)};
    nothing where it has no record fit to tell (only the clock can tell there)."""
    found = {}
    how = result.how
    if how == "clock":
        return found
    for form in (*FORM_NAMES, "guard_undef"):
        source = "guard_undef.c" if form == "guard_undef" else f"entered_{form}.c"
        counts, error = records.entries_in(result, [], source, work, timeout, how)
        number = counts[str((work / header_of(form)).resolve())] if counts is not None else None
        if form == "guard_undef":
            verdict = entry_counts.undef_verdict(number)
            why = error or f"it entered guard.h {plural(number, 'time')}, where twice or once tells"
        else:
            verdict = entry_counts.entries_verdict(number, records.INCLUDES)
            why = error or entry_counts.entries_unclear(number, records.INCLUDES)
        found[form] = (verdict, verdicts.told(how, verdict, why), number)
    control = found[CONTROL]
    if control[0] != "re-read":
        why = (f"{how}: it entered {header_of(CONTROL)}, which no preprocessor can skip, "
               f"{plural(control[2] or 0, 'time')} in {records.INCLUDES} includes")
        found.update({form: ("unclear", why, number) for form, (_, _, number) in found.items()
                      if form != "guard_undef"})
    return found


def lifted_guard(record, output):
    """The lifted guard's verdict, how it was told, and its entries: from the output (the
    declaration after the #undef), and, where the preprocessor has a record fit to tell, from
    that as well; unclear where the two disagree."""
    if record is None:
        return output, "output", None
    verdict, how, number = record
    if verdict != output:
        entered = f"it entered guard.h {plural(number, 'time')}" if number is not None else how
        return ("unclear", f"{how.split(':')[0]}: {entered.split(': ', 1)[-1]}, but its output "
                f"says {output}", number)
    return record


def ask(result, work, timeout):
    """The answers from the output: declarations of each identity source (1: the second include
    was taken for the same file; 2: read again; None: not tried), and the lifted guard's
    verdict; and from the preprocessor's own record, where it has one, each guard form's."""
    result.exact = entered(result, work, timeout)
    result.identity = {}
    for case in IDENTITY_CASES:
        if identity_tried(work, case):
            _, output = preprocess(result, f"identity_{case}.c", work, timeout, keep_output=True)
            result.identity[case] = declarations.count_declarations(output)
        else:
            result.identity[case] = None
    _, output = preprocess(result, "guard_undef.c", work, timeout, keep_output=True)
    result.guard_undef = declarations.guard_undef_verdict(declarations.declared(output))
    result.exact["guard_undef"] = lifted_guard(result.exact.get("guard_undef"),
                                               result.guard_undef)
