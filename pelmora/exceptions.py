"""Exceptions of pelmora that are not built-in Python exceptions."""


class PanicException(BaseException):
    """An internal failure of pelmora's native code (a bug, or a resource the system refused).

    Derived from BaseException, so ``except Exception`` does not swallow it.
    """


class DataWarning(UserWarning):
    """Data came back incomplete or doubtful: securities that failed, a history shorter than
    asked for, servers set aside. The warning's text says what and why."""
