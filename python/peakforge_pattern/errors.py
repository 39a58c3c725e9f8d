"""The one exception type for problems with what the user asked for."""


class InputError(ValueError):
    """A structure, wavelength or angle range that cannot give a pattern.

    The command prints its message on one line and exits with status 2;
    library callers catch it as a ValueError.
    """
