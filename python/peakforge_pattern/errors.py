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
