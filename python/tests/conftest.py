"""Every test runs on a simulator state of its own; this process uses the bundled simulator."""
import os
import subprocess
import sys

import pytest

import dio

dio.use_simulator()


@pytest.fixture(autouse=True)
def sim_state(tmp_path, monkeypatch):
    monkeypatch.setenv("KAVREN_SIM_STATE", str(tmp_path / "kavren-sim.state"))
    return tmp_path


@pytest.fixture
def sim():
    """Runs dio-sim on this test's state."""

    def run(*arguments):
        subprocess.run(["dio-sim", *arguments], check=True, capture_output=True)

    return run


@pytest.fixture
def python(tmp_path):
    """Runs Python code in a process of its own (the library choice is per process) and returns what it
    printed. Only the environment given chooses the library."""

    def run(code, **environment):
        env = {k: v for k, v in os.environ.items() if k not in ("KAVREN_LIBRARY", "LD_LIBRARY_PATH")}
        env.update(environment)
        done = subprocess.run([sys.executable, "-c", "import dio\n" + code], env=env, cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
        return done.stdout + done.stderr

    return run
