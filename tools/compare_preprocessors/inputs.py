"""The files the preprocessors are timed on: guardgen's, and beside them the companion's own
#pragma once header and sources; and the room they take, known before any is written."""

import shutil
import tempfile

from guardgen_common import system
from guardgen_common.outputs import readable_size
from guardgen_common.processes import run_program

from . import questions, verdicts
from .measure import Failure, telling_line

ONCE_HEADER = "#pragma once\nextern int i;\n"

# The text of one include in each style, as guardgen writes it, and the companion's own.
BLOCKS = {
    "eg": '#ifndef GUARD_H\n#include "guard.h"\n#endif\n',
    "ig": '#include "guard.h"\n',
    "ng": '#include "noguard.h"\n',
    "once": '#include "once.h"\n',
}

# guardgen's two headers and once.h, and what a file system takes for each file beyond its bytes,
# at the most.
HEADERS = 3
HEADER_BYTES = 4096
FILE_OVERHEAD = 4096


# What a preprocessor that writes its output to a file (see measure.OUTPUT) writes per include
# at the most, line markers and all (gcc -E: about 50 bytes for an include of noguard.h).
OUTPUT_BYTES_PER_INCLUDE = 64


def bytes_needed(counts, writes_file=False):
    """The room that the files for `counts` take, with guardgen's line ends: every file's bytes,
    and a block of the file system's for each; and, where a preprocessor `writes_file`, its
    output of the largest source (a declaration of a large body taken as an include)."""
    per_include = sum(map(system.written_bytes, BLOCKS.values()))
    small = questions.small_files()
    files = (len(BLOCKS) * len(counts) + HEADERS + len(small) + questions.LINKS_AND_COPIES
             + len(questions.BODY_HEADERS) * (1 + len(questions.BODY_COUNTS)))
    largest = max(*counts, verdicts.BODY_DECLARATIONS * questions.BODY_INCLUDES)
    return (HEADER_BYTES + per_include * sum(counts) + questions.body_bytes()
            + sum(map(len, small.values())) + files * FILE_OVERHEAD
            + (OUTPUT_BYTES_PER_INCLUDE * largest + FILE_OVERHEAD if writes_file else 0))


def check_room(counts, directory=None, writes_file=False):
    """Refuses a run that the temporary directory cannot hold, before anything is written."""
    directory = directory or tempfile.gettempdir()
    needed = bytes_needed(counts, writes_file=writes_file)
    free = shutil.disk_usage(directory).free
    if needed > free:
        raise Failure(
            f"the files for these counts need {readable_size(needed)} in {directory}, which has "
            f"{readable_size(free)} free: give smaller counts, or another place in TMPDIR"
        )


def write_inputs(guardgen, counts, work, timeout):
    """guardgen's files for the counts, the #pragma once header and sources beside them, and the
    files of the further questions."""
    _, status, _, errors = run_program([str(guardgen), *map(str, counts)], work, timeout)
    if status != 0:
        raise Failure(f"guardgen failed with status {status}: {telling_line(errors) or 'no message'}")
    (work / "once.h").write_text(ONCE_HEADER)
    for count in counts:
        (work / f"once{count}.c").write_text(BLOCKS["once"] * count)
    questions.write_files(work)
