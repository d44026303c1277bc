"""NAIF body names and codes, with bindings from text kernels.

The native module answers from NAIF's built-in body table only
(`naif_bodn2c`, `naif_bodc2n`) and reads the ``NAIF_BODY_NAME`` /
``NAIF_BODY_CODE`` bindings of a text kernel
(`naif_parse_text_kernel_bindings`). A `BodyRegistry` combines them:
bindings from the kernels loaded into it take precedence, and the built-in
table answers what no kernel binds.

Rules, as in the SPICE toolkit's kernel pool:

* names are compared after normalisation (`normalize_name`): letter case,
  surrounding blanks, runs of blanks and the difference between blanks and
  underscores do not matter;
* bindings apply in load order, and a later binding of a name replaces an
  earlier one;
* a code maps back to the name of its latest binding whose name still maps
  to that code; the name is returned as the kernel spelled it.

The module-level functions use one shared registry, `default_registry`.
"""

from __future__ import annotations

import operator
import os
import threading
from collections.abc import Iterable

from . import _native

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
    every other character takes its full upper-case mapping ("ß" -> "SS")."""
    return " ".join(word.upper() for word in name.translate(_TO_BLANK).split(" ") if word)


class BodyRegistry:
    """Body bindings from text kernels, over the built-in table."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._bindings: list[tuple[str, int]] = []
        self._name_to_code: dict[str, int] = {}
        self._code_to_name: dict[int, str] = {}

    def load_text_kernel(self, path: str | os.PathLike[str]) -> list[tuple[str, int]]:
        """Read the body bindings of the text kernel at `path` and add them.

        Returns the bindings read, in declaration order. The whole kernel is
        validated first: a kernel that fails to parse raises ValueError and
        adds nothing."""
        bindings = _native.naif_parse_text_kernel_bindings(os.fsdecode(os.fspath(path)))
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
        one. ValueError if neither knows the name."""
        if isinstance(name, str):
            code = self._name_to_code.get(normalize_name(name))
            if code is not None:
                return code
        return _native.naif_bodn2c(name)

    def bodc2n(self, code: int) -> str:
        """The name a loaded kernel binds to `code`, else the canonical
        built-in name. ValueError if neither knows the code."""
        try:
            name = self._code_to_name.get(operator.index(code))
        except TypeError:
            name = None
        if name is not None:
            return name
        return _native.naif_bodc2n(code)

    def _rebuild(self, bindings: list[tuple[str, int]]) -> None:
        # Readers see either the old or the new maps, never a half-built one.
        name_to_code: dict[str, int] = {}
        for name, code in bindings:
            name_to_code[normalize_name(name)] = code
        code_to_name: dict[int, str] = {}
        for name, code in bindings:
            if name_to_code[normalize_name(name)] == code:
                code_to_name[code] = name
        self._bindings, self._name_to_code, self._code_to_name = bindings, name_to_code, code_to_name

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
