"""TLS with the right and a wrong CA or broker name, client certificates (right, none, from a CA the broker does
not trust, a key that may not be used), passwords (right, wrong, from a file that may not be used), and bad
usage refused before anything runs."""
import os
import subprocess

import pytest

from conftest import DIO_MQTT, PASSWORD, USER, wait_for

SIM1 = "DIO-SIM-0001"


def connects_or_keeps_trying(b, c, error):
    """Without an expected error the bridge comes online; with one, it says so and keeps retrying, publishing
    nothing. Either way a stop ends it with 0."""
    if error is None:
        c.wait(f"dio/{SIM1}/availability", "online")
    else:
        wait_for(lambda: error in b.errors(), what=error)
        wait_for(lambda: "retrying" in b.errors())
        assert b.process.poll() is None  # still trying
        assert c.on("dio/bridge/state") == []
    assert b.terminate() == 0


@pytest.mark.parametrize("ca,host,password,error", [
    ("ca.crt", "localhost", PASSWORD, None),
    ("other-ca.crt", "localhost", PASSWORD, "certificate verify failed"),
    ("ca.crt", "127.0.0.1", PASSWORD, "certificate verify failed"),  # the name is checked, always
    ("ca.crt", "localhost", "wrong", "not authori"),
])
def test_tls_and_password(bridge, client, broker, tls_files, ca, host, password, error):
    b = bridge("--cafile", str(tls_files / ca), "--username", USER,
               broker_url=f"mqtts://{host}:{broker.tls_port}", env={"DIO_MQTT_PASSWORD": password})
    connects_or_keeps_trying(b, client(), error)
    assert "without TLS" not in b.errors()


@pytest.mark.parametrize("pair,error", [
    ("client", None),
    (None, "certificate required"),
    ("other-client", "unknown ca"),
])
def test_client_certificate(bridge, client, broker, tls_files, pair, error):
    identity = ["--cert", str(tls_files / f"{pair}.crt"), "--key", str(tls_files / f"{pair}.key")] if pair else []
    b = bridge("--cafile", str(tls_files / "ca.crt"), *identity,
               broker_url=f"mqtts://localhost:{broker.cert_port}")
    connects_or_keeps_trying(b, client(), error)


def make_tls_file(tmp_path, tls_files, kind):
    """A copy of the client's key (or a thing in its place) as the test's own file."""
    path = tmp_path / "client.key"
    if kind == "fifo":
        os.mkfifo(path, 0o600)
    elif kind == "directory":
        path.mkdir(mode=0o700)
    elif kind == "mismatched":
        path.write_bytes((tls_files / "other-client.key").read_bytes())
        os.chmod(path, 0o600)
    elif kind == "encrypted":
        subprocess.run(["openssl", "pkey", "-in", str(tls_files / "client.key"), "-aes256", "-passout", "pass:x",
                        "-out", str(path)], check=True, capture_output=True)
        os.chmod(path, 0o600)
    elif kind == "no key":
        path.write_bytes((tls_files / "client.crt").read_bytes())
        os.chmod(path, 0o600)
    elif kind == "symlink":
        path.symlink_to(tls_files / "client.key")
    elif kind != "missing":
        path.write_bytes((tls_files / "client.key").read_bytes())
        os.chmod(path, int(kind, 8))
    return path


@pytest.mark.parametrize("file,kind,reason", [
    ("key", "mismatched", "does not match"),
    ("key", "no key", "no private key"),
    ("key", "encrypted", "without a passphrase"),  # no prompt: a service has no terminal
    ("key", "missing", "No such file"),
    ("key", "directory", "not a regular file"),
    ("key", "fifo", "not a regular file"),  # read by nobody: it must not wait for a writer
    ("key", "644", "chmod 600"),
    ("key", "640", "chmod 600"),
    ("key", "symlink", "symbolic link"),  # as the password file: what is checked is what is read
    ("cert", "fifo", "not a regular file"),
    ("cafile", "fifo", "not a regular file"),
])
def test_a_tls_file_that_may_not_be_used_is_refused(tmp_path, sim_env, tls_files, file, kind, reason):
    files = {"cafile": tls_files / "ca.crt", "cert": tls_files / "client.crt", "key": tls_files / "client.key"}
    files[file] = make_tls_file(tmp_path, tls_files, kind)
    arguments = [a for name, path in files.items() for a in (f"--{name}", str(path))]
    done = subprocess.run([DIO_MQTT, "--simulator", "--broker", "mqtts://localhost:1", *arguments], env=sim_env,
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and reason in done.stderr and str(files[file]) in done.stderr, done.stderr


def test_a_password_without_tls_to_another_host_is_warned_of(bridge, tmp_path):
    b = bridge("--username", USER, broker_url="mqtt://192.0.2.1:1", env={"DIO_MQTT_PASSWORD": "x"})
    wait_for(lambda: "without TLS" in b.errors())
    assert b.terminate() == 0


def make_password_file(tmp_path, kind):
    path = tmp_path / "password"
    if kind == "fifo":
        os.mkfifo(path, 0o600)
        return path
    target = tmp_path / "real-password"
    target.write_text(PASSWORD + "\n")
    os.chmod(target, 0o600)
    if kind == "symlink":
        path.symlink_to(target)
    elif kind == "empty":
        target.write_text("\n")
        return target
    elif kind == "nul":
        target.write_bytes(b"pass\0word\n")
        return target
    elif kind == "huge":
        with open(target, "wb") as f:
            f.truncate(1 << 30)  # sparse: a gigabyte of NUL bytes that is never read whole
        return target
    elif kind == "directory":
        target.unlink()
        target.mkdir(mode=0o700)
        return target
    else:
        os.chmod(target, kind)
        return target
    return path


@pytest.mark.parametrize("kind,reason", [
    (0o644, "chmod 600"),
    (0o640, "chmod 600"),
    (0o602, "chmod 600"),
    ("symlink", "symbolic link"),
    ("fifo", "not a regular file"),
    ("empty", "no password"),
    ("nul", "NUL byte"),
    ("huge", "longer than 65535"),
    ("directory", "not a regular file"),
])
def test_a_password_file_that_may_not_be_used_is_refused(tmp_path, sim_env, kind, reason):
    path = make_password_file(tmp_path, kind)
    done = subprocess.run([DIO_MQTT, "--simulator", "--username", USER, "--password-file", str(path)],
                          env=sim_env, capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and reason in done.stderr


def test_a_password_file_is_read(bridge, client, broker, tls_files, tmp_path):
    path = make_password_file(tmp_path, 0o600)
    bridge("--cafile", str(tls_files / "ca.crt"), "--username", USER, "--password-file", str(path),
           broker_url=f"mqtts://localhost:{broker.tls_port}")
    client().wait(f"dio/{SIM1}/availability", "online")


@pytest.mark.parametrize("arguments,reason", [
    (["--broker", "http://localhost"], "mqtt:// or mqtts://"),
    (["--broker", "mqtt://user:pw@localhost"], "no user, password or path"),
    (["--broker", "mqtt://localhost:0"], "1 to 65535"),
    (["--broker", "mqtt://[::1"], "closing bracket"),
    (["--interval", "0"], "--interval"),
    (["--interval", "60001"], "--interval"),
    (["--rescan", "0"], "--rescan"),
    (["--prefix", "dio/#"], "--prefix"),
    (["--prefix", "/dio"], "--prefix"),
    (["--protocol", "4"], "--protocol"),
    (["--password-file", "x"], "needs --username"),
    (["--cafile", "x"], "mqtts://"),
    (["--broker", "mqtts://localhost", "--cert", "c"], "go together"),
    (["--broker", "mqtts://localhost", "--key", "k"], "go together"),
    (["--cert", "c", "--key", "k"], "mqtts://"),
    (["--serial", "A,B"], "comma"),
    (["--library="], "--library"),
    (["--library=", "--simulator"], "--library needs a path"),
    (["--library", "x", "--simulator"], ""),
    (["--password", "x"], "password"),
    (["--config", "/nonexistent/dio-mqtt.conf"], "dio-mqtt.conf"),
    (["--config", "password = \"x\"\n"], "password"),  # a config file, as written here
    (["--config", "intervall = 50\n"], "intervall"),
    (["--config", "include = \"/etc/other.conf\"\n"], "include"),
])
def test_bad_usage_exits_2(sim_env, tmp_path, arguments, reason):
    if arguments[0] == "--config" and "\n" in arguments[1]:
        config = tmp_path / "dio-mqtt.conf"
        config.write_text(arguments[1])
        arguments = ["--config", str(config)]
    done = subprocess.run([DIO_MQTT, "--simulator", *arguments] if "--simulator" not in arguments and
                          "--library=" not in arguments and "--library" not in arguments else [DIO_MQTT, *arguments],
                          env=sim_env, capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and reason in done.stderr, done.stderr


def test_no_usable_library_exits_3(sim_env, tmp_path):
    done = subprocess.run([DIO_MQTT, "--library", str(tmp_path / "missing.so")], env=sim_env,
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 3


@pytest.mark.parametrize("file", ["key", "cert", "cafile"])
def test_a_tls_file_made_a_fifo_while_running_holds_up_nothing(bridge, client, broker, tls_files, tmp_path, file):
    """The files are read again at each reconnect: one turned into a FIFO meanwhile is refused, not waited on,
    and once it is a good file again the bridge connects."""
    names = {"cafile": "ca.crt", "cert": "client.crt", "key": "client.key"}
    files = {name: tmp_path / f"own-{source}" for name, source in names.items()}
    for name, path in files.items():
        path.write_bytes((tls_files / names[name]).read_bytes())
        os.chmod(path, 0o600)
    b = bridge(*[a for name, path in files.items() for a in (f"--{name}", str(path))],
               broker_url=f"mqtts://localhost:{broker.cert_port}")
    c = client()
    c.wait(f"dio/{SIM1}/availability", "online")
    good = files[file].read_bytes()
    files[file].unlink()
    os.mkfifo(files[file], 0o600)
    broker.stop()
    broker.start()
    wait_for(lambda: "not a regular file" in b.errors(), what="the FIFO refused")
    files[file].unlink()
    files[file].write_bytes(good)
    os.chmod(files[file], 0o600)
    wait_for(lambda: b.errors().count("connected to the broker") == 2, timeout=20, what="a reconnect")
    assert b.terminate() == 0
