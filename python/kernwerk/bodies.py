"""NAIF body names and codes, with bindings from text kernels.

The native module answers from NAIF's built-in body table only
(`naif_bodn2c`, `naif_bodc2n`) and reads the ``NAIF_BODY_NAME`` /
``NAIF_BODY_CODE`` bindings of a text kernel
(`naif_parse_text_kernel_bindings`). A `BodyRegistry` combines them:
bindings from the kernels loaded into it take precedence, and the built-in
table answers what no kernel binds.

Rules:

* names are compared after normalisation (`normalize_name`, the same as the
  built-in table's): letter case, surrounding blanks, runs of blanks and the
  difference between blanks and underscores do not matter (the SPICE toolkit,
  unlike this library, tells "_" from a blank);
* as in the SPICE toolkit's kernel pool, bindings apply in load order, and a
  later binding of a name replaces an earlier one;
* a code maps back to the name of its latest binding whose name still maps
  to that code; the name is returned as the kernel spelled it. A code that no
  kernel binds gets its canonical built-in name, unless a kernel has bound
  that name to another code: then, as in the toolkit, the code has no name
  (BodyNameError, a ValueError) rather than one that leads to another body.

The module-level functions use one shared registry, `default_registry`.
"""

from __future__ import annotations

import operator
import os
import threading
from collections.abc import Iterable

from . import _native
from .errors import BodyNameError, KernelFileError

__all__ = [
    "BodyRegistry",
    "bodc2n",
    "bodn2c",
    "clear_text_kernels",
    "default_registry",
    "load_text_kernel",
    "normalize_name",
]

# Unicode White_Space, and the underscore: the separators of a body name.
_SEPARATORS = (
    "\t\n\v\f\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000_"
)
_TO_BLANK = str.maketrans({c: " " for c in _SEPARATORS})

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def normalize_name(name: str) -> str:
    """The form in which body names are compared: separators (Unicode
    White_Space and "_") collapse to single blanks and vanish at both ends;
    every other character takes its full upper-case mapping ("ß" -> "SS").

    str.upper follows the running interpreter's Unicode version, the native
    table one fixed version, so the two can differ on characters that a newer
    version gives a case mapping. Such mappings never lead into ASCII: the
    only characters above ASCII that do (U+00DF, U+0131, U+017F and the
    ligatures U+FB00 to U+FB06) are fixed by Unicode's case stability. Every
    spelling of a built-in name (all ASCII) therefore normalises alike on
    both sides, so a kernel binding shadows a built-in name under exactly the
    spellings that the native lookup accepts; kernel names are only ever
    compared with each other through this one function."""
    return " ".join(word.upper() for word in name.translate(_TO_BLANK).split(" ") if word)


class BodyRegistry:
    """Body bindings from text kernels, over the built-in table."""

    def __init__(self, fallback: BodyRegistry | None = None) -> None:
        """`fallback`, when given, answers what this registry's kernels do not
        bind (in place of the built-in table, which it consults in turn)."""
        self._fallback = fallback
        self._lock = threading.Lock()
        self._bindings: list[tuple[str, int]] = []
        # (name -> code, code -> name), replaced as one object so that a
        # reader never pairs maps of two different states.
        self._maps: tuple[dict[str, int], dict[int, str]] = ({}, {})

    def load_text_kernel(self, path: str | os.PathLike[str]) -> list[tuple[str, int]]:
        """Read the body bindings of the text kernel at `path` and add them.

        Returns the bindings read, in declaration order. The whole kernel is
        validated first: a kernel that fails to parse raises ValueError and
        adds nothing; a missing or unreadable file raises KernelFileError
        (an OSError) naming it."""
        text_path = os.fsdecode(os.fspath(path))
        try:
            with open(text_path, "rb"):
                pass
        except OSError as exc:
            raise KernelFileError(exc.errno, f"cannot read kernel {text_path}: {exc.strerror}", text_path) from None
        bindings = _native.naif_parse_text_kernel_bindings(text_path)
        self.add_bindings(bindings)
        return bindings

    def add_bindings(self, bindings: Iterable[tuple[str, int]]) -> None:
        """Add (name, code) bindings, after those already present.

        Names must be str and codes int in the signed 32-bit range; nothing
        is added if any binding is invalid."""
        checked = []
        for name, code in bindings:
            if not isinstance(name, str):
                raise TypeError(f"binding name must be str, not {type(name).__name__!r}")
            code = operator.index(code)
            if not _INT32_MIN <= code <= _INT32_MAX:
                raise OverflowError("out of range integral type conversion attempted")
            checked.append((name, code))
        with self._lock:
            self._rebuild(self._bindings + checked)

    def clear(self) -> None:
        """Forget every binding; lookups use the built-in table alone."""
        with self._lock:
            self._rebuild([])

    @property
    def bindings(self) -> list[tuple[str, int]]:
        """Every binding added, in order."""
        return list(self._bindings)

    def bodn2c(self, name: str) -> int:
        """The code bound to `name` by a loaded kernel, else the built-in
        one. BodyNameError (a ValueError) if neither knows the name."""
        if isinstance(name, str):
            code = self._maps[0].get(normalize_name(name))
            if code is not None:
                return code
        if self._fallback is not None:
            return self._fallback.bodn2c(name)
        try:
            return _native.naif_bodn2c(name)
        except ValueError as exc:
            raise BodyNameError(str(exc)) from None

    def bodc2n(self, code: int) -> str:
        """The name a loaded kernel binds to `code`, else the canonical
        built-in name if no kernel binds that name to another code.
        BodyNameError (a ValueError) if there is no such name."""
        name_to_code, code_to_name = self._maps
        try:
            index = operator.index(code)
        except TypeError:
            index = None
        name = code_to_name.get(index) if index is not None else None
        if name is not None:
            return name
        if self._fallback is not None:
            name = self._fallback.bodc2n(code)
        else:
            try:
                name = _native.naif_bodc2n(code)
            except ValueError as exc:  # a code outside the table
                raise BodyNameError(str(exc)) from None
        other = name_to_code.get(normalize_name(name))
        if other is not None:
            raise BodyNameError(
                f"NAIF body code {index} has no name: its built-in name '{name}' "
                f"is bound to code {other} by a loaded text kernel")
        return name

    def _rebuild(self, bindings: list[tuple[str, int]]) -> None:
        # Readers see either the old or the new maps, never a half-built one.
        name_to_code: dict[str, int] = {}
        for name, code in bindings:
            name_to_code[normalize_name(name)] = code
        code_to_name: dict[int, str] = {}
        for name, code in bindings:
            if name_to_code[normalize_name(name)] == code:
                code_to_name[code] = name
        self._maps = (name_to_code, code_to_name)
        self._bindings = bindings

    def __repr__(self) -> str:
        return f"<BodyRegistry with {len(self._bindings)} kernel bindings>"


default_registry = BodyRegistry()


def load_text_kernel(path: str | os.PathLike[str]) -> list[tuple[str, int]]:
    """Add the body bindings of a text kernel to the default registry."""
    return default_registry.load_text_kernel(path)


def clear_text_kernels() -> None:
    """Forget the bindings of every kernel loaded into the default registry."""
    default_registry.clear()


def bodn2c(name: str) -> int:
    """Body name to NAIF code: loaded kernels first, then the built-in table."""
    return default_registry.bodn2c(name)


def bodc2n(code: int) -> str:
    """NAIF code to body name: loaded kernels first, then the built-in table."""
    return default_registry.bodc2n(code)
