"""Body names and codes: the native lookups in the built-in table, checked
row by row against the data file and against the NAIF toolkit (spiceypy),
and the package's registry in which kernel bindings take precedence."""

import csv
import pathlib

import pytest

import kernwerk
from kernwerk import _native
from kernwerk.bodies import BodyRegistry, normalize_name

TABLE = pathlib.Path(__file__).resolve().parent.parent / "core" / "data" / "naif_body_table.tsv"


def table_rows():
    with open(TABLE, newline="", encoding="utf-8") as f:
        reader = csv.reader(f, delimiter="\t")
        assert next(reader) == ["code", "name"]
        return [(int(code), name) for code, name in reader]


ROWS = table_rows()
CANONICAL = {}
for _code, _name in ROWS:
    CANONICAL.setdefault(_code, _name)


# ---------------------------------------------------------------------------
# naif_bodn2c / naif_bodc2n


def test_every_row_and_canonical_name():
    assert len(ROWS) == 692 and len(CANONICAL) == 539
    for code, name in ROWS:
        assert _native.naif_bodn2c(name) == code, name
    for code, name in CANONICAL.items():
        assert _native.naif_bodc2n(code) == name


@pytest.mark.parametrize("name, code", [
    ("earth", 399), ("EARTH", 399), ("Earth", 399), ("ssb", 0), ("Solar_System_Barycenter", 0),
    ("  solar   system  barycenter  ", 0), ("earth-moon barycenter", 3), ("  earth  moon_barycenter ", 3),
    ("EARTH\tBARYCENTER", 3), ("selene relay satellite", -500), ("moon\u3000", 301),
    ("\u00a0mars\u2003barycenter", 4), ("c/2013_a1", 1003228), ("dss-05", 399005),
])
def test_bodn2c(name, code):
    assert _native.naif_bodn2c(name) == code


@pytest.mark.parametrize("code, name", [
    (399, "EARTH"), (0, "SOLAR SYSTEM BARYCENTER"), (3, "EARTH BARYCENTER"), (-5, "PLANET-C"),
    (-45, "JANUS_A"), (-500, "Rstar"), (399005, "PARKES"), (True, "MERCURY BARYCENTER"),
])
def test_bodc2n(code, name):
    assert _native.naif_bodc2n(code) == name


@pytest.mark.parametrize("call, exc, message", [
    (lambda: _native.naif_bodn2c("EARTH MOON"), ValueError,
     "NAIF body name 'EARTH MOON' is not in the built-in table"),
    (lambda: _native.naif_bodn2c("   "), ValueError, "NAIF body name '   ' is not in the built-in table"),
    (lambda: _native.naif_bodn2c(""), ValueError, "NAIF body name '' is not in the built-in table"),
    (lambda: _native.naif_bodc2n(12345), ValueError, "NAIF body code 12345 is not in the built-in table"),
    (lambda: _native.naif_bodc2n(-99999), ValueError, "NAIF body code -99999 is not in the built-in table"),
    (lambda: _native.naif_bodc2n(2**31), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _native.naif_bodc2n(-2**31 - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _native.naif_bodn2c(b"EARTH"), TypeError,
     "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: _native.naif_bodn2c("a", "b"), TypeError, "naif_bodn2c() takes 1 positional arguments but 2 were given"),
    (lambda: _native.naif_bodc2n(), TypeError, "naif_bodc2n() missing 1 required positional argument: 'code'"),
    (lambda: _native.naif_parse_text_kernel_bindings("a", "b"), TypeError,
     "naif_parse_text_kernel_bindings() takes 1 positional arguments but 2 were given"),
])
def test_lookup_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_bodc2n_refuses_a_str_and_keywords_work():
    with pytest.raises(TypeError) as info:
        _native.naif_bodc2n("399")
    assert str(info.value).startswith("argument 'code': ")
    assert _native.naif_bodn2c(name="moon") == 301
    assert _native.naif_bodc2n(code=301) == "MOON"


DOCS = {
    "naif_bodn2c": (
        "(name)",
        "Look up a NAIF body ID by name in the built-in body-code table\n"
        "(CSpice's full 692-entry zzidmap). Raises `ValueError` when the name\n"
        "is not present; kernel-supplied bindings are handled separately on\n"
        "the Python side and take precedence over this table."),
    "naif_bodc2n": (
        "(code)",
        "Reverse: NAIF ID \u2192 canonical built-in body name. Raises `ValueError`\n"
        "for IDs outside the built-in table."),
    "naif_parse_text_kernel_bindings": (
        "(path)",
        "Parse a SPICE text kernel (.tk/.tf/.tpc/.ti) and return the ordered\n"
        "list of `NAIF_BODY_NAME` \u2194 `NAIF_BODY_CODE` bindings it declares, as\n"
        "`[(name, code), ...]`. Non-body assignments are ignored. Returns an\n"
        "empty list if the file contains no `\\begindata` blocks with body\n"
        "bindings. Raises `ValueError` on parse errors or mismatched array\n"
        "lengths."),
}


@pytest.mark.parametrize("name", list(DOCS))
def test_function_objects(name):
    fn = getattr(_native, name)
    signature, doc = DOCS[name]
    assert fn.__doc__ == doc
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "_native"
    assert fn.__self__ is _native
    assert getattr(kernwerk, name) is fn


def test_functions_are_registered_first():
    assert _native.__all__[:3] == ["naif_bodn2c", "naif_bodc2n", "naif_parse_text_kernel_bindings"]


# ---------------------------------------------------------------------------
# The NAIF toolkit as oracle


def _variants(name):
    yield name
    yield name.lower()
    yield name.replace(" ", "_")
    yield "  " + name.replace(" ", "   ") + "  "


def test_whole_table_against_the_toolkit():
    """Every code gives the toolkit's name; every name and its variants give
    the toolkit's code. The one difference: the toolkit does not treat "_"
    as a blank, so an underscore variant that is not itself a row of the
    table is unknown to it, while here it finds its row's code."""
    spiceypy = pytest.importorskip("spiceypy")
    from spiceypy.utils.exceptions import NotFoundError

    spiceypy.kclear()
    for code, name in CANONICAL.items():
        assert _native.naif_bodc2n(code) == spiceypy.bodc2n(code), code
    normalised_rows = {name.upper() for _, name in ROWS}
    underscore_only = []
    for code, name in ROWS:
        for variant in _variants(name):
            ours = _native.naif_bodn2c(variant)
            assert ours == code, variant
            try:
                theirs = spiceypy.bodn2c(variant)
            except NotFoundError:
                assert "_" in variant and variant.upper() not in normalised_rows, variant
                underscore_only.append(variant)
                continue
            assert theirs == ours, variant
    # Names with blanks whose underscore spelling is no row of the table.
    assert len(underscore_only) == 172
    assert "EARTH_MOON_BARYCENTER" in underscore_only


# ---------------------------------------------------------------------------
# Python-side normalisation agrees with the native one


@pytest.mark.parametrize("name, expected", [
    ("", ""), ("___", ""), (" \t\n\v\f\r ", ""), ("  earth   moon  ", "EARTH MOON"), ("_a__b_", "A B"),
    ("a\x85b\xa0c\u1680d\u2000e\u200af", "A B C D E F"), ("a\u2028\u2029b\u202fc\u205fd\u3000", "A B C D"),
    ("a\u200bb\u180ec\x1cd", "A\u200bB\u180eC\x1cD"), ("stra\u00dfe", "STRASSE"), ("\ufb03", "FFI"),
    ("\u0149", "\u02bcN"), ("\U00010428", "\U00010400"), ("d'arrest", "D'ARREST"),
])
def test_normalize_name(name, expected):
    assert normalize_name(name) == expected


@pytest.mark.parametrize("spelling, code", [
    ("\u00a0earth\u3000barycenter\u2029", 3), ("earth\u200bmoon", None), ("stra\u00dfe", None),
    ("earth\x1cmoon", None), ("_ssb_", 0),
])
def test_native_and_python_normalisation_agree(spelling, code):
    """The Python normalisation, used for kernel bindings, finds a table
    name under exactly the spellings that the native lookup accepts."""
    try:
        native = _native.naif_bodn2c(spelling)
    except ValueError:
        native = None
    assert native == code
    bound = {normalize_name(name) for _, name in ROWS}
    assert (normalize_name(spelling) in bound) == (code is not None)


# The characters above ASCII whose full upper-case mapping is ASCII; the
# core tests pin the same list for the native table. Unicode's case stability
# keeps it fixed, so Python's str.upper, whatever its Unicode version, and
# the native table normalise every spelling of a built-in name alike.
INTO_ASCII = {"\u00df": "SS", "\u0131": "I", "\u017f": "S", "\ufb00": "FF", "\ufb01": "FI",
              "\ufb02": "FL", "\ufb03": "FFI", "\ufb04": "FFL", "\ufb05": "ST", "\ufb06": "ST"}


def test_interpreter_maps_the_same_characters_into_ascii():
    found = {}
    for cp in range(0x80, 0x110000):
        if not 0xD800 <= cp <= 0xDFFF and (up := chr(cp).upper()).isascii():
            found[chr(cp)] = up
    assert found == INTO_ASCII


@pytest.mark.parametrize("spelling, builtin, code", [
    ("mars orbiter mi\u00dfion", "MARS ORBITER MISSION", -3), ("\u0131o", "IO", 501), ("\u017fun", "SUN", 10),
    ("kop\ufb00", "KOPFF", 1000054), ("mars path\ufb01nder", "MARS PATHFINDER", -53),
    ("deep impact \ufb02yby spacecraft", "DEEP IMPACT FLYBY SPACECRAFT", -140),
    ("\ufb05ardust", "STARDUST", -29), ("\ufb06ardust", "STARDUST", -29),
])
def test_kernel_shadows_every_spelling_the_table_accepts(spelling, builtin, code):
    assert _native.naif_bodn2c(spelling) == code
    reg = BodyRegistry()
    reg.add_bindings([(builtin, 4242)])
    assert reg.bodn2c(spelling) == 4242


# ---------------------------------------------------------------------------
# Registry: kernel bindings over the built-in table


@pytest.fixture
def kernel(tmp_path):
    counter = iter(range(1000))

    def write(body):
        path = tmp_path / f"k{next(counter)}.tf"
        path.write_text("KPL/FK\n\\begindata\n" + body + "\n\\begintext\n", encoding="utf-8")
        return str(path)

    return write


def test_kernel_bindings_take_precedence(kernel):
    reg = BodyRegistry()
    assert reg.load_text_kernel(kernel("NAIF_BODY_NAME += ( 'My Craft', 'EARTH' )\n"
                                       "NAIF_BODY_CODE += ( -999, 123 )")) == [("My Craft", -999), ("EARTH", 123)]
    assert reg.bodn2c("my_craft") == -999
    assert reg.bodn2c("  MY   CRAFT ") == -999
    assert reg.bodc2n(-999) == "My Craft"
    assert reg.bodn2c("earth") == 123          # the kernel shadows the table
    assert reg.bodc2n(123) == "EARTH"
    with pytest.raises(ValueError) as info:     # its table name now leads to 123
        reg.bodc2n(399)
    assert str(info.value) == ("NAIF body code 399 has no name: its built-in name 'EARTH' "
                               "is bound to code 123 by a loaded text kernel")
    assert reg.bodc2n(301) == "MOON"           # the table still answers for other codes
    assert reg.bodn2c("moon") == 301           # unbound names fall back
    with pytest.raises(ValueError) as info:
        reg.bodn2c("nowhere")
    assert str(info.value) == "NAIF body name 'nowhere' is not in the built-in table"
    with pytest.raises(ValueError) as info:
        reg.bodc2n(-998)
    assert str(info.value) == "NAIF body code -998 is not in the built-in table"


def test_later_bindings_win(kernel):
    reg = BodyRegistry()
    reg.load_text_kernel(kernel("NAIF_BODY_NAME = ( 'A' 'X' 'Y' )\nNAIF_BODY_CODE = ( 1 5000 5000 )"))
    reg.load_text_kernel(kernel("NAIF_BODY_NAME = 'a'\nNAIF_BODY_CODE = 2"))
    assert reg.bodn2c("A") == 2
    assert reg.bodc2n(2) == "a"
    assert reg.bodc2n(1) == "MERCURY BARYCENTER"   # 'A' no longer names 1
    assert reg.bodc2n(5000) == "Y"                 # latest name of the code
    assert reg.bodn2c("x") == 5000
    assert reg.bindings == [("A", 1), ("X", 5000), ("Y", 5000), ("a", 2)]


def test_failed_load_adds_nothing(kernel):
    reg = BodyRegistry()
    path = kernel("NAIF_BODY_NAME = ( 'A' 'B' )\nNAIF_BODY_CODE = 1")
    with pytest.raises(ValueError) as info:
        reg.load_text_kernel(path)
    assert str(info.value) == "NAIF_BODY_NAME has 2 entries but NAIF_BODY_CODE has 1 \u2014 they must match"
    assert reg.bindings == []
    with pytest.raises(OverflowError):
        reg.add_bindings([("A", 1), ("B", 2**31)])
    with pytest.raises(TypeError):
        reg.add_bindings([(b"A", 1)])
    assert reg.bindings == []


def test_registry_argument_types(kernel, tmp_path):
    reg = BodyRegistry()
    reg.load_text_kernel(pathlib.Path(kernel("NAIF_BODY_NAME = 'A'\nNAIF_BODY_CODE = -7")))
    assert reg.bodc2n(-7) == "A"
    with pytest.raises(TypeError):
        reg.bodn2c(b"A")
    with pytest.raises(TypeError):
        reg.bodc2n("-7")
    with pytest.raises(OverflowError):
        reg.bodc2n(2**40)
    reg.clear()
    assert reg.bodc2n(-7) != "A"


def test_default_registry_functions(kernel):
    try:
        kernwerk.load_text_kernel(kernel("NAIF_BODY_NAME = 'Probe Z'\nNAIF_BODY_CODE = -31337"))
        assert kernwerk.bodn2c("probe_z") == -31337
        assert kernwerk.bodc2n(-31337) == "Probe Z"
        assert kernwerk.bodn2c("Sun") == 10
    finally:
        kernwerk.clear_text_kernels()
    with pytest.raises(ValueError):
        kernwerk.bodn2c("probe z")


KERNELS_FOR_THE_TOOLKIT = [
    "NAIF_BODY_NAME += ( 'EARTH', 'Terra X', 'My Craft' )\nNAIF_BODY_CODE += ( 123, 399, -999 )",
    "NAIF_BODY_NAME += ( 'SOLAR SYSTEM BARYCENTER', 'SSB' )\nNAIF_BODY_CODE += ( 77, 78 )",
    "NAIF_BODY_NAME += ( 'A', 'X', 'Y', 'MARS' )\nNAIF_BODY_CODE += ( 1, 5000, 5000, 5000 )",
    "NAIF_BODY_NAME += ( 'a', 'my craft', 'MOON' )\nNAIF_BODY_CODE += ( 2, -998, 301 )",
]


def test_registry_against_the_toolkit(kernel):
    """After each kernel, every code and name involved resolves as in the
    toolkit's kernel pool (names without underscores, where the two differ)."""
    spiceypy = pytest.importorskip("spiceypy")
    from spiceypy.utils.exceptions import NotFoundError

    def ours(f, arg):
        try:
            return f(arg)
        except ValueError:
            return None

    def theirs(f, arg):
        try:
            return f(arg)
        except NotFoundError:
            return None

    reg = BodyRegistry()
    spiceypy.kclear()
    codes = {0, 1, 2, 3, 4, 77, 78, 123, 301, 399, 499, 5000, -998, -999, 12345}
    names = {"earth", "terra x", "my craft", "ssb", "solar system barycenter", "a", "x", "y", "mars",
             "mars barycenter", "moon", "nowhere"}
    try:
        for body in KERNELS_FOR_THE_TOOLKIT:
            path = kernel(body)
            reg.load_text_kernel(path)
            spiceypy.furnsh(path)
            for code in sorted(codes):
                assert ours(reg.bodc2n, code) == theirs(spiceypy.bodc2n, code), (body, code)
            for name in sorted(names):
                assert ours(reg.bodn2c, name) == theirs(spiceypy.bodn2c, name), (body, name)
    finally:
        spiceypy.kclear()
