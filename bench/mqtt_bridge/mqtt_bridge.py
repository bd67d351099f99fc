#!/usr/bin/python3
"""What dio-mqtt costs against a local mosquitto, each figure the median of several runs (five by default) of
short phases:

- CPU of the bridge polling one unchanged device every 10 ms, and fifty devices every 100 ms (once with
  the default counting device among them, whose inputs change four times a second and are published each
  time, once with none changing), beside a floor program that only sleeps to a timer at the same interval,
  measured over the same seconds, a second copy of the floor, whose difference from the first is the
  noise of the measurement, and a program that only makes the library calls a poll must (open, read the
  four ports, close) for the same devices on the same ticks, whose figure shows the library's share;
- latency from an input change (made in the simulator's state by a helper that stays running) to a
  subscriber receiving the new state, median and 99th percentile;
- commands per second through <serial>/set at QoS 1, each waited for as its read-back state.

Run from the build tree's bin/ directory (it finds dio-mqtt, dio-sim and the floors beside itself)."""
import argparse
import os
import pathlib
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as paho

BIN = pathlib.Path(__file__).resolve().parent


def cpu_seconds(pid):
    """CPU time of every thread of the process, from the scheduler's nanosecond counters."""
    total = 0
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9


def own_children():
    """Every process this one started and has not reaped, by its parent's pid in /proc: one forked by a Popen
    that an interrupt cut short is in no list of ours."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bench:
    def __init__(self, directory, seconds):
        self.dir = pathlib.Path(directory)
        self.seconds = seconds
        self.broker = None
        self.started = []  # every bridge and helper, ended by close() if a phase failed half-way
        self.env = {k: v for k, v in os.environ.items() if k not in ("KAVREN_LIBRARY", "LD_LIBRARY_PATH")}
        self.env["KAVREN_SIM_STATE"] = str(self.dir / "kavren-sim.state")
        # An interrupt anywhere in here, even inside Popen once the broker is forked, comes before main()
        # holds this object to close it.
        try:
            self.port = free_port()
            # No Nagle delay on the broker's side either: every figure here is a round trip of small packets.
            (self.dir / "mosquitto.conf").write_text(
                f"listener {self.port} 127.0.0.1\nallow_anonymous true\nuser {os.environ.get('USER', 'root')}\n"
                "set_tcp_nodelay true\n")
            self.broker = subprocess.Popen(["mosquitto", "-c", str(self.dir / "mosquitto.conf")],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.3)
        except BaseException:
            self.close()
            raise

    def sim(self, *arguments):
        subprocess.run([str(BIN / "dio-sim"), *arguments], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def bridge(self, *arguments):
        """A bridge of its own topics, so that nothing retained by an earlier one is taken for its own."""
        self.prefix = f"bench{time.monotonic_ns()}"
        process = subprocess.Popen([str(BIN / "dio-mqtt"), "--simulator", "--broker",
                                    f"mqtt://127.0.0.1:{self.port}", "--client-id", self.prefix, "--prefix",
                                    self.prefix, *arguments], env=self.env, stderr=subprocess.DEVNULL)
        self.started.append(process)
        return process

    def client(self, topic):
        received = []
        arrived = threading.Condition()
        client = paho.Client(clean_session=True)

        def record(_c, _u, message):
            with arrived:
                received.append((time.monotonic(), message.payload.decode()))
                arrived.notify_all()

        client.on_message = record
        client.connect("127.0.0.1", self.port)
        client.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        client.subscribe(topic, qos=1)
        client.loop_start()
        return client, received, arrived

    def cpu(self, interval_ms, serials):
        """Bridge, floor, a second floor and the library's calls alone, CPU over the same seconds, after a
        moment to settle. The second floor, a copy of the first, shows how far two programs that do the same
        differ here. `serials` are the devices bridged; none: every one listed."""
        started = []
        try:
            started.append(self.bridge("--interval", str(interval_ms), *(f"--serial={s}" for s in serials)))
            floors = (["mqtt_timer_floor"], ["mqtt_timer_floor"], ["mqtt_library_floor", *serials])
            for name, *devices in floors:
                started.append(subprocess.Popen([str(BIN / name), str(interval_ms), *devices], env=self.env))
                self.started.append(started[-1])
            time.sleep(1.0)
            before = [cpu_seconds(p.pid) for p in started]
            time.sleep(self.seconds)
            after = [cpu_seconds(p.pid) for p in started]
            # One that ended early (a crash, a failed call) would show as next to no CPU: a false figure.
            for p in started:
                if p.poll() is not None:
                    sys.exit(f"mqtt_bridge: {' '.join(map(str, p.args))} ended during a CPU phase, "
                             f"exit {p.returncode}")
        finally:
            for p in started:  # nothing is left running, whatever failed
                p.terminate()
                p.wait()
        return tuple((a - b) / self.seconds for a, b in zip(after, before))

    def latency(self, samples):
        bridge = self.bridge("--interval", "10", "--serial", "MAN-1")
        client, received, arrived = self.client(f"{self.prefix}/MAN-1")
        with arrived:
            self.await_bridge(arrived, lambda: received, bridge, "latency")
        setter = subprocess.Popen([str(BIN / "mqtt_input_setter")], env=self.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.started.append(setter)
        delays = []
        for i in range(samples):
            value = str(1 + i % 200)
            time.sleep(random.uniform(0.005, 0.03))  # no lock-step with the polls
            start = time.monotonic()
            setter.stdin.write(f"MAN-1 0 {value}\n")
            setter.stdin.flush()
            if setter.stdout.readline().strip() != "ok":
                sys.exit("mqtt_bridge: cannot set the input")
            with arrived:
                self.await_bridge(arrived, lambda: any(f'"0x00":{value},' in p for _, p in received), bridge,
                                  "latency")
                stamp = next(t for t, p in received if f'"0x00":{value},' in p)
                received.clear()
            delays.append((stamp - start) * 1000)
        setter.stdin.close()
        setter.wait()
        client.loop_stop()
        bridge.terminate()
        bridge.wait()
        return delays

    def commands(self, count):
        bridge = self.bridge("--serial", "DIO-SIM-0001")
        client, received, arrived = self.client(f"{self.prefix}/DIO-SIM-0001")
        with arrived:
            self.await_bridge(arrived, lambda: received, bridge, "commands")
        start = time.monotonic()
        for i in range(count):
            value = (i % 255) + 1
            with arrived:
                received.clear()
                client.publish(f"{self.prefix}/DIO-SIM-0001/set", f'{{"0x10": {value}}}', qos=1)
                self.await_bridge(arrived, lambda: any(f'"0x10":{value},' in p for _, p in received), bridge,
                                  "commands")
        rate = count / (time.monotonic() - start)
        client.loop_stop()
        bridge.terminate()
        bridge.wait()
        return rate

    @staticmethod
    def await_bridge(arrived, ready, bridge, phase):
        """Waits, holding `arrived`, for what the bridge must publish. A bridge that ended or stays silent fails
        the run: waiting on would end in a figure of the timeouts, not of the bridge."""
        deadline = time.monotonic() + 10
        while not arrived.wait_for(ready, timeout=0.2):
            if bridge.poll() is not None:
                sys.exit(f"mqtt_bridge: {' '.join(map(str, bridge.args))} ended during the {phase} phase, "
                         f"exit {bridge.returncode}")
            if time.monotonic() > deadline:
                sys.exit(f"mqtt_bridge: dio-mqtt did not answer within 10 s in the {phase} phase")

    def close(self):
        for process in self.started:
            if process.poll() is None:
                process.kill()
                process.wait()
        if self.broker is not None:
            self.broker.terminate()
            self.broker.wait()
        for pid in own_children():
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="length of a CPU phase (default 3)")
    parser.add_argument("--samples", type=int, default=40, help="input changes per latency run (default 40)")
    parser.add_argument("--commands", type=int, default=200, help="commands per rate run (default 200)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each phase, the median reported (default 5)")
    options = parser.parse_args()
    if not shutil.which("mosquitto"):
        sys.exit("mqtt_bridge: mosquitto is not installed")
    with tempfile.TemporaryDirectory() as directory:
        bench = Bench(directory, options.seconds)
        try:
            bench.sim("reset")
            one = [bench.cpu(10, ["DIO-SIM-0001"]) for _ in range(options.runs)]
            bench.sim("add", "MAN-1", "manual", "--mode", "manual")
            for n in range(4, 51):  # with the two default devices and MAN-1: fifty
                bench.sim("add", f"FIFTY-{n:02}", "manual", "--mode", "manual")
            fifty = [bench.cpu(100, []) for _ in range(options.runs)]
            bench.sim("remove", "DIO-SIM-0002")  # the counting device, in favour of one that stays put
            bench.sim("add", "FIFTY-03", "manual", "--mode", "manual")
            unchanged = [bench.cpu(100, []) for _ in range(options.runs)]
            latencies = [bench.latency(options.samples) for _ in range(options.runs)]
            rates = [bench.commands(options.commands) for _ in range(options.runs)]
        finally:
            bench.close()

    def cpu_line(name, runs, polls_per_second):
        def over(figure):
            return statistics.median((figure(run) - run[1]) / run[1] if run[1] > 0 else float("inf") for run in runs)

        bridge = statistics.median(run[0] for run in runs)
        floor = statistics.median(run[1] for run in runs)
        per_poll = statistics.median((b - f) / polls_per_second * 1e6 for b, f, _, _ in runs)
        print(f"{name}: dio-mqtt {bridge * 100:.2f}% of a core, timer floor {floor * 100:.3f}%, "
              f"{over(lambda run: run[0]):.2f}x over the floor (goal 0.5x), {per_poll:.1f} us per device poll "
              f"over the floor; the library's calls alone on the same ticks {over(lambda run: run[3]):.2f}x over "
              f"the floor; a second floor differs from the first by "
              f"{statistics.median(abs(g - f) / f if f > 0 else float('inf') for _, f, g, _ in runs):.2f}x")

    print(f"dio-mqtt benchmark, median of {options.runs} runs")
    cpu_line("one unchanged device every 10 ms", one, 100)
    cpu_line("50 devices every 100 ms, one of them counting", fifty, 500)
    cpu_line("50 unchanged devices every 100 ms", unchanged, 500)
    medians = [statistics.median(run) for run in latencies]
    p99s = [statistics.quantiles(run, n=100)[98] for run in latencies]
    print(f"input change to subscriber at 10 ms polls: median {statistics.median(medians):.1f} ms, "
          f"p99 {statistics.median(p99s):.1f} ms (goal p99 <= 20 ms)")
    print(f"commands through /set at QoS 1, each read back: {statistics.median(rates):.0f} per second")


if __name__ == "__main__":
    # An interrupt unwinds through close() and the temporary directory, so no broker, bridge or floor is
    # left running and no state is left behind; then it ends as an interrupted program does.
    try:
        main()
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
