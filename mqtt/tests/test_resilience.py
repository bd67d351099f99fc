"""The bridge survives: a device unplugged and plugged again, failing library calls, the broker going away
with a command sent meanwhile, and it stops cleanly on SIGTERM even in the middle of a slow call."""
import json
import signal
import time

import pytest

from conftest import wait_for

SIM1, SIM2 = "DIO-SIM-0001", "DIO-SIM-0002"


def retained_configs(client, serial):
    """The device's discovery configs the broker keeps: an emptied one is kept no more. A message published
    after subscribing arrives after every retained one."""
    fresh = client("homeassistant/#")
    fresh.publish("homeassistant/end", "end")
    fresh.wait("homeassistant/end")
    return [t for t, p, _ in fresh.messages if p and f"/dio_{serial}/" in t]


def test_availability_follows_unplug_and_replug(bridge, client, sim):
    bridge()
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    c.clear()
    sim("unplug", SIM1)
    c.wait(f"dio/{SIM1}/availability", "offline", timeout=10)
    c.wait_json("dio/bridge/devices", lambda d: [x["serial"] for x in d] == ["DIO-SIM-0002"])
    sim("plug", SIM1)
    c.wait(f"dio/{SIM1}/availability", "online", timeout=10)
    assert c.on(f"dio/{SIM1}/availability") == ["offline", "online"]


def test_a_failing_call_is_published_and_polling_goes_on(bridge, client, sim):
    sim("add", "MAN-1", "Manual bench", "--mode", "manual")
    sim("fail", "ReadPort", "--serial", "MAN-1", "--always", "--status", "-7", "--message", "port jammed ü")
    c = client()
    bridge()
    error = json.loads(c.wait("dio/MAN-1/error"))
    assert error == {"operation": "ReadPort", "status": -7, "message": "port jammed ü"}
    c.wait("dio/MAN-1/availability", "online")  # it opens: it is there
    time.sleep(0.3)
    assert len(c.on("dio/MAN-1/error")) == 1  # a lasting fault is told once, not on every poll
    sim("clear")
    sim("set", "MAN-1", "0x00", "7")
    c.wait_json("dio/MAN-1", lambda s: s["0x00"] == 7)


@pytest.mark.parametrize("protocol", ["3.1.1", "5"])
def test_a_command_sent_while_the_broker_was_away_is_applied_once(bridge, client, broker, dio, protocol):
    b = bridge("--protocol", protocol)
    c = client()
    c.wait(f"dio/{SIM1}")
    c.close()
    broker.stop()
    broker.start()
    # The bridge is waiting at least a second before it tries again: these wait in its session.
    sender = client()
    sender.publish(f"dio/{SIM1}/set", '{"0x11": 77}')
    sender.publish(f"dio/{SIM1}/set", '{"0x11": 999}')
    sender.wait_json(f"dio/{SIM1}", lambda s: s["0x11"] == 77, timeout=20)
    sender.wait(f"dio/{SIM1}/error")
    time.sleep(1.5)
    assert len(sender.on(f"dio/{SIM1}/error")) == 1
    assert dio("read", SIM1, "0x11") == "0x11=0x4D\n"
    assert "no connection to the broker" in b.errors()
    assert "another client" not in b.errors()  # a restart is not taken for a second bridge with the same id
    # Everything is published again on the new connection.
    assert sender.last("dio/bridge/state") == "online"


def test_a_restarted_broker_without_its_data_gets_everything_again(bridge, client, broker):
    bridge()
    client().wait(f"dio/{SIM1}")
    broker.stop()
    for stored in broker.dir.glob("*.db"):
        stored.unlink()
    broker.start()
    late = client()
    late.wait("dio/bridge/state", "online", timeout=20)
    late.wait(f"dio/{SIM1}/availability", "online")
    late.wait(f"dio/{SIM1}")
    late.wait("dio/bridge/devices")


def test_a_device_gone_while_the_broker_was_away_is_offline_once_it_is_back(bridge, client, broker, sim):
    bridge("--homeassistant")
    client().wait(f"dio/{SIM1}/availability", "online")
    broker.stop()
    sim("remove", SIM1)
    time.sleep(2.5)  # two rescans find it gone while the broker is away
    broker.start()
    late = client("dio/#", "homeassistant/#")
    late.wait(f"dio/{SIM1}/availability", "offline", timeout=20)
    wait_for(lambda: not retained_configs(client, SIM1), what="the configs emptied")
    late.wait_json("dio/bridge/devices", lambda d: [x["serial"] for x in d] == ["DIO-SIM-0002"])


@pytest.mark.parametrize("options", [[], ["--homeassistant"]], ids=["plain", "homeassistant"])
def test_an_offline_lost_with_its_connection_is_told_again_when_the_device_goes_meanwhile(bridge, client, broker,
                                                                                         sim, options):
    b = bridge(*options)
    client().wait(f"dio/{SIM1}/availability", "online")
    broker.stop()  # its saved data keeps the device online
    broker.start()
    wait_for(lambda: b.errors().count("connected to the broker") == 2, timeout=20, what="the reconnect")
    broker.process.send_signal(signal.SIGSTOP)
    sim("fail", "OpenDevice", "--serial", SIM1, "--always")
    time.sleep(0.3)  # the device's offline is handed to a connection whose broker never reads it
    broker.process.kill()
    broker.process.wait()
    sim("remove", SIM1)
    time.sleep(1.5)  # a rescan finds it gone while the broker is away
    broker.start()
    late = client("dio/#")
    late.wait(f"dio/{SIM1}/availability", "offline", timeout=20)


@pytest.mark.parametrize("options", [[], ["--homeassistant"]], ids=["plain", "homeassistant"])
def test_a_departure_sent_to_a_broker_that_dies_before_reading_it_is_told_again(bridge, client, broker, sim,
                                                                               options):
    bridge(*options)
    client().wait(f"dio/{SIM1}/availability", "online")
    broker.process.send_signal(signal.SIGSTOP)
    sim("remove", SIM1)
    time.sleep(1.5)  # a rescan sends the departure to a connection whose broker never reads it
    broker.process.kill()
    broker.process.wait()
    broker.start()
    late = client("dio/#", "homeassistant/#")
    late.wait(f"dio/{SIM1}/availability", "offline", timeout=20)
    if options:
        wait_for(lambda: not retained_configs(client, SIM1), what="the configs emptied")


def test_a_departure_the_broker_read_is_not_told_again(bridge, client, broker, sim):
    b = bridge()
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    sim("remove", SIM1)
    c.wait_json("dio/bridge/devices", lambda d: [x["serial"] for x in d] == [SIM2])  # the departure
    time.sleep(0.5)  # the receipt that follows it is acknowledged
    broker.stop()
    broker.start()
    late = client()
    wait_for(lambda: any(t == "dio/bridge/devices" and not r for t, _, r in late.messages), timeout=20,
             what="the republish")
    assert [(p, r) for t, p, r in late.messages if t == f"dio/{SIM1}/availability"] == [("offline", True)]
    assert b.errors().count("connected to the broker") == 2


@pytest.mark.parametrize("options", [[], ["--homeassistant"]], ids=["plain", "homeassistant"])
def test_a_stop_said_by_the_watcher_before_a_republish_tells_a_device_gone_meanwhile(bridge, client, broker, sim,
                                                                                    options):
    b = bridge(*options)
    first = client("dio/#", "homeassistant/#")
    first.wait(f"dio/{SIM1}/availability", "online")
    if options:  # the other device's configs are in the broker's save before it stops
        first.wait(f"homeassistant/switch/dio_{SIM2}/0x10_0/config")
    broker.stop()
    sim("remove", SIM1)
    time.sleep(1.5)  # a rescan finds it gone while the broker is away
    sim("delay", "ReadPort", "10000")  # the bridge's thread is held up past the reconnect and the stop
    broker.start()
    wait_for(lambda: b.errors().count("connected to the broker") == 2, timeout=20, what="the reconnect")
    assert b.terminate() == 0
    late = client("dio/#", "homeassistant/#")
    late.wait("dio/bridge/state", "offline")
    late.wait(f"dio/{SIM1}/availability", "offline")
    if options:  # an emptied config is no longer retained; the other device's is
        late.wait(f"homeassistant/switch/dio_{SIM2}/0x10_0/config")
        assert late.on(f"homeassistant/switch/dio_{SIM1}/0x10_0/config") == []


def test_commands_taken_when_a_stop_comes_are_applied_or_left_to_the_broker(bridge, client, sim, dio):
    b = bridge()
    c = client()
    c.wait(f"dio/{SIM1}")
    sim("delay", "WritePort", "80")
    for bit in range(16):  # a backlog of some 1.5 s of device calls
        c.client.publish(f"dio/{SIM1}/set/{0x10 + bit // 8:#x}/{bit % 8}", "ON", qos=1)
    time.sleep(0.4)
    assert b.terminate() == 0
    sim("delay", "WritePort", "0")
    bridge()  # the same session: what the first one had not taken is delivered now
    c.wait_json(f"dio/{SIM1}", lambda s: s["0x10"] == 0xFF and s["0x11"] == 0xFF, timeout=15)
    assert dio("read", SIM1, "0x10", "0x11") == "0x10=0xFF\n0x11=0xFF\n"


@pytest.mark.parametrize("interval", [20, 60000])
def test_a_stop_amid_a_flood_of_commands_leaves_the_device_state_retained(bridge, client, dio, interval):
    b = bridge(interval=interval)
    c = client(f"dio/{SIM1}")
    c.wait(f"dio/{SIM1}")
    for i in range(600):  # read-backs far beyond what the in-flight limit lets out before the stop
        c.client.publish(f"dio/{SIM1}/set", json.dumps({"0x10": i % 255 + 1}), qos=1)
    time.sleep(0.3)
    assert b.terminate() == 0
    device = json.loads(dio("read", "--json", SIM1))["ports"]
    assert json.loads(client(f"dio/{SIM1}").wait(f"dio/{SIM1}")) == device


def test_a_stop_while_slow_calls_hold_up_a_flood_loses_no_command(bridge, client, sim, dio):
    b = bridge(interval=60000, rescan=60)
    c = client(f"dio/{SIM1}", f"dio/{SIM1}/availability")
    c.wait(f"dio/{SIM1}")
    for value in range(1, 241):
        c.client.publish(f"dio/{SIM1}/set", json.dumps({"0x10": value}), qos=1)
    time.sleep(0.3)
    sim("delay", "WritePort", "50")
    assert b.terminate() == 0
    c.wait(f"dio/{SIM1}/availability", "offline")
    sim("delay", "WritePort", "0")
    bridge(interval=60000, rescan=60)  # the same session: the broker delivers what the first did not take
    wait_for(lambda: dio("read", SIM1, "0x10") == "0x10=0xF0\n", timeout=30, what="the last command")
    seen = [json.loads(p)["0x10"] for p in c.on(f"dio/{SIM1}")]
    assert [v for i, v in enumerate(seen) if i == 0 or v != seen[i - 1]] == list(range(241))


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_stop_signal_publishes_offline_and_exits_zero(bridge, client, sig):
    b = bridge()
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    assert b.terminate(sig) == 0
    c.wait("dio/bridge/state", "offline")
    c.wait(f"dio/{SIM1}/availability", "offline")
    c.wait("dio/DIO-SIM-0002/availability", "offline")


def test_a_hangup_left_ignored_stays_ignored(bridge, client):
    b = bridge(ignore_hangup=True)  # as under nohup
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    b.process.send_signal(signal.SIGHUP)
    time.sleep(1)
    assert b.process.poll() is None and c.on("dio/bridge/state") == ["online"]
    assert b.terminate() == 0


def test_sigterm_in_a_slow_library_call_still_ends_promptly(bridge, client, sim):
    b = bridge()
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    sim("delay", "ReadPort", "8000")
    time.sleep(0.5)  # the bridge is now inside an 8-second call
    started = time.monotonic()
    assert b.terminate(timeout=6) == 0
    assert time.monotonic() - started < 6
    c.wait("dio/bridge/state", "offline")
    c.wait(f"dio/{SIM1}/availability", "offline")


def test_sigterm_without_a_broker_ends_at_once(bridge, sim_env):
    b = bridge(broker_url="mqtt://127.0.0.1:1")
    wait_for(lambda: "retrying" in b.errors())
    assert b.terminate(timeout=5) == 0


def test_a_second_signal_ends_it_at_once(bridge, client, sim):
    b = bridge()
    client().wait(f"dio/{SIM1}")
    sim("delay", "ReadPort", "8000")
    time.sleep(0.5)
    b.process.send_signal(signal.SIGTERM)
    time.sleep(0.1)  # two signals at once would be one
    b.process.send_signal(signal.SIGTERM)
    assert b.process.wait(timeout=5) == 128 + signal.SIGTERM


def test_two_bridges_with_one_client_id_are_told_and_do_not_flap_every_second(bridge, client):
    c = client("dio/bridge/state")
    first, second = bridge(), bridge()
    wait_for(lambda: "another client using the client id dio-mqtt-test" in first.errors() + second.errors())
    c.clear()
    time.sleep(4)
    assert len(c.on("dio/bridge/state")) <= 3  # each (re)connection says online; every second would be 8


# Messages handed to a broker that does not read them are delivered (or lost) in order: what was published
# when the devices came back is what the broker ends with.
@pytest.mark.parametrize("end, protocol", [("resumed", "5"), ("killed", "3.1.1")])
def test_devices_gone_and_back_while_the_broker_is_frozen_end_online_with_their_configs(bridge, client, broker,
                                                                                       sim, end, protocol):
    bridge("--homeassistant", "--protocol", protocol)
    client().wait(f"dio/{SIM2}/availability", "online")
    broker.process.send_signal(signal.SIGSTOP)
    for serial in (SIM1, SIM2):
        sim("unplug", serial)
    time.sleep(1.5)  # a rescan sends the departures to a broker that does not read them
    for serial in (SIM1, SIM2):
        sim("plug", serial)
    time.sleep(1.5)  # and the next finds the devices back
    if end == "killed":
        broker.process.kill()
        broker.process.wait()
        broker.start()
    else:
        broker.process.send_signal(signal.SIGCONT)
    sender = client("dio/#")
    for serial in (SIM1, SIM2):
        sender.wait(f"dio/{serial}/availability", "online", timeout=20)
    sender.publish(f"dio/{SIM1}/set", '{"0x10": 1}')  # answered once all published before it landed
    sender.wait_json(f"dio/{SIM1}", lambda state: state["0x10"] == 1)
    final = client("dio/#", "homeassistant/#")
    sender.publish("homeassistant/end", "end")  # after every retained message the subscriptions gave
    final.wait("homeassistant/end")
    for serial in (SIM1, SIM2):
        assert final.last(f"dio/{serial}/availability") == "online"
        configs = [t for t, p, _ in final.messages if p and f"/dio_{serial}/" in t]
        assert len(configs) == 32, f"{32 - len(configs)} configs of {serial} are emptied"
