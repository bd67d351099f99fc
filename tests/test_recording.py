"""dio watch recordings read by readers nobody here wrote: sigrok-cli's VCD import, and GTKWave's vcd2fst
(read back through fst2vcd). Each test drives the simulator on a state file of its own."""

import os
import re
import signal
import socket
import subprocess
import time

import pytest

DIO = os.environ["DIO"]
DIO_SIM = os.environ["DIO_SIM"]


@pytest.fixture
def env(tmp_path):
    environment = dict(os.environ, KAVREN_SIM_STATE=str(tmp_path / "sim.state"))
    environment.pop("KAVREN_LIBRARY", None)
    return environment


def run(program, *arguments, env):
    return subprocess.run([program, *arguments], env=env, capture_output=True, text=True, timeout=60)


def csv_states(path):
    """(seconds, bits) per row of dio's CSV; bits LSB first per port, as the VCD wires are declared."""
    lines = path.read_bytes().decode().split("\r\n")
    assert lines[0].startswith("time_s,0x"), lines[0]
    assert lines[-1] == "", "the last record ends with CRLF"
    states = []
    for line in lines[1:-1]:
        time_s, *values = line.split(",")
        assert re.fullmatch(r"\d+\.\d{6}", time_s), line
        states.append((float(time_s), tuple(int(v) >> bit & 1 for v in values for bit in range(8))))
    return states


def distinct(patterns):
    return [p for i, p in enumerate(patterns) if i == 0 or p != patterns[i - 1]]


def lasting(states, end, shortest):
    """The patterns of the states that lasted at least `shortest` seconds (a 1 ms downsampling may drop
    shorter ones), merged where they repeat."""
    ends = [t for t, _ in states[1:]] + [end]
    return distinct([bits for (t, bits), until in zip(states, ends) if until - t >= shortest])


def in_order_within(part, whole):
    """Whether every item of `part` is found in `whole`, in the same order."""
    rest = iter(whole)
    return all(any(item == candidate for candidate in rest) for item in part)


def sigrok_patterns(vcd):
    out = subprocess.run(["sigrok-cli", "-I", "vcd:downsample=1000", "-i", str(vcd), "-O", "csv"],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    rows = [line for line in out.splitlines() if re.fullmatch(r"[01](,[01])*", line)]
    assert rows, out
    return distinct([tuple(int(b) for b in row.split(",")) for row in rows])


def vcd_states(text):
    """(microseconds, bits in declaration order) at each timestamp of a VCD made of 1-bit wires, and its
    last timestamp, scope and wire names."""
    codes, names = {}, []
    head, body = text.split("$enddefinitions", 1)
    for code, name in re.findall(r"\$var\s+wire\s+1\s+(\S+)\s+(\S+)\s+\$end", head):
        codes[code] = len(names)
        names.append(name)
    scope = re.search(r"\$scope\s+module\s+(\S+)\s+\$end", head).group(1)
    bits, states, now, changed = [None] * len(names), [], None, False
    for token in body.split()[1:]:  # past "$end"
        if token.startswith("#"):
            if changed:
                states.append((now, tuple(bits)))
            now, changed = int(token[1:]), False
        elif token[0] in "01":
            bits[codes[token[1:]]] = int(token[0])
            changed = True
    if changed:
        states.append((now, tuple(bits)))
    assert None not in states[0][1], "every wire has a value from the first timestamp on"
    return states, now, scope, names


def gtkwave_states(vcd, tmp_path):
    fst = tmp_path / "rec.fst"
    converted = subprocess.run(["vcd2fst", str(vcd), str(fst)], capture_output=True, text=True, timeout=60)
    assert converted.returncode == 0 and not converted.stderr, converted.stderr
    back = subprocess.run(["fst2vcd", str(fst)], capture_output=True, text=True, timeout=60, check=True)
    assert re.search(r"\$timescale\s+1us\s+\$end", back.stdout), back.stdout[:400]
    return vcd_states(back.stdout)


def signals_as_from_a_terminal():
    for each in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # whatever the test runner left ignored
        signal.signal(each, signal.SIG_DFL)


def record(env, tmp_path, *options, during=None):
    """Records to rec.vcd and rec.csv in one run; `during` runs meanwhile."""
    watch = subprocess.Popen([DIO, "watch", *options, "--output", str(tmp_path / "rec.vcd"),
                              "--output", str(tmp_path / "rec.csv")], env=env, stderr=subprocess.PIPE,
                             text=True, preexec_fn=signals_as_from_a_terminal)
    if during:
        during(watch)
    _, err = watch.communicate(timeout=60)
    return watch.returncode, err


def scripted_writes(env):
    def write(watch):
        time.sleep(0.2)
        for value in (0x01, 0x80, 0x5A, 0xFF, 0x00):
            assert run(DIO, "write", "DIO-SIM-0001", f"0x10={value}", env=env).returncode == 0
            time.sleep(0.1)
    return write


# The scripted writes are five runs of dio, each 0.1 s apart: the recording lasts long enough for them
# however slowly a program starts (a sanitizer build on a loaded machine takes a good part of a second).
@pytest.mark.parametrize("serial, interval, during, seconds", [
    ("DIO-SIM-0002", "5", None, 1.2),
    ("DIO-SIM-0002", "1", None, 1.2),
    ("DIO-SIM-0001", "5", scripted_writes, 3.0),
], ids=["counting at 5 ms", "counting at 1 ms", "scripted writes at 5 ms"])
def test_readers_see_what_the_csv_shows(env, tmp_path, serial, interval, during, seconds):
    code, err = record(env, tmp_path, serial, "--interval", interval, "--duration", str(seconds),
                       during=during(env) if during else None)
    assert code == 0, err
    csv = csv_states(tmp_path / "rec.csv")
    states, end, scope, names = vcd_states((tmp_path / "rec.vcd").read_text())
    assert scope == serial.replace("-", "_")
    assert names == [f"in0{port}_{bit}" for port in (0, 1) for bit in range(8)]
    assert [bits for _, bits in states] == [bits for _, bits in csv]  # one run, two outputs
    assert seconds * 1e6 <= end < seconds * 1e6 + 100_000, "the end of the duration is the last timestamp"
    # A 1 ms downsampling keeps every state that lasted 2 ms or more and may keep or drop a shorter one,
    # but shows nothing the CSV does not, and nothing out of order.
    lasted = lasting(csv, end / 1e6, 0.002)
    assert len(lasted) >= 4, "the inputs changed while recording"
    seen = sigrok_patterns(tmp_path / "rec.vcd")
    assert in_order_within(seen, [bits for _, bits in csv]), (seen, csv)
    assert in_order_within(lasted, seen), (lasted, seen)
    fst_states, fst_end, _, fst_names = gtkwave_states(tmp_path / "rec.vcd", tmp_path)
    assert fst_names == names and fst_end == end
    assert distinct([bits for _, bits in fst_states]) == distinct([bits for _, bits in states])
    if during:  # the loopback device's input 0x00 shows each value written to 0x10, in order
        values = distinct([sum(bit << i for i, bit in enumerate(bits[:8])) for _, bits in csv])
        assert values == [0x00, 0x01, 0x80, 0x5A, 0xFF, 0x00]


@pytest.mark.parametrize("end", ["SIGINT", "SIGTERM", "SIGHUP", "--count", "--duration"])
def test_a_recording_that_ends_is_complete(env, tmp_path, end):
    options = {"--count": ["--count", "2"], "--duration": ["--duration", "0.7"]}.get(end, [])

    def stop(watch):
        if end.startswith("SIG"):
            time.sleep(0.8)
            watch.send_signal(getattr(signal, end))

    code, err = record(env, tmp_path, "DIO-SIM-0002", "--interval", "5", *options, during=stop)
    assert code == 0, err
    text = (tmp_path / "rec.vcd").read_text()
    states, last, _, _ = vcd_states(text)
    assert text.endswith(f"\n#{last}\n") and last > states[-1][0], "a final timestamp after the last change"
    assert len(csv_states(tmp_path / "rec.csv")) == len(states)
    fst_states, fst_end, _, _ = gtkwave_states(tmp_path / "rec.vcd", tmp_path)
    assert fst_end == last
    assert sigrok_patterns(tmp_path / "rec.vcd")


def test_a_recording_stopped_before_its_first_reading_is_a_file_readers_open(env, tmp_path):
    assert run(DIO_SIM, "delay", "ReadPort", "1500", env=env).returncode == 0

    def stop(watch):
        time.sleep(0.5)  # inside the first, slow read
        watch.send_signal(signal.SIGTERM)

    code, err = record(env, tmp_path, "DIO-SIM-0002", "--interval", "5", during=stop)
    assert (code, err) == (0, "dio watch: stopped before the first reading; the recording holds no values\n")
    assert (tmp_path / "rec.csv").read_bytes() == b"time_s,0x00,0x01\r\n"
    converted = subprocess.run(["vcd2fst", str(tmp_path / "rec.vcd"), str(tmp_path / "rec.fst")],
                               capture_output=True, text=True, timeout=60)
    assert converted.returncode == 0 and not converted.stderr, converted.stderr
    head = (tmp_path / "rec.vcd").read_text()
    assert head.endswith("$enddefinitions $end\n") and head.count("$var wire 1 ") == 16
    assert "Channels (16/16)" in subprocess.run(["sigrok-cli", "-I", "vcd", "-i", str(tmp_path / "rec.vcd"), "-O",
                                                 "csv"], capture_output=True, text=True, timeout=60).stdout


@pytest.mark.parametrize("serial, scope", [
    ("1st board", "_1st_board"),
    ("$end", "_end"),
    ("A\\B#1", "A_B_1"),
    ("Gr\u00fc\u00dfe-\u00e9", "Gr__e__"),
    ("x" * 19, "x" * 19),
])
def test_an_odd_serial_number_makes_a_valid_scope(env, tmp_path, serial, scope):
    assert run(DIO_SIM, "add", serial, "Odd", "--mode", "manual", env=env).returncode == 0
    assert run(DIO_SIM, "set", serial, "0x00", "0x5A", env=env).returncode == 0
    code, err = record(env, tmp_path, serial, "--interval", "10", "--duration", "0.1")
    assert code == 0, err
    _, _, written, _ = vcd_states((tmp_path / "rec.vcd").read_text())
    assert written == scope
    fst_states, _, read_back, _ = gtkwave_states(tmp_path / "rec.vcd", tmp_path)
    assert read_back == scope and fst_states[0][1][:8] == (0, 1, 0, 1, 1, 0, 1, 0)
    assert sigrok_patterns(tmp_path / "rec.vcd") == [(0, 1, 0, 1, 1, 0, 1, 0) + (0,) * 8]


@pytest.mark.parametrize("target, message", [
    ("/dev/full", "dio: cannot write /dev/full: No space left on device\n"),
    ("{tmp}", "dio: cannot write {tmp}: Is a directory\n"),
    ("{tmp}/no/such/rec.vcd", "dio: cannot write {tmp}/no/such/rec.vcd: No such file or directory\n"),
    ("{tmp}/twice.vcd", "dio: cannot write {tmp}/twice.vcd: another recording is writing it\n"),
    ("{tmp}/listening", "dio: cannot write {tmp}/listening: it is a socket\n"),
])
def test_an_output_that_cannot_be_written_fails(env, tmp_path, target, message):
    target, message = target.format(tmp=tmp_path), message.format(tmp=tmp_path)
    listening = socket.socket(socket.AF_UNIX)  # a socket open() cannot reach, named as what it is
    listening.bind(str(tmp_path / "listening"))
    earlier = tmp_path / "earlier.vcd"
    earlier.write_text("an earlier recording\n")
    outputs = ["--output", str(earlier)] + ["--output", target] * (2 if "twice" in target else 1)
    result = run(DIO, "watch", "DIO-SIM-0002", "--format", "vcd", "--duration", "0.1", *outputs, env=env)
    assert (result.returncode, result.stderr) == (1, message)
    if "twice" in target or "no/such" in target:  # refused before anything was written: no file emptied
        assert earlier.read_text() == "an earlier recording\n"


def test_outputs_replace_a_file_follow_a_link_and_feed_a_fifo(env, tmp_path):
    old = tmp_path / "old.csv"
    old.write_text("x" * 100_000)
    (tmp_path / "link.csv").symlink_to(old)
    os.mkfifo(tmp_path / "fifo")
    with subprocess.Popen(["cat", str(tmp_path / "fifo")], stdout=subprocess.PIPE, text=True) as reader:
        result = run(DIO, "watch", "DIO-SIM-0001", "--format", "csv", "--duration", "0.1",
                     "--output", str(tmp_path / "link.csv"), "--output", str(tmp_path / "fifo"), env=env)
        piped = reader.communicate(timeout=60)[0]
    assert result.returncode == 0, result.stderr
    assert old.read_bytes() == b"time_s,0x00,0x01\r\n0.000000,0,0\r\n"
    assert piped == "time_s,0x00,0x01\n0.000000,0,0\n"


@pytest.mark.skipif(os.geteuid() != 0, reason="making a file of another user's needs root")
@pytest.mark.parametrize("kind, plant", [
    ("symbolic link", lambda path, victim: path.symlink_to(victim)),
    ("file", lambda path, _: path.write_text("")),
    ("FIFO", lambda path, _: os.mkfifo(path)),  # with no reader: once, the recording waited for good
])
def test_what_another_user_planted_in_a_shared_directory_is_not_written(env, tmp_path, kind, plant):
    victim = tmp_path / "victim.txt"
    victim.write_text("kept\n")
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    plant(shared / "rec.txt", victim)
    os.lchown(shared / "rec.txt", 65534, 65534)
    result = run(DIO, "watch", "DIO-SIM-0001", "--duration", "0.1", "--output", str(shared / "rec.txt"), env=env)
    assert (result.returncode, result.stderr) == (
        1, f"dio: cannot write {shared}/rec.txt: it is a {kind} another user made in a shared directory\n")
    assert victim.read_text() == "kept\n"
    if kind == "file":
        assert (shared / "rec.txt").read_text() == ""
    # The same file is written when the directory's owner made it, as the kernel's own rules allow.
    os.chown(shared, 65534, 65534)
    if kind != "FIFO":
        assert run(DIO, "watch", "DIO-SIM-0001", "--duration", "0.1", "--output", str(shared / "rec.txt"),
                   env=env).returncode == 0


@pytest.mark.skipif(os.geteuid() != 0, reason="making a file of another user's needs root")
@pytest.mark.parametrize("kind, plant", [
    ("file", lambda path: path.write_text("kept\n")),
    ("FIFO", os.mkfifo),  # with no reader: reached through the link, it held the recording for good
])
def test_a_link_of_ones_own_to_what_another_user_planted_is_not_followed(env, tmp_path, kind, plant):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    plant(shared / "rec.txt")
    os.chown(shared / "rec.txt", 65534, 65534)
    (tmp_path / "rec.txt").symlink_to(shared / "rec.txt")  # this user's, in a directory of this user's
    result = run(DIO, "watch", "DIO-SIM-0001", "--duration", "0.1", "--output", str(tmp_path / "rec.txt"),
                 env=env)
    assert (result.returncode, result.stderr) == (
        1, f"dio: cannot write {tmp_path}/rec.txt: it is a {kind} another user made in a shared directory\n")
    if kind == "file":
        assert (shared / "rec.txt").read_text() == "kept\n"


@pytest.mark.parametrize("command", ["watch DIO-SIM-0002 --count 1 --format vcd", "read DIO-SIM-0001"])
def test_a_closed_stdout_is_a_lost_output_not_another_file(env, command):
    # With fd 1 closed, the next file opened (the library's, a timer) would take it and receive the output.
    result = subprocess.run(["sh", "-c", f'exec "$0" {command} >&-', DIO], env=env, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stderr) == (1, "dio: cannot write the output: Bad file descriptor\n")


@pytest.mark.parametrize("ignored", [False, True], ids=["SIGPIPE ends dio", "SIGPIPE ignored: exit 1"])
def test_a_closed_pipe(env, ignored):
    def ignore():
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    watch = subprocess.Popen([DIO, "watch", "DIO-SIM-0002", "--interval", "1", "--format", "vcd"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=ignore if ignored else None)
    watch.stdout.readline()
    watch.stdout.close()  # the counting inputs change every 250 ms: the next write meets the closed pipe
    err = watch.communicate(timeout=60)[1].decode()
    if ignored:
        assert (watch.returncode, err) == (1, "dio: cannot write the output: Broken pipe\n")
    else:
        assert (watch.returncode, err) == (-signal.SIGPIPE, "")


@pytest.mark.parametrize("comment", [False, True], ids=["plain CSV", "--comment"])
def test_csv_starts_with_a_comment_only_when_asked(env, comment):
    result = run(DIO, "watch", "DIO-SIM-0001", "--format", "csv", "--duration", "0.05",
                 *(["--comment"] if comment else []), env=env)
    lines = result.stdout.split("\n")
    assert result.returncode == 0 and lines[-1] == ""
    if comment:
        assert re.fullmatch(r"# started 20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", lines.pop(0))
    assert lines[:2] == ["time_s,0x00,0x01", "0.000000,0,0"]


@pytest.mark.parametrize("change", ["emptied", "truncated", "replaced", "deleted"])
def test_a_file_changed_by_another_program_fails_without_a_hole(env, tmp_path, change):
    vcd = tmp_path / "rec.vcd"

    def meddle(watch):
        time.sleep(0.6)  # past the first change of the counting inputs
        if change in ("emptied", "truncated"):
            os.truncate(vcd, 0 if change == "emptied" else 10)
        elif change == "replaced":
            (tmp_path / "other").write_text("other\n")
            os.replace(tmp_path / "other", vcd)
        else:
            vcd.unlink()

    watch = subprocess.Popen([DIO, "watch", "DIO-SIM-0002", "--interval", "5", "--duration", "1.5",
                              "--output", str(vcd)], env=env, stderr=subprocess.PIPE, text=True)
    meddle(watch)
    err = watch.communicate(timeout=60)[1]
    reason = "it was deleted or replaced" if change in ("replaced", "deleted") else \
        "another program changed its length"
    assert (watch.returncode, err) == (1, f"dio: cannot write {vcd}: {reason} while recording\n")
    if change != "deleted":
        assert b"\0" not in vcd.read_bytes()


@pytest.mark.parametrize("stop", ["SIGINT", "SIGTERM"])
def test_a_stop_signal_ends_a_write_to_a_reader_that_takes_nothing(env, stop):
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:  # fill the pipe, as a reader that stopped reading leaves it
            os.write(write_end, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    watch = subprocess.Popen([DIO, "watch", "DIO-SIM-0001", "--format", "vcd"], env=env, stdout=write_end,
                             stderr=subprocess.PIPE, text=True)
    os.close(write_end)
    time.sleep(0.5)  # the head of the recording waits for room
    watch.send_signal(getattr(signal, stop))
    try:
        err = watch.communicate(timeout=10)[1]
    finally:
        watch.kill()
        os.close(read_end)
    assert (watch.returncode, err) == (
        1, "dio: cannot write the output: its reader took nothing more before the stop signal\n")


@pytest.mark.parametrize("outputs, redirect, message", [
    ("--output - --output -", "", "standard output: it is given twice"),
    ("--output - --output /dev/stdout", "", "standard output and /dev/stdout: they are one file"),
    ("--output rec.vcd --output -", ">> rec.vcd", "rec.vcd and standard output: they are one file"),
], ids=["- twice", "- and /dev/stdout", "stdout redirected to an --output"])
def test_one_file_given_twice_is_refused_before_it_is_emptied(env, tmp_path, outputs, redirect, message):
    (tmp_path / "rec.vcd").write_text("an earlier recording\n")
    result = subprocess.run(["sh", "-c", f'cd "$1" && exec "$0" watch DIO-SIM-0002 --format vcd --duration 0.2 '
                             f'{outputs} {redirect} | cat', DIO, str(tmp_path)],
                            env=env, capture_output=True, text=True, timeout=60)
    assert (result.stdout, result.stderr) == ("", f"dio: cannot write {message}\n")
    assert (tmp_path / "rec.vcd").read_text() == "an earlier recording\n"


def test_many_outputs_are_compared_once_each(env, tmp_path):
    import resource
    wanted = 10_010
    if resource.getrlimit(resource.RLIMIT_NOFILE)[1] < wanted:
        pytest.skip("the descriptor limit cannot hold 10000 outputs")
    outputs = [argument for i in range(10_000) for argument in ("--output", str(tmp_path / f"{i}.txt"))]
    result = subprocess.run([DIO, "watch", "DIO-SIM-0001", "--duration", "0.1", *outputs], env=env, text=True,
                            capture_output=True, timeout=60,  # a hang bound: each pair once took two fstat calls
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, wanted)))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "9999.txt").read_text().endswith(" 0x00=0x00 0x01=0x00\n")


@pytest.mark.parametrize("name, head", [
    ("REC.VCD", "$date "), ("rec.Csv", "time_s,0x00,0x01\r\n"), ("rec.JSONL", '{"ports":'), ("rec.vcd.txt", "20"),
])
def test_the_format_follows_the_file_name_in_any_case(env, tmp_path, name, head):
    result = run(DIO, "watch", "DIO-SIM-0001", "--duration", "0.05", "--output", str(tmp_path / name), env=env)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / name).read_bytes().decode().startswith(head)


def test_a_reading_is_stamped_when_it_was_read_not_when_the_device_closed(env, tmp_path):
    """The counting device's input 0x00 steps every 250 ms, so a reading's value dates it. Closes made
    slow after the first reading must not shift the later stamps against that date."""
    def slow_close(watch):
        time.sleep(0.3)
        assert run(DIO_SIM, "delay", "CloseDevice", "600", env=env).returncode == 0

    code, err = record(env, tmp_path, "DIO-SIM-0002", "--interval", "10", "--duration", "3",
                       during=slow_close)
    assert code == 0, err
    rows = [(t, sum(bit << i for i, bit in enumerate(bits[:8])))
            for t, bits in csv_states(tmp_path / "rec.csv")]
    assert len(rows) >= 4, rows
    (t0, v0) = rows[0]
    for t, v in rows[1:]:
        assert abs((t - t0) - ((v - v0) % 256) * 0.25) < 0.3, rows
