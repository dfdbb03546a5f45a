"""The error a companion reports in one line, "tool: what", and ends for with status 1."""


class Failure(Exception):
    """An error to report in one line."""
