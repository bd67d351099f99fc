"""The topic contract: retained state on subscribe, a change published once, commands by port and by bit
read back, device texts exact, serial numbers that cannot be topic levels left out."""
import json
import time

import pytest

from conftest import cpu_seconds, wait_for

SIM1, SIM2 = "DIO-SIM-0001", "DIO-SIM-0002"
LOOPBACK_DESCRIPTION = "Simulated USB DIO - outputs wired to inputs"


def test_retained_state_reaches_a_late_subscriber(bridge, client):
    bridge()
    first = client()
    first.wait(f"dio/{SIM1}")
    late = client()
    retained = {t: p for t, p, r in late.messages if r} if late.wait("dio/bridge/state", "online") else {}
    assert retained["dio/bridge/state"] == "online"
    assert retained[f"dio/{SIM1}/availability"] == "online"
    assert json.loads(retained[f"dio/{SIM1}"]) == {"0x00": 0, "0x01": 0, "0x10": 0, "0x11": 0}
    assert json.loads(retained["dio/bridge/devices"]) == [
        {"serial": SIM1, "description": LOOPBACK_DESCRIPTION, "version": "1.0-sim"},
        {"serial": SIM2, "description": "Simulated USB DIO - counting inputs", "version": "1.0-sim"}]


@pytest.mark.parametrize("first_read_ms", [0, 400], ids=["quick first read", "first read outlasting the connect"])
def test_an_input_change_is_published_once(bridge, client, sim, first_read_ms):
    sim("add", "MAN-1", "Manual bench", "--mode", "manual")
    watcher = client("dio/MAN-1")  # there before the bridge: every publish reaches it
    sim("delay", "ReadPort", str(first_read_ms // 4))  # four ports read in one open
    bridge("--serial", "MAN-1")
    watcher.wait("dio/MAN-1")
    sim("delay", "ReadPort", "0")
    sim("set", "MAN-1", "0x01", "0x5A")
    watcher.wait_json("dio/MAN-1", lambda s: s["0x01"] == 0x5A)
    time.sleep(0.5)  # some twenty polls of the unchanged device
    states = [json.loads(p) for p in watcher.on("dio/MAN-1")]
    assert [s["0x01"] for s in states] == [0, 0x5A]


def test_commands_by_port_and_by_bit_are_read_back(bridge, client, dio):
    bridge()
    c = client()
    c.wait(f"dio/{SIM1}")
    c.publish(f"dio/{SIM1}/set", '{"0x10": 165, "0x11": 3}')
    # Loopback: the inputs show the outputs in the read-back published at once.
    assert c.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 165) == {"0x00": 165, "0x01": 3, "0x10": 165, "0x11": 3}
    for topic, payload, expected in [("set/0x10/1", "ON", 167), ("set/0x10/7", "OFF", 39), ("set/16/0", "0", 38),
                                     ("set/0x10/3", "true", 46), ("set/0x10/3", "false", 38)]:
        c.publish(f"dio/{SIM1}/{topic}", payload)
        c.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == expected)
    assert "0x10=0x26" in dio("read", SIM1, "0x10")
    assert c.on(f"dio/{SIM1}/error") == []


def test_device_texts_are_exact_and_unfit_serials_are_left_out(bridge, client, sim):
    sim("add", "BANC-É1", "Banc d'essai café ü", "--version", "v2 ß")
    sim("add", "LAB/7", "slash")
    sim("add", "bridge", "the bridge's own name")
    b = bridge()
    c = client()
    devices = c.wait_json("dio/bridge/devices", lambda d: len(d) == 3)
    assert devices[2] == {"serial": "BANC-É1", "description": "Banc d'essai café ü", "version": "v2 ß"}
    assert json.loads(c.wait("dio/BANC-É1")) == {"0x00": 0, "0x01": 0, "0x10": 0, "0x11": 0}
    wait_for(lambda: "LAB/7 is not bridged" in b.errors() and "bridge is not bridged" in b.errors())


def test_options_from_a_config_file(bridge, client, tmp_path, broker):
    config = tmp_path / "dio-mqtt.conf"
    config.write_text(f'prefix = "lab/bench 3"\nserial = ["{SIM2}"]\nbroker = "mqtt://127.0.0.1:{broker.port}"\n')
    bridge("--config", str(config))
    c = client("lab/#")
    assert json.loads(c.wait("lab/bench 3/bridge/devices"))[0]["serial"] == SIM2
    c.wait(f"lab/bench 3/{SIM2}")
    time.sleep(0.3)
    assert not any(SIM1 in t for t, _, _ in c.messages)


def test_commands_and_new_devices_are_served_between_slow_polls_and_an_idle_bridge_sleeps(bridge, client, sim):
    # Polls a minute apart: every answer below comes from the command or the rescan, not from a poll.
    b = bridge(interval=60000, rescan=60)
    c = client()
    c.wait(f"dio/{SIM1}")
    for value in range(1, 21):
        c.publish(f"dio/{SIM1}/set", json.dumps({"0x10": value}))
        c.wait_json(f"dio/{SIM1}", lambda s, v=value: s["0x10"] == v, timeout=5)
    before = cpu_seconds(b.process.pid)
    time.sleep(1.0)
    assert cpu_seconds(b.process.pid) - before < 0.2  # waiting for the next event, not spinning


def test_a_device_found_by_a_rescan_is_read_at_once(bridge, client, sim):
    bridge(interval=60000, rescan=1)
    c = client()
    c.wait(f"dio/{SIM1}")
    sim("add", "MAN-1", "Manual bench", "--mode", "manual")
    sim("set", "MAN-1", "0x01", "9")
    assert c.wait_json("dio/MAN-1", lambda s: True, timeout=5)["0x01"] == 9
