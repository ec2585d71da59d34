"""Runs in a fresh virtualenv with a wheel installed, outside the source tree (next to roundtrip.c): the module is
the installed one and reports the distribution's version, a few operations and iterators behave, and C code built
against the headers the wheel installed drives the same trees."""

import ctypes
import importlib.metadata
import subprocess
import sys
import sysconfig
from pathlib import Path

import sylvanmap
from sylvanmap import SortedDict

assert Path(sylvanmap.__file__).parent == Path(sysconfig.get_path("platlib")), sylvanmap.__file__
assert sylvanmap.__version__ == importlib.metadata.version("sylvanmap")
# A free-threaded interpreter keeps the GIL off: the module says it needs none.
assert not sysconfig.get_config_var("Py_GIL_DISABLED") or not sys._is_gil_enabled()

d = SortedDict(3)
d.update((k, str(k)) for k in [50, 10, 40, 20, 30, 60, 70])
assert list(d) == [10, 20, 30, 40, 50, 60, 70] and list(reversed(d))[:2] == [70, 60]
assert list(d.irange(20, 50)) == [20, 30, 40] and (d.min(), d.max(), len(d)) == (10, 70, 7)
assert d.popitem() == (70, "70") and d.pop(10) == "10" and d.setdefault(5, "5") == "5" and 10 not in d
it = iter(d)
assert next(it) == 5
d[99] = "99"
try:
    next(it)
    raise AssertionError("a size change went unnoticed")
except RuntimeError as e:
    assert str(e) == "SortedDict changed size during iteration", e
try:
    d[7]
except KeyError as e:
    assert e.args == (7,), e

# pip puts a wheel's headers in <venv>/include/site/pythonX.Y/<distribution>/, and the same ones lie beside
# the module, where get_include() names them: the C round trip builds against the latter.
headers = Path(sys.prefix, "include", "site", "python%d.%d" % sys.version_info[:2], "sylvanmap")
assert (headers / "sylvanmap.h").read_bytes() == Path(sylvanmap.get_include(), "sylvanmap.h").read_bytes()
headers = Path(sylvanmap.get_include())
flags = ["-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC"]
includes = [f"-I{headers}", f"-I{sysconfig.get_path('include')}"]
subprocess.run(["cc", *flags, *includes, "roundtrip.c", "-o", "roundtrip.so"], check=True)
roundtrip = ctypes.PyDLL(str(Path("roundtrip.so").resolve())).roundtrip
roundtrip.restype, roundtrip.argtypes = ctypes.py_object, [ctypes.py_object]
copy = roundtrip(d)
assert type(copy) is SortedDict and repr(copy).startswith("SortedDict(order=2,") and copy.items() == d.items()[1:]
try:
    roundtrip({})
    raise AssertionError("the family took a dict for a tree")
except SystemError as e:
    assert "bad argument to internal function" in str(e), e
print(f"smoke: sylvanmap {sylvanmap.__version__} on Python {sys.version.split()[0]}: ok")
