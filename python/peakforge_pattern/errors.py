"""The one exception type for problems with what the user asked for."""


class InputError(ValueError):
    """A structure, wavelength, option or file that cannot give what was asked.

    Raised for bad input everywhere in the package, with a one-line message
    naming the problem.  The command prints the message on one line and
    exits with status 2; library callers may catch it as a ValueError.

    Examples
    --------
    >>> from peakforge_pattern import InputError, compute_pattern, example_path
    >>> try:
    ...     compute_pattern(example_path("silicon"), wavelength=-1.0)
    ... except InputError as error:
    ...     print(error)
    wavelength must be a positive number of angstrom, not -1.0
    """


class WorkLimitError(InputError):
    """A calculation above the work limit.

    Its message ends in how to raise the limit; ``reason`` is the message
    without that advice, for callers that offer no such option.
    """

    def __init__(self, reason: str, advice: str = ", or raise the limit (--max-work, or max_work= from Python)"):
        super().__init__(reason + advice)
        self.reason = reason
