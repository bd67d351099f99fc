"""Refused commands: each bad payload writes nothing and is answered by exactly one error naming its topic."""
import json
import subprocess
import time

import pytest

from conftest import DIO, DIO_SIM, Bridge, Broker, Client, simulator_environment

SIM1 = "DIO-SIM-0001"

REFUSED = [
    ("set", '{"0x12": 1}', "unknown port"),
    ("set", '{"0x00": 1}', "input port"),
    ("set", '{"0x10": 256}', "0 to 255"),
    ("set", '{"0x10": -1}', "0 to 255"),
    ("set", '{"0x10": 1.0}', "0 to 255"),
    ("set", '{"0x10": "7"}', "0 to 255"),
    ("set", '{"0x10": true}', "0 to 255"),
    ("set", '{"0x10": 18446744073709551617}', "0 to 255"),
    ("set", '{"0x10": 1, "0x11": 300}', "0 to 255"),  # the good half is not written either
    ("set", '{"0x11": 2, "0x13": 2}', "unknown port"),
    ("set", '{"0x10": 1, "0x10": 2}', "named twice"),
    ("set", '{"0x10": 1, "16": 2}', "named twice"),
    ("set", '{"0x10": 1e400}', "not JSON"),
    ("set", b'{"0x10": "\xff"}', "not JSON"),
    ("set", b'{"0x10": 1}\x00{"0x11": 2}', "not JSON"),  # nothing after a NUL byte is let through
    ("set", "not json", "not JSON"),
    ("set", '{"0x10": 1', "not JSON"),
    ("set", "", "not JSON"),
    ("set", "[16, 1]", "JSON object"),
    ("set", "{}", "JSON object"),
    ("set", '{"0x10": ' + "[" * 400 + "]" * 400 + "}", "0 to 255"),
    ("set", '{"0x10": 1, "pad": "' + "x" * 1100 + '"}', "longer than 1024"),
    ("set/0x10/8", "ON", "unknown bit"),
    ("set/0x10/-1", "ON", "unknown bit"),
    ("set/0x10/01", "ON", "unknown bit"),
    ("set/0x01/1", "ON", "input port"),
    ("set/0x20/1", "ON", "unknown port"),
    ("set/0x10/1", "maybe", "ON or OFF"),
    ("set/0x10/1", "", "ON or OFF"),
    ("set/0x10/1", "ON " * 400, "longer than 1024"),
]


@pytest.fixture(scope="module")
def shared(tmp_path_factory, tls_files):
    """One broker and bridge for the whole table: each row costs a command, not a start."""
    directory = tmp_path_factory.mktemp("commands")
    broker = Broker(directory, tls_files)
    env = simulator_environment(directory)
    subprocess.run([DIO_SIM, "reset"], env=env, check=True)
    bridge = Bridge(["--simulator", "--broker", f"mqtt://127.0.0.1:{broker.port}", "--interval", "20",
                     "--client-id", "dio-mqtt-commands"], env, directory / "bridge.log")
    c = Client(broker)
    c.port, c.log_dir = broker.port, directory
    c.wait(f"dio/{SIM1}")
    yield env, c
    c.close()
    bridge.terminate()
    broker.stop()


@pytest.fixture
def running(shared):
    env, c = shared
    c.clear()
    c.publish(f"dio/{SIM1}/set", '{"0x10": 90, "0x11": 60}')
    c.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 90)
    c.clear()
    return c


@pytest.fixture
def dio(shared):
    env, _ = shared

    def run(*arguments):
        return subprocess.run([DIO, "--simulator", *arguments], env=env, check=True, capture_output=True,
                              text=True, timeout=30).stdout

    return run


@pytest.mark.parametrize("suffix,payload,reason", REFUSED, ids=[f"{s} {p[:24]!r}" for s, p, _ in REFUSED])
def test_a_refused_command_writes_nothing_and_says_why(running, dio, suffix, payload, reason):
    topic = f"dio/{SIM1}/{suffix}"
    running.publish(topic, payload)
    error = json.loads(running.wait(f"dio/{SIM1}/error"))
    assert reason in error["error"] and error["topic"] == topic
    time.sleep(0.2)
    assert len(running.on(f"dio/{SIM1}/error")) == 1
    assert dio("read", SIM1, "0x10", "0x11") == "0x10=0x5A\n0x11=0x3C\n"
    assert running.on(f"dio/{SIM1}") == []


def test_a_retained_command_is_not_applied_at_subscription(running, shared, dio):
    running.client.publish(f"dio/{SIM1}/set", '{"0x10": 1}', qos=1, retain=True).wait_for_publish(10)
    running.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 1)  # live, it is a fresh command
    dio("write", SIM1, "0x10=0x5A")
    running.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 0x5A)  # the running bridge saw it
    late = Bridge(["--simulator", "--broker", f"mqtt://127.0.0.1:{running.port}", "--client-id", "dio-mqtt-late"],
                  shared[0], running.log_dir / "late.log")
    try:
        error = json.loads(running.wait(f"dio/{SIM1}/error"))
        assert "retained" in error["error"]
        assert dio("read", SIM1, "0x10") == "0x10=0x5A\n"
    finally:
        late.terminate()
        running.client.publish(f"dio/{SIM1}/set", b"", qos=1, retain=True).wait_for_publish(10)


def test_a_command_for_no_bridged_device_is_answered(running):
    running.publish("dio/NOT-HERE/set/0x10/1", "ON")
    assert json.loads(running.wait("dio/NOT-HERE/error")) == {
        "error": "no bridged device has this serial number", "topic": "dio/NOT-HERE/set/0x10/1"}


def test_a_flood_of_commands_is_applied_in_order(running, dio):
    for value in range(200):
        running.client.publish(f"dio/{SIM1}/set", json.dumps({"0x10": value}), qos=1)
    running.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 199, timeout=60)
    values = [json.loads(p)["0x10"] for p in running.on(f"dio/{SIM1}")]
    assert values == list(range(200))
    assert dio("read", SIM1, "0x10") == "0x10=0xC7\n"
