"""The module frame: import, registration, class properties, argument binding."""

import subprocess
import sys
import textwrap
import weakref

import pytest

import kernwerk
from kernwerk import _native
from dafbuild import build_spk, cheb_type2, spk_segment

FULL_ORDER = ["naif_bodn2c", "naif_bodc2n", "naif_parse_text_kernel_bindings",
              "NaifSpk", "NaifSpkWriter", "NaifPck"]
CLASSES = ["NaifSpk", "NaifSpkWriter", "NaifPck"]


def test_all_lists_the_registered_names_in_order():
    assert _native.__all__ == FULL_ORDER
    assert kernwerk.__all__[:len(_native.__all__)] == _native.__all__


def test_reimport_returns_the_same_module_object():
    code = textwrap.dedent("""
        import sys, importlib
        import kernwerk._native as first
        del sys.modules['kernwerk._native']
        second = importlib.import_module('kernwerk._native')
        assert second is first, (first, second)
        assert 'numpy' not in sys.modules, 'importing must not import numpy'
        print('ok')
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert out.stdout.strip() == "ok", out.stderr


SUBINTERP_SCRIPT = """
try:
    import kernwerk._native
    result = 'imported'
except ImportError as e:
    result = 'ImportError: ' + str(e)
with open(OUT, 'w') as f:
    f.write(result)
"""


def test_sub_interpreter_import_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out_file = tmp_path / "out.txt"
    script = SUBINTERP_SCRIPT.replace("OUT", repr(str(out_file)))
    main = ("import kernwerk._native, _testcapi\n"
            f"_testcapi.run_in_subinterp({script!r})\n")
    proc = subprocess.run([sys.executable, "-c", main], capture_output=True, text=True, cwd="/")
    assert proc.returncode == 0, proc.stderr
    result = out_file.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters" in result, result


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(_native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__doc__.startswith(name + "(") is False  # the signature line becomes __text_signature__
    assert cls.__text_signature__.startswith("(")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__init__" not in vars(cls)


def test_spk_class_docstring_and_methods(de421_path):
    assert _native.NaifSpk.__doc__ == (
        "Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to\n"
        "clone internally) and evaluates states at TDB ephemeris-time seconds.")
    assert _native.NaifSpk.__text_signature__ == "(path)"
    assert _native.NaifSpk.segments.__text_signature__ == "($self)"
    spk = _native.NaifSpk(de421_path)
    assert not hasattr(spk, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(spk)
    with pytest.raises(AttributeError):
        spk.extra = 1


@pytest.mark.parametrize("call, message", [
    (lambda: _native.NaifSpk(), "NaifSpk.__new__() missing 1 required positional argument: 'path'"),
    (lambda: _native.NaifSpk("a", "b"), "NaifSpk.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: _native.NaifSpk(paht="a"), "NaifSpk.__new__() got an unexpected keyword argument 'paht'"),
    (lambda: _native.NaifSpk("a", path="a"), "NaifSpk.__new__() got multiple values for argument 'path'"),
    (lambda: _native.NaifSpk(b"a.bsp"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: _native.NaifSpk(None), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_method_binding_messages(de421_path):
    spk = _native.NaifSpk(de421_path)
    with pytest.raises(TypeError):
        spk.segments(1)


def test_path_object_is_refused(tmp_path):
    with pytest.raises(TypeError) as info:
        _native.NaifSpk(tmp_path)
    assert str(info.value).startswith("argument 'path': '")
    assert str(info.value).endswith("' object cannot be converted to 'PyString'")


def test_lone_surrogate_path_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        _native.NaifSpk("bad\udc80.bsp")


def test_str_subclass_is_a_string(de421_path):
    class P(str):
        pass
    assert _native.NaifSpk(P(de421_path)).segments()


def test_unnamed_argument_type_in_conversion_message():
    class NoQualname(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise AttributeError(name)
            return super().__getattribute__(name)

    class Odd(metaclass=NoQualname):
        pass

    with pytest.raises(TypeError) as info:
        _native.NaifSpk(Odd())
    assert str(info.value) == \
        "argument 'path': '<failed to extract type name>' object cannot be converted to 'PyString'"


def test_missing_numpy_is_an_internal_failure_not_an_exception(write_kernel):
    # Without NumPy the module still imports and answers scalar calls; the
    # first array argument ends the call with PanicException, which ordinary
    # `except Exception` clauses do not catch.
    rec = [50.0, 50.0, 1.0, 2.0, 3.0]
    path = write_kernel(build_spk([spk_segment(301, 399, 2, 0.0, 100.0, cheb_type2(0.0, 100.0, [rec]))]))
    code = textwrap.dedent(f"""
        import sys
        sys.modules['numpy'] = None
        from kernwerk import _native
        spk = _native.NaifSpk({path!r})
        assert spk.state(301, 399, 10.0) == (1.0, 2.0, 3.0, 0.0, 0.0, 0.0)
        assert not hasattr(_native, 'PanicException')
        try:
            spk.state_batch(301, 399, [10.0])
        except Exception as e:
            print('Exception', type(e).__name__, e)
        except BaseException as e:
            print(type(e).__name__, str(e))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert out.stdout.strip() == "PanicException Failed to access NumPy array API capsule", out.stderr
    assert "Failed to access NumPy array API capsule" in out.stderr
