"""Which device library the module uses, what a misbehaving one gives back, and the module's own help.
Each row runs in a process of its own, since the library is chosen once per process."""
import ast
import os
import pathlib
import pydoc
import shutil
import subprocess
import sys

import pytest

import dio

BUNDLED = os.environ["BUNDLED_LIBRARY"]
STANDIN = os.environ["STANDIN_LIBRARY"]
INCOMPLETE = os.environ["INCOMPLETE_LIBRARY"]
SHOW = """
try:
    print(dio.library_path())
    with dio.Device(dio.devices()[0].serial) as dev:
        print(dev.version, dev.read(0x00))
except Exception as error:
    print(type(error).__name__, repr(error.message) if hasattr(error, "message") else error)
"""


@pytest.fixture
def vendor_dir(tmp_path):
    (tmp_path / "vendor").mkdir()
    shutil.copy(STANDIN, tmp_path / "vendor" / "libkavren.so.1")
    return tmp_path / "vendor"


@pytest.mark.parametrize(
    "setup, environment, expected",
    [
        ("", {}, ["{bundled}", "1.0-sim 0"]),
        ("", {"KAVREN_LIBRARY": "{standin}"}, ["{standin}", "9.9-stand 90"]),
        ("", {"LD_LIBRARY_PATH": "{vendor}"}, ["{vendor}/libkavren.so.1", "9.9-stand 90"]),
        ("dio.use_library({standin!r})", {"KAVREN_LIBRARY": "{incomplete}"}, ["{standin}", "9.9-stand"]),
        ("dio.use_library(__import__('pathlib').Path({standin!r}))", {}, ["{standin}"]),
        ("dio.use_simulator()", {"KAVREN_LIBRARY": "{standin}"}, ["{bundled}", "1.0-sim"]),
        ("dio.use_library({standin!r}); dio.use_simulator()", {}, ["RuntimeError", "is in use already"]),
        ("", {"KAVREN_LIBRARY": "{incomplete}"},
         ["LibraryError", "(named in KAVREN_LIBRARY) does not provide GetSWVersion, ReadPort, WritePort."]),
        ("dio.use_library('none.so.1')", {},
         ["LibraryError", "The device library {cwd}/none.so.1 (named with use_library()) does not exist.",
          "Name the vendor's libkavren.so.1 with use_library(PATH) or", "(use_simulator() chooses it)"]),
        ("dio.devices(); dio.use_library({standin!r})", {}, ["RuntimeError", "is in use already"]),
        ("dio.devices(); dio.use_library({bundled!r}); dio.use_simulator()", {}, ["{bundled}"]),
        ("dio.use_library('')", {}, ["ValueError"]),
    ],
    ids=["bundled simulator", "KAVREN_LIBRARY", "LD_LIBRARY_PATH", "use_library beats KAVREN_LIBRARY",
         "a path object", "use_simulator beats KAVREN_LIBRARY", "use_library loads at once", "incomplete library",
         "missing file", "no change once loaded", "the library in use again", "empty path"],
)
def test_library_rule(python, tmp_path, vendor_dir, setup, environment, expected):
    values = dict(vendor=vendor_dir, standin=STANDIN, incomplete=INCOMPLETE, bundled=BUNDLED, cwd=tmp_path)
    values = {name: str(value) for name, value in values.items()}
    environment = {name: value.format(**values) for name, value in environment.items()}
    output = python(setup.format(**values) + SHOW, **environment)
    for text in expected:
        assert text.format(**values) in output


@pytest.mark.parametrize(
    "environment, code, expected",
    [
        ({"STANDIN_FAIL": "ReadPort", "STANDIN_MESSAGE": "FILL"}, "dev.read(0)", "'" + "x" * 256 + "' 7"),
        ({"STANDIN_FAIL": "ReadPort", "STANDIN_MESSAGE": b"C\xe2ble \\ d\xe9fectueux"}, "dev.read(0)",
         "'Câble \\\\ défectueux' 7"),
        ({"STANDIN_FAIL": "CloseDevice"}, "dev.close()", "'Error Closing Device' 7"),
        ({"STANDIN_VERSION": "FILL"}, "dev.version", "'" + "x" * 10 + "'"),
        ({"STANDIN_VERSION": b"\xb5-1"}, "dev.version", "'µ-1'"),
        ({"STANDIN_COUNT": "3", "STANDIN_SERIALS": "A,B", "STANDIN_DESCRIPTIONS": "a"},
         "listed, [str(w.message) for w in warned]",
         "([DeviceInfo(serial='A', description='a'), DeviceInfo(serial='B', description='')], "
         "['the device library counts 3 devices but lists 2 serial numbers and 1 descriptions'])"),
        ({"STANDIN_COUNT": "2", "STANDIN_SERIALS": "A,B", "STANDIN_DESCRIPTIONS": "a"},
         "listed, [str(w.message) for w in warned]",
         "([DeviceInfo(serial='A', description='a'), DeviceInfo(serial='B', description='')], "
         "['the device library counts 2 devices but lists 2 serial numbers and 1 descriptions'])"),
        ({"STANDIN_COUNT": "1", "STANDIN_SERIALS": "A", "STANDIN_DESCRIPTIONS": ""},
         "listed, [str(w.message) for w in warned]", "([DeviceInfo(serial='A', description='')], [])"),
    ],
    ids=["message fills its buffer", "Latin-1 message", "close without message", "version fills its buffer",
         "Latin-1 version", "count and lists disagree", "only the descriptions disagree",
         "one device, empty description"],
)
def test_texts_of_a_misbehaving_library(python, environment, code, expected):
    script = f"""
import warnings
with warnings.catch_warnings(record=True) as warned:
    warnings.simplefilter("always")
    listed = dio.devices()
try:
    dev = dio.Device("STANDIN-1")
    print(repr(({code})))
except dio.DeviceError as error:
    print(repr(error.message), error.status)
"""
    assert python(script, KAVREN_LIBRARY=STANDIN, **environment).strip() == expected


def test_help_and_stub_describe_the_module():
    stub = pathlib.Path(dio.__file__).with_name("_dio.pyi")
    declared = {node.name for node in ast.parse(stub.read_text()).body if hasattr(node, "name")}
    declared |= {node.target.id for node in ast.parse(stub.read_text()).body if isinstance(node, ast.AnnAssign)}
    public = {name for name in dir(dio._dio) if not name.startswith("_")}
    assert {name for name in declared if not name.startswith("_")} == public == set(dio.__all__) - {"__version__", "sim"}
    assert dio.__version__ == os.environ["DIOPANEL_VERSION"]
    documentation = pydoc.render_doc(dio, renderer=pydoc.plaintext)
    for text in ("with dio.Device(", "class Device", "use_library(path: os.PathLike)", "class DeviceError", "library_path()"):
        assert text in documentation


@pytest.mark.parametrize(
    "script, expected",
    [
        ("def first(serial: str) -> int:\n"
         "    with dio.Device(serial) as dev:\n"
         "        return dev.read(dio.INPUT_PORTS[0])\n"
         "def faults() -> list[dio.sim.SimFault]:\n"
         "    dio.sim.fail('ReadPort', times=None)\n"
         "    return dio.sim.faults()\n",
         "Success: no issues found"),
        ("dio.Device('X').read('0')\n", 'has incompatible type "str"; expected "SupportsIndex"'),
        ("class Bench(dio.Device):\n"
         "    def ready(self) -> bool:\n"
         "        return self.read(0x00) & 0x01 == 1\n"
         "def ready() -> bool:\n"
         "    with Bench('DIO-SIM-0001') as bench:\n"
         "        return bench.ready()\n",
         "Success: no issues found"),
    ],
    ids=["return from inside with", "wrong argument type", "with on a subclass"],
)
def test_mypy_sees_the_package(tmp_path, script, expected):
    (tmp_path / "bench.py").write_text("import dio\nimport dio.sim\n\n" + script)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           "bench.py"], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert expected in done.stdout, done.stdout + done.stderr
