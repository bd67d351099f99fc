"""dio.sim against dio-sim: the same changes and the same refusals; the fixtures; the README's example."""
import ctypes
import os
import pathlib
import re
import subprocess
import sys

import pytest

import dio
import dio.sim

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def run_dio_sim(*arguments):
    done = subprocess.run(["dio-sim", *arguments], capture_output=True, text=True)
    return done.returncode, done.stderr.splitlines()[0].removeprefix("dio-sim: ") if done.stderr else ""


@pytest.mark.parametrize(
    "command, call",
    [
        (["unplug", "DIO-SIM-0001"], lambda: dio.sim.unplug("DIO-SIM-0001")),
        (["add", "DUT-1", "Bench DUT", "--mode", "manual"],
         lambda: dio.sim.add("DUT-1", "Bench DUT", mode="manual")),
        (["fail", "readport", "--serial", "DIO-SIM-0002", "--status", "-7", "--message", "Câble"],
         lambda: dio.sim.fail("readport", serial="DIO-SIM-0002", status=-7, message="Câble")),
        (["fail", "OpenDevice", "--always", "--status", "4"],
         lambda: dio.sim.fail("OpenDevice", status=4, times=None)),
        (["delay", "CloseDevice", "250"], lambda: dio.sim.delay("CloseDevice", 250)),
        (["remove", "DIO-SIM-0002"], lambda: dio.sim.remove("DIO-SIM-0002")),
    ],
    ids=["unplug", "add", "fail", "fail always", "delay", "remove"],
)
def test_changes_match_dio_sim(tmp_path, monkeypatch, command, call):
    states = []
    for change in (lambda: None, lambda: run_dio_sim(*command), call):
        monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / f"{len(states)}.state"))
        change()
        # The counting device's inputs follow the clock.
        devices = [device._replace(inputs=None) for device in dio.sim.status()]
        states.append((devices, dio.sim.faults(), dio.sim.delays()))
    untouched, by_dio_sim, by_module = states
    assert by_module == by_dio_sim != untouched


@pytest.mark.parametrize(
    "command, call, text",
    [
        (["unplug", "NOPE"], lambda: dio.sim.unplug("NOPE"), "there is no device NOPE"),
        (["add", "DIO-SIM-0001", "again"], lambda: dio.sim.add("DIO-SIM-0001", "again"),
         "there is already a device DIO-SIM-0001"),
        (["set", "DIO-SIM-0001", "0", "1"], lambda: dio.sim.set_inputs("DIO-SIM-0001", 0, 1),
         "device DIO-SIM-0001 is in loopback mode; only the inputs of a manual device can be set"),
        (["add", "A,B", "x"], lambda: dio.sim.add("A,B", "x"), None),
        (["add", "X", "x", "--version", "1234567890"], lambda: dio.sim.add("X", "x", version="1234567890"), None),
        (["fail", "Reboot"], lambda: dio.sim.fail("Reboot"), "unknown operation 'Reboot'"),
        (["delay", "ReadPort", "10001"], lambda: dio.sim.delay("ReadPort", 10001), "10000"),
    ],
    ids=["unknown device", "device twice", "inputs of a loopback device", "comma in serial", "long version",
         "unknown operation", "delay too long"],
)
def test_refusals_match_dio_sim(command, call, text):
    code, message = run_dio_sim(*command)
    assert code == 2
    with pytest.raises(ValueError) as raised:
        call()
    if text is None:  # the device-text rules: the very same words
        assert str(raised.value) == message
    else:
        assert text in str(raised.value) and text in message


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: dio.sim.fail("OpenDevice", message="x"), ValueError, "message does not go with OpenDevice"),
        (lambda: dio.sim.fail("ListDevices", serial="DIO-SIM-0001"), ValueError, "serial does not go with"),
        (lambda: dio.sim.fail("ReadPort", status=0), ValueError, "status 0 means success"),
        (lambda: dio.sim.fail("ReadPort", times=0), ValueError, "times must be 1-4294967295, not 0"),
        (lambda: dio.sim.delay("ReadPort", 1.5), TypeError, "milliseconds must be an integer"),
        (lambda: dio.sim.set_inputs("DIO-SIM-0001", 256, 0), ValueError, "port must be 0-255"),
        (lambda: dio.sim.fail("ReadPort", serial=5), TypeError, "serial must be a str or None, not int"),
        (lambda: dio.sim.fail("ReadPort", message=b"x"), TypeError, "message must be a str or None, not bytes"),
        (lambda: dio.sim.fail("ReadPort", status=True), TypeError, "status must be an integer .* not bool"),
        (lambda: dio.sim.fail("ReadPort", times=2**64), ValueError, "times must be 1-4294967295"),
    ],
    ids=["message without buffer", "serial with ListDevices", "status 0", "times 0", "float delay", "port 256",
         "serial not a text", "message not a text", "bool status", "huge times"],
)
def test_python_arguments_follow_dio_sims_rules(call, error, text):
    with pytest.raises(error, match=text):
        call()


@pytest.mark.parametrize(
    "content, call",
    [
        (None, dio.sim.reset),
        (b"not a state\n", dio.sim.status),
        (b"not a state\n", dio.sim.clear),
    ],
    ids=["a directory", "wrong content read", "wrong content changed"],
)
def test_an_unusable_state_file_raises_dio_sims_message(tmp_path, monkeypatch, content, call):
    place = tmp_path / "state"
    place.mkdir() if content is None else place.write_bytes(content)
    place.chmod(0o700 if content is None else 0o600)
    monkeypatch.setenv("KAVREN_SIM_STATE", str(place))
    code, message = run_dio_sim("status")
    with pytest.raises(OSError) as raised:
        call()
    assert code == 1 and str(raised.value) == message


@pytest.mark.parametrize("order", ["first", "second"])
def test_each_test_has_its_own_simulator(dio_sim, dio_device, tmp_path, order):
    # Each would see the other's device and faults if the state were shared.
    assert [d.serial for d in dio_sim.status()] == ["DIO-SIM-0001", "DIO-SIM-0002"]
    assert dio_sim.faults() == []
    dio_sim.add(f"ONLY-{order}", "left behind")
    dio_sim.fail("ReadPort", times=None)
    assert pathlib.Path(os.environ["KAVREN_SIM_STATE"]).parent == tmp_path
    with pytest.raises(dio.DeviceError, match="^DIO-SIM-0001: Simulated failure"):
        dio_device.read(0x00)


@pytest.mark.parametrize(
    "conftest, environment",
    [
        (None, {}),
        ('pytest_plugins = ["dio.pytest_plugin"]\n', {}),
        ('pytest_plugins = ["dio.pytest_plugin"]\n', {"PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"}),
    ],
    ids=["entry point", "named as well", "named only"],
)
def test_readme_example_runs_as_written(tmp_path, conftest, environment):
    section = README.read_text().split("## Scripting in Python", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"(?:^(?:    .*)?\n)+", section, re.M)  # the indented code blocks
    example = next(block for block in blocks if "def test_" in block)
    example = "\n".join(line[4:] for line in example.splitlines())
    (tmp_path / "test_bench.py").write_text(example)
    if conftest:
        (tmp_path / "conftest.py").write_text(conftest)
    environment |= {k: v for k, v in os.environ.items() if k not in ("KAVREN_SIM_STATE", "PYTEST_ADDOPTS")}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_bench.py"],
                          cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(r"\b[2-9] passed\b", done.stdout), done.stdout



def test_a_plain_import_reaches_the_simulator():
    code = "import dio; print(dio.sim.status()[0].serial)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip(), done.stderr


def test_a_change_by_dio_sim_shows_at_the_very_next_call(dio_sim):
    """dio.sim's change reaches the library's next call in the same thread, however soon it comes."""
    for _ in range(50):
        dio_sim.clear()
        dio.devices()
        dio_sim.fail("ListDevices")
        with pytest.raises(dio.DeviceError, match="Error Listing Devices"):
            dio.devices()


def test_each_listing_uses_the_state_the_environment_names_now(tmp_path, monkeypatch):
    """Variables added, changed and removed, before and after the two that name the state, show at the
    next listing: each state holds a device of its own, and the listing tells which state was used."""
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    states = {"a": tmp_path / "a.state", "b": tmp_path / "b.state", "runtime": runtime / "kavren-sim.state"}

    def use(name):
        if name == "runtime":
            monkeypatch.delenv("KAVREN_SIM_STATE")
        else:
            monkeypatch.setenv("KAVREN_SIM_STATE", str(states[name]))

    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))
    for name in states:
        use(name)
        dio.sim.add(f"IN-{name.upper()}", "marks its state")
    steps = [
        (lambda: use("a"), "a"),
        (lambda: monkeypatch.setenv("DIO_TEST_PADDING", "x"), "a"),  # the array grows
        (lambda: use("b"), "b"),  # an entry replaced in place
        (lambda: monkeypatch.delenv("HOME", raising=False), "b"),  # entries before it move down
        (lambda: use("runtime"), "runtime"),  # removed: the runtime directory's state
        (lambda: use("a"), "a"),  # added again at the end
        (lambda: monkeypatch.delenv("DIO_TEST_PADDING"), "a"),
        (lambda: monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path)), "a"),  # not used while it is set
        (lambda: use("runtime"), None),  # a runtime directory with no state yet: a new one is made
    ]
    for change, expected in steps:
        change()
        marks = [d.serial for d in dio.devices() if d.serial.startswith("IN-")]  # through the library
        assert marks == ([f"IN-{expected.upper()}"] if expected else []), (expected, marks)


def test_an_open_device_keeps_its_state_and_the_next_open_uses_the_state_named_now(tmp_path, monkeypatch):
    """The environment is looked at when a device is opened or listed, not by each call on an open device:
    a device opened before the state was named anew goes on as it was, and one opened after it (with no
    listing in between) is found in the state named now."""
    monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "b.state"))
    dio.sim.add("IN-B", "only in b", mode="manual")
    dio.sim.set_inputs("IN-B", 0x00, 0x5A)
    dio.sim.set_inputs("IN-B", 0x01, 0xA5)
    monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "a.state"))
    with dio.Device("DIO-SIM-0001") as device:
        device.write(0x10, 0x33)
        monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "b.state"))
        assert (device.read(0x10), device.read(0x00)) == (0x33, 0x33)
        with dio.Device("IN-B") as other:
            assert (other.read(0x00), other.read(0x01)) == (0x5A, 0xA5)


def _moved_in_behind_the_last(monkeypatch, state):
    """The variable is added where one was removed, and the last entry is set again: the array, its
    length and its last entry (glibc hands back the same string for the same value) are as before."""
    monkeypatch.delenv("DIO_TEST_PADDING")
    monkeypatch.setenv("KAVREN_SIM_STATE", str(state))
    monkeypatch.delenv("DIO_TEST_LAST")
    monkeypatch.setenv("DIO_TEST_LAST", "y")


_PUT_ENTRIES = []


def _edited_in_place(monkeypatch, state):
    """putenv makes the caller's buffer the entry: writing to it changes the environment."""
    libc = ctypes.CDLL(None)
    entry = ctypes.create_string_buffer(b"KAVREN_SIM_STATE=" + bytes(state.with_suffix(".first")))
    assert libc.putenv(entry) == 0
    _PUT_ENTRIES.append(entry)  # an entry of the environment until the variable is set again: never freed
    assert [d.serial for d in dio.devices() if d.serial.startswith("IN-")] == []
    entry.value = b"KAVREN_SIM_STATE=" + bytes(state)


@pytest.mark.parametrize("change", [_moved_in_behind_the_last, _edited_in_place])
def test_a_state_named_behind_the_environments_bounds_is_used(tmp_path, monkeypatch, change):
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))
    monkeypatch.delenv("KAVREN_SIM_STATE")
    dio.sim.add("IN-RUNTIME", "the runtime directory's state")
    monkeypatch.setenv("DIO_TEST_PADDING", "x")
    monkeypatch.setenv("DIO_TEST_LAST", "y")
    assert [d.serial for d in dio.devices() if d.serial.startswith("IN-")] == ["IN-RUNTIME"]
    monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "named.state"))
    dio.sim.add("IN-NAMED", "the named state")
    monkeypatch.delenv("KAVREN_SIM_STATE")
    change(monkeypatch, tmp_path / "named.state")
    assert [d.serial for d in dio.devices() if d.serial.startswith("IN-")] == ["IN-NAMED"]
