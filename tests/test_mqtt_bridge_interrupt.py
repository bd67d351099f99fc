"""The bridge benchmark interrupted in each of its phases ends as interrupted, leaving no broker, bridge,
floor or helper running and no temporary state behind."""

import os
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
