"""The exceptions kernwerk raises, by kind.

Every class derives from `KernelError`, so ``except kernwerk.KernelError``
catches any failure caused by a kernel, a body, a frame, an epoch or a date.
Each is also an instance of the builtin exception that the low-level module
`kernwerk._native` raises for the same failure, so code written against the
builtin types keeps working.
"""

from __future__ import annotations

__all__ = [
    "BodyNameError",
    "CoverageError",
    "EpochError",
    "FileFormatError",
    "FrameError",
    "KernelChangedError",
    "KernelError",
    "KernelFileError",
    "MissingKernelError",
]


class KernelError(Exception):
    """Base class of every error kernwerk raises for its inputs and files."""


class KernelFileError(KernelError, OSError):
    """A kernel file that is missing or cannot be read (``errno`` and
    ``filename`` are set as for the builtin I/O functions)."""


class KernelChangedError(KernelError, RuntimeError):
    """A kernel file that was truncated or rewritten in place by another
    process while it was open: the call's result is discarded. Open the file
    again; update kernels by writing a new file and renaming it over the old
    one."""


class FileFormatError(KernelError, RuntimeError):
    """A file that is not a kernel of the expected kind, or a malformed one."""


class CoverageError(KernelError, RuntimeError):
    """No loaded data covers a body, a frame or an epoch that a query needs."""


class BodyNameError(KernelError, ValueError):
    """A body name or code that neither a loaded kernel nor the built-in
    table knows."""


class FrameError(KernelError, ValueError):
    """A reference frame that cannot be used for the query."""


class EpochError(KernelError, ValueError):
    """An epoch or date that cannot be read or used: NaN, a string that is not
    a date, a field out of range."""


class MissingKernelError(KernelError, RuntimeError):
    """A query needs a kind of kernel (leapseconds, Earth orientation) of
    which none is loaded or installed."""
