"""Exceptions of pelmora that are not built-in Python exceptions."""


class PanicException(BaseException):
    """An internal failure of pelmora's native code (a bug, or a resource the system refused).

    Derived from BaseException, so ``except Exception`` does not swallow it.
    """
