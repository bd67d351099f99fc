"""An MQTT 5 broker may tell the bridge a keep-alive shorter than its own 30 s (Server Keep Alive) and drops it
when half as long again passes without a packet. Mosquitto sets none below 10 s, so the broker here is a
listener that speaks just enough MQTT 5 for the bridge to idle on it, and closes the connection as such a
broker would."""
import socket
import threading
import time

import pytest

from conftest import free_ports, wait_for

PINGREQ, PINGRESP = b"\xc0\x00", b"\xd0\x00"
SUBSCRIBE, SUBACK = 0x80, 0x90


def read_packet(connection):
    """The first byte and the body of the next packet, or None once the peer closed."""

    def exactly(count):
        data = b""
        while len(data) < count:
            chunk = connection.recv(count - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    try:
        first = exactly(1)[0]
        length, shift = 0, 0
        while True:
            byte = exactly(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        return first, exactly(length)
    except EOFError:
        return None


class ShortKeepAliveBroker:
    """Accepts one bridge, answers its subscriptions and pings, and closes the connection when no packet came
    for 1.5 times the keep-alive it set."""

    def __init__(self, keepalive):
        self.keepalive = keepalive
        self.pings = 0
        self.dropped = False
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", free_ports(1)[0]))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        connection, _ = self.listener.accept()
        with connection:
            read_packet(connection)  # CONNECT
            connection.sendall(bytes([0x20, 6, 0, 0, 3, 0x13, 0, self.keepalive]))  # CONNACK, Server Keep Alive
            connection.settimeout(1.5 * self.keepalive)
            while True:
                try:
                    packet = read_packet(connection)
                except socket.timeout:
                    self.dropped = True
                    return
                if packet is None:
                    return
                first, body = packet
                if first == PINGREQ[0]:
                    self.pings += 1
                    connection.sendall(PINGRESP)
                elif first & 0xF0 == SUBSCRIBE:
                    connection.sendall(bytes([SUBACK, 4]) + body[:2] + b"\x00\x01")  # granted QoS 1

    def close(self):
        self.listener.close()


# A sixth of 3 s or 6 s is well within half of it; waking every 5 s whatever the broker said pinged too late.
@pytest.mark.parametrize("keepalive", [3, 6])
def test_an_idle_bridge_pings_within_a_short_keepalive_its_broker_sets(bridge, keepalive):
    broker = ShortKeepAliveBroker(keepalive)
    try:
        # A device whose inputs stay as they are: nothing but pings keeps the connection alive.
        b = bridge("--protocol", "5", "--serial", "DIO-SIM-0001", broker_url=f"mqtt://127.0.0.1:{broker.port}")
        wait_for(lambda: broker.pings >= 2 or broker.dropped, timeout=10 * keepalive, what="two pings")
        assert not broker.dropped, f"the broker heard nothing for {1.5 * keepalive} s: {b.errors()}"
        assert b.terminate() == 0
    finally:
        broker.close()
