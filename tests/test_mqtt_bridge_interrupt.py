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


def end_session(benchmark):
    """Kills everything the benchmark, started in a session of its own, left in it, and reaps it."""
    try:
        os.killpg(benchmark.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    benchmark.wait()


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
        end_session(benchmark)


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


@pytest.mark.parametrize("phase, chosen, lengths", [
    ("latency", '*" --serial MAN-1 "*', ["--samples", "100000"]),
    # its bridge: the only one without --interval
    ("commands", '*" --interval "*) exec "$real" "$@" ;; *', ["--samples", "5", "--commands", "10000000"]),
])
def test_a_bridge_that_ends_while_answering_fails_the_run(tmp_path, phase, chosen, lengths):
    """Waiting on for read-backs that never come would end, hours later, in a figure of the timeouts."""
    binaries = pathlib.Path(BENCHMARK).parent
    shutil.copy(BENCHMARK, tmp_path)
    for name in ("dio-sim", "mqtt_timer_floor", "mqtt_library_floor", "mqtt_input_setter"):
        (tmp_path / name).symlink_to(binaries / name)
    # The chosen phase's bridge is killed a second into it; every other runs as it is.
    (tmp_path / "dio-mqtt").write_text(f'#!/bin/sh\nreal="{binaries / "dio-mqtt"}"\ncase " $* " in\n'
                                       f'{chosen}) exec timeout -s KILL 1 "$real" "$@" ;;\nesac\nexec "$real" "$@"\n')
    (tmp_path / "dio-mqtt").chmod(0o755)
    benchmark = subprocess.Popen([str(tmp_path / "mqtt_bridge"), "--seconds", "0.2", "--runs", "1", *lengths],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
                                 env=dict(os.environ, TMPDIR=str(tmp_path)))
    try:
        out, err = benchmark.communicate(timeout=120)
    finally:  # whatever failed, nothing of this test stays running
        end_session(benchmark)
    assert benchmark.returncode == 1 and f"ended during the {phase} phase, exit -9" in err, err
    assert "per second" not in out and "input change" not in out
