"""pytest fixtures for bench tests on the simulated devices, loaded by pytest by itself (the package's
pytest11 entry point) or with pytest_plugins = ["dio.pytest_plugin"]:

    def test_ready_follows_the_output(dio_sim, dio_device):
        dio_device.write(0x10, 0x01)
        assert dio_device.wait_for(0x00, 0x01, mask=0x01, timeout=2.0) & 0x01

dio_sim gives each test a simulator state of its own in its tmp_path (KAVREN_SIM_STATE set for the test
and restored after it), with the two default devices, and returns dio.sim to drive it. dio_device is
DIO-SIM-0001 opened on it and closed after the test (a failing close is the test's
own business and not raised again); it uses the bundled simulator (dio.use_simulator()),
so a process that already uses another device library gets RuntimeError.
"""

import collections.abc
import pathlib
import types

import pytest

import dio
import dio.sim


@pytest.fixture
def dio_sim(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> types.ModuleType:
    """dio.sim on a simulator state of this test's own, with the two default devices."""
    monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "kavren-sim.state"))
    dio.sim.reset()
    return dio.sim


@pytest.fixture
def dio_device(dio_sim: types.ModuleType) -> collections.abc.Iterator[dio.Device]:
    """DIO-SIM-0001 (outputs wired to inputs) opened on this test's simulator state."""
    dio.use_simulator()
    device = dio.Device("DIO-SIM-0001")
    try:
        yield device
    finally:
        try:
            device.close()
        except dio.DeviceError:
            pass  # the test unplugged it or made CloseDevice fail: its own close is what it checks
