"""The one error the command reports to its user: raised wherever a file, a host's setting or
the installation is found wanting, and told by the command in one line."""


class Problem(Exception):
    """A user's mistake or an operational failure: one line for the user, no traceback."""
