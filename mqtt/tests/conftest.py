"""A real mosquitto per test (plain listener, a TLS listener with a password file and one that wants a
client certificate), the bridge as a real process on a simulator state of its own, and a real MQTT client to
watch and drive it."""
import getpass
import json
import os
import pathlib
import signal
import socket
import subprocess
import threading
import time

import paho.mqtt.client as paho
import pytest

DIO_MQTT = os.environ["DIO_MQTT"]
DIO_SIM = os.environ["DIO_SIM"]
DIO = os.environ["DIO"]
USER, PASSWORD = "bench", "s3cret-pass"


def free_ports(count):
    """Ports free at the moment, all different: each socket stays bound until all are chosen."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for(condition, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


@pytest.fixture(scope="session")
def tls_files(tmp_path_factory):
    """A CA, the broker's certificate for localhost and a client's certificate, and a second CA that signed a
    client certificate the broker does not trust. Keys are made mode 600, as a key must be."""
    d = tmp_path_factory.mktemp("tls")

    def ssl(*args):
        subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)

    for ca in ("ca", "other-ca"):
        ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN=test {ca}",
            "-keyout", f"{ca}.key", "-out", f"{ca}.crt")
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", "server.key", "-out",
        "server.csr")
    (d / "san.ext").write_text("subjectAltName=DNS:localhost\n")
    ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-days",
        "2", "-extfile", "san.ext", "-out", "server.crt")
    for client, ca in (("client", "ca"), ("other-client", "other-ca")):
        ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={USER}", "-keyout", f"{client}.key", "-out",
            f"{client}.csr")
        ssl("x509", "-req", "-in", f"{client}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "2", "-out", f"{client}.crt")
    for key in d.glob("*.key"):
        os.chmod(key, 0o600)
    return d


class Broker:
    def __init__(self, directory, tls):
        self.dir = directory
        self.tls = tls
        for _ in range(5):  # another process may take a port between its choice and the broker's start
            self.port, self.tls_port, self.cert_port = free_ports(3)
            self.configure()
            self.process = subprocess.Popen(["mosquitto", "-c", str(directory / "mosquitto.conf")],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                wait_for(lambda: self.process.poll() is not None or self._listening(), what="the broker")
            except AssertionError:
                self.process.kill()
                raise
            if self.process.poll() is None:
                return
        raise AssertionError("the broker cannot listen")

    def configure(self):
        directory, tls = self.dir, self.tls
        passwords = directory / "passwords"
        passwords.write_text("")
        subprocess.run(["mosquitto_passwd", "-b", str(passwords), USER, PASSWORD], check=True,
                       capture_output=True)
        os.chmod(passwords, 0o600)
        # The broker keeps the test's user rather than changing to its own when started by root.
        (directory / "mosquitto.conf").write_text(f"""per_listener_settings true
user {getpass.getuser()}
persistence true
persistence_location {directory}/
log_dest file {directory}/broker.log
listener {self.port} 127.0.0.1
allow_anonymous true
listener {self.tls_port} 127.0.0.1
allow_anonymous false
password_file {passwords}
cafile {tls}/ca.crt
certfile {tls}/server.crt
keyfile {tls}/server.key
listener {self.cert_port} 127.0.0.1
require_certificate true
use_identity_as_username true
cafile {tls}/ca.crt
certfile {tls}/server.crt
keyfile {tls}/server.key
""")

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.dir / "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(self._listening, what="the broker to listen")

    def _listening(self):
        try:
            for port in (self.port, self.tls_port, self.cert_port):
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.process.terminate()  # saves the persistent sessions
        self.process.wait(timeout=10)


@pytest.fixture
def broker(tmp_path, tls_files):
    b = Broker(tmp_path, tls_files)
    yield b
    if b.process.poll() is None:
        b.stop()


class Client:
    """A subscriber that records every message, in order, as (topic, payload text, retained)."""

    def __init__(self, broker, topics=("dio/#",), **options):
        self.messages = []
        self.lock = threading.Lock()
        self.client = paho.Client(client_id="", clean_session=True)
        self.client.on_message = self._record
        connected = threading.Event()
        self.client.on_connect = lambda *_: connected.set()
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        assert connected.wait(10), "the test client cannot connect"
        for topic in topics:
            self.client.subscribe(topic, qos=1)
        time.sleep(0.2)

    def _record(self, _client, _userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode("utf-8", "replace"), message.retain))

    def on(self, topic):
        with self.lock:
            return [payload for t, payload, _ in self.messages if t == topic]

    def last(self, topic):
        found = self.on(topic)
        return found[-1] if found else None

    def wait(self, topic, payload=None, timeout=10.0):
        """The first payload on the topic (equal to `payload` when given)."""
        found = wait_for(lambda: next(([p] for p in self.on(topic) if payload is None or p == payload), None),
                         timeout, f"{topic} {payload}")
        return found[0]  # in a list, so that an empty payload counts as found

    def wait_json(self, topic, check, timeout=10.0):
        return wait_for(lambda: next((json.loads(p) for p in self.on(topic) if p and check(json.loads(p))), None),
                        timeout, f"JSON on {topic}")

    def publish(self, topic, payload, qos=1):
        self.client.publish(topic, payload, qos=qos).wait_for_publish(10)

    def clear(self):
        with self.lock:
            self.messages.clear()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


@pytest.fixture
def client(broker):
    clients = []

    def make(*topics, **options):
        c = Client(broker, topics or ("dio/#",), **options)
        clients.append(c)
        return c

    yield make
    for c in clients:
        c.close()


def simulator_environment(directory):
    env = {k: v for k, v in os.environ.items() if k not in ("KAVREN_LIBRARY", "LD_LIBRARY_PATH",
                                                            "DIO_MQTT_PASSWORD")}
    env["KAVREN_SIM_STATE"] = str(directory / "kavren-sim.state")
    return env


@pytest.fixture
def sim_env(tmp_path):
    return simulator_environment(tmp_path)


@pytest.fixture
def sim(sim_env):
    """Runs dio-sim on this test's state."""

    def run(*arguments):
        return subprocess.run([DIO_SIM, *arguments], env=sim_env, check=True, capture_output=True, text=True,
                              timeout=30).stdout

    return run


@pytest.fixture
def dio(sim_env):
    def run(*arguments):
        return subprocess.run([DIO, "--simulator", *arguments], env=sim_env, check=True, capture_output=True,
                              text=True, timeout=30).stdout

    return run


def cpu_seconds(pid):
    """CPU time of every thread of the process so far."""
    total = 0
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9


class Bridge:
    def __init__(self, arguments, env, log, ignore_hangup=False):
        self.log = log
        self.stderr = open(log, "w")

        def signals():  # as from a terminal, whatever the test runner left ignored
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                ignored = ignore_hangup and sig == signal.SIGHUP
                signal.signal(sig, signal.SIG_IGN if ignored else signal.SIG_DFL)

        self.process = subprocess.Popen([DIO_MQTT, *arguments], env=env, stdout=subprocess.DEVNULL,
                                        stderr=self.stderr, preexec_fn=signals)

    def errors(self):
        return self.log.read_text()

    def terminate(self, sig=signal.SIGTERM, timeout=10):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout=timeout)
        finally:
            self.stderr.close()


@pytest.fixture
def bridge(broker, sim_env, tmp_path, sim):
    """Starts dio-mqtt on the simulator with the test's broker, fast polls and rescans; extra arguments and
    environment as given."""
    sim("reset")
    bridges = []

    def start(*arguments, broker_url=None, env=None, client_id="dio-mqtt-test", ignore_hangup=False, interval=20,
              rescan=1):
        url = broker_url or f"mqtt://127.0.0.1:{broker.port}"
        b = Bridge(["--simulator", "--broker", url, "--interval", str(interval), "--rescan", str(rescan),
                    "--client-id", client_id, *arguments], {**sim_env, **(env or {})},
                   tmp_path / f"bridge{len(bridges)}.log", ignore_hangup)
        bridges.append(b)
        return b

    yield start
    for b in bridges:
        if b.process.poll() is None:
            b.process.kill()
            b.process.wait()
