"""What a run over a database gives: its record, and the proof of its patch where one was asked
for. Made in the sandbox and given to the outer process, which writes the outputs from it."""

from dataclasses import dataclass


@dataclass
class Result:
    record: dict
    proof: object = None
