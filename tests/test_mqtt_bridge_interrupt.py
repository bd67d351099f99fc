"""The bridge benchmark interrupted in each of its phases ends as interrupted, leaving no broker, bridge,
floor or helper running and no temporary state behind; and one whose measured programs end early fails."""

import os
import pathlib
import shutil
import signal
import subprocess
import time

import pytest

BENCHMARK = os.environ["MQTT_BRIDGE"]


def children(pid):
    """(pid, command line) of every live process whose parent is `pid`."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if fields[0] != "Z" and int(fields[1]) == pid:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    found.append((int(entry), cmdline.read().replace(b"\0", b" ").decode()))
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("phase, marker", [
    ("broker starting", "mosquitto"),
    ("CPU", "mqtt_timer_floor"),
    ("latency", "mqtt_input_setter"),
    ("commands", "DIO-SIM-0001"),  # its bridge: the only one started without --interval
])
def test_interrupt_leaves_nothing(tmp_path, phase, marker):
    benchmark = subprocess.Popen(
        [BENCHMARK, "--seconds", "0.5", "--runs", "1"], env=dict(os.environ, TMPDIR=str(tmp_path)),
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 120
        started = []
        while time.monotonic() < deadline and benchmark.poll() is None:
            started = children(benchmark.pid)
            if any(marker in command and (phase != "commands" or "dio-mqtt" in command
                                          and "--interval" not in command) for _, command in started):
                break
            time.sleep(0.005)
        assert benchmark.poll() is None, f"the benchmark ended before its {phase} phase"
        benchmark.send_signal(signal.SIGINT)
        benchmark.wait(timeout=60)
        assert benchmark.returncode == -signal.SIGINT, benchmark.stderr.read().decode()
        left = [(pid, command) for pid, command in started if alive(pid)]
        assert not left
        assert not list(tmp_path.iterdir())
    finally:  # whatever failed, nothing of this test stays running
        try:
            os.killpg(benchmark.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        benchmark.wait()


@pytest.mark.parametrize("program", ["dio-mqtt", "mqtt_library_floor", "mqtt_timer_floor"])
def test_a_measured_program_that_ends_fails_the_run(tmp_path, program):
    """One that ended would measure as next to no CPU: a figure that flatters the bridge."""
    binaries = pathlib.Path(BENCHMARK).parent
    shutil.copy(BENCHMARK, tmp_path)  # a copy: it finds the programs beside its own resolved path
    for name in ("dio-mqtt", "dio-sim", "mqtt_timer_floor", "mqtt_library_floor"):
        (tmp_path / name).symlink_to(binaries / name)
    (tmp_path / program).unlink()
    (tmp_path / program).write_text("#!/bin/sh\nexit 3\n")
    (tmp_path / program).chmod(0o755)
    run = subprocess.run([str(tmp_path / "mqtt_bridge"), "--seconds", "0.5", "--runs", "1"], capture_output=True,
                         text=True, timeout=120, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert run.returncode == 1 and "ended during a CPU phase, exit 3" in run.stderr, run.stderr
    assert "over the floor" not in run.stdout
