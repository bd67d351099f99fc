"""Home Assistant discovery: per device 16 binary sensors and 16 switches whose configs are JSON with unique
ids, the availability topics and templates over the state; emptied when the device goes away."""
import json
import time

import pytest

from conftest import wait_for

SIM1, SIM2 = "DIO-SIM-0001", "DIO-SIM-0002"


def test_discovery_configs(bridge, client, sim):
    bridge("--homeassistant", "--homeassistant-prefix", "ha")
    c = client("ha/#", "dio/#")
    c.wait(f"dio/{SIM2}")
    configs = wait_for_configs(c, 64)
    unique = {config["unique_id"] for config in configs.values()}
    assert len(unique) == 64
    sensors = [t for t in configs if t.startswith("ha/binary_sensor/")]
    switches = [t for t in configs if t.startswith("ha/switch/")]
    assert len(sensors) == 32 and len(switches) == 32
    switch = configs["ha/switch/dio_DIO-SIM-0001/0x11_2/config"]
    assert switch["command_topic"] == f"dio/{SIM1}/set/0x11/2" and switch["state_topic"] == f"dio/{SIM1}"
    assert [a["topic"] for a in switch["availability"]] == ["dio/bridge/state", f"dio/{SIM1}/availability"]
    assert switch["device"]["sw_version"] == "1.0-sim"
    assert switch["device"]["model"] == "Simulated USB DIO - outputs wired to inputs"
    assert "value_json['0x11']" in switch["value_template"] and "bitwise_and(4)" in switch["value_template"]
    sensor = configs["ha/binary_sensor/dio_DIO-SIM-0002/0x00_7/config"]
    assert "bitwise_and(128)" in sensor["value_template"] and "command_topic" not in sensor
    # The switch a hub sends ON to is a real output bit.
    c.publish(switch["command_topic"], "ON")
    c.wait_json(f"dio/{SIM1}", lambda s: s["0x11"] == 4)

    sim("remove", SIM2)
    removed = [f"ha/{kind}/dio_DIO-SIM-0002/{port}_{bit}/config" for kind, ports in
               [("binary_sensor", ("0x00", "0x01")), ("switch", ("0x10", "0x11"))] for port in ports for bit in range(8)]
    for topic in removed:
        c.wait(topic, "", timeout=10)


def test_ids_of_serials_with_other_characters_stay_distinct(bridge, client, sim):
    sim("add", "A_2E", "one")
    sim("add", "A.", "two")
    bridge("--homeassistant")
    c = client("homeassistant/#")
    configs = wait_for_configs(c, 4 * 32)
    nodes = {topic.split("/")[2] for topic in configs}
    assert {"dio_A_5F2E", "dio_A_2E"} <= nodes


@pytest.mark.parametrize("change, serial, told", [
    (("add", "MAN-1", "Manual bench"), "MAN-1", lambda config: config != ""),
    (("remove", SIM2), SIM2, lambda config: config == ""),
], ids=["a device added", "a device removed"])
def test_a_device_coming_or_going_leaves_the_others_configs_alone(bridge, client, sim, change, serial, told):
    c = client("homeassistant/#")  # there before the bridge: every publish reaches it
    bridge("--homeassistant")
    kept = f"homeassistant/switch/dio_{SIM1}/0x10_0/config"
    c.wait(kept)
    sim(*change)
    wait_for(lambda: any(told(p) for p in c.on(f"homeassistant/switch/dio_{serial}/0x10_0/config")),
             what=f"the configs of {serial}")
    time.sleep(0.3)  # the rest of that rescan's publishes
    assert len(c.on(kept)) == 1


def wait_for_configs(c, count):
    def collected():
        found = {t: json.loads(p) for t, p, _ in list(c.messages) if t.endswith("/config") and p}
        return found if len(found) >= count else None

    return wait_for(collected, what=f"{count} discovery configs")


@pytest.mark.parametrize("topic, described", [
    ("dio/bridge/devices",
     lambda payload: {"serial": SIM2, "description": "Bench relay", "version": "2.0"} in json.loads(payload)),
    (f"homeassistant/switch/dio_{SIM2}/0x10_0/config",
     lambda payload: payload != "" and json.loads(payload)["device"]["model"] == "Bench relay"),
], ids=["devices list", "discovery config"])
def test_a_serial_listed_again_as_another_device_is_told_as_it_is_now(bridge, client, sim, topic, described):
    c = client("dio/#", "homeassistant/#")
    bridge("--homeassistant")
    c.wait(topic)
    # Within one rescan, as a device swapped for another that carries the same serial number.
    sim("remove", SIM2)
    sim("add", SIM2, "Bench relay", "--version", "2.0")
    wait_for(lambda: any(described(p) for p in c.on(topic)), what=f"{SIM2} as it is now on {topic}")
