from typing import Final

__all__: Final[list[str]]

class NaifSpk:
    """Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to
    clone internally) and evaluates states at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifSpk: ...
    def segments(self) -> list[tuple[int, int, int, int, float, float, str]]: ...

def naif_bodn2c(name: str) -> int:
    """Look up a NAIF body ID by name in the built-in body-code table
    (CSpice's full 692-entry zzidmap). Raises `ValueError` when the name
    is not present; kernel-supplied bindings are handled separately on
    the Python side and take precedence over this table."""

def naif_bodc2n(code: int) -> str:
    """Reverse: NAIF ID → canonical built-in body name. Raises `ValueError`
    for IDs outside the built-in table."""

def naif_parse_text_kernel_bindings(path: str) -> list[tuple[str, int]]:
    """Parse a SPICE text kernel (.tk/.tf/.tpc/.ti) and return the ordered
    list of `NAIF_BODY_NAME` ↔ `NAIF_BODY_CODE` bindings it declares, as
    `[(name, code), ...]`. Non-body assignments are ignored. Returns an
    empty list if the file contains no `\\begindata` blocks with body
    bindings. Raises `ValueError` on parse errors or mismatched array
    lengths."""
