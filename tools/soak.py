#!/usr/bin/env python3
"""Soak and fault run of the whole camera: what Ombrelle survives, counted.

Ombrelle (the host build, or the ARM build under qemu-arm) runs in a temporary
root with the stand-in SDK, an RS-485 peer on a pseudo-terminal, the real
feed_update and a feed server on 127.0.0.1, for --seconds of steady state
under these loads and faults:

  triggers   input 1, motion and day/night in turn, 5 a second; each kind
             alternates its state, so every feed channel's messages alternate
  ticks      IntervalinMin 0 (one a second), channels Temp, Hum and Seq; record
             frames (sensor type 3) 10 a second, and every 30 s a SIGUSR1 that
             switches to an RS-485 sensor answering queries (type 1) and back
  serial     in turn every 5 s: a garbage burst, a truncated frame, a frame
             with a bad checksum, silence longer than the exchange bound, the
             peer closing the pty and opening a new one (3 s away); once, a
             flood of single bytes at line rate (9600 baud) whose log rate is
             measured
  feed       up, then a cycle of down 30 s (refused), up 30 s, accepting and
             never answering 20 s (shorter in runs under 240 s)
  script     once, a feed_update that hangs (the child bound must end it)
  mqtt       for a part of the run feed_url names a local mosquitto, first in
             clear, then over TLS (certificates made with openssl): what the
             spool kept over HTTP goes on over MQTT, and back
  kills      for a part of the run, a feed_update run (with its curl) is
             killed by SIGKILL every second, at whatever step it is in
  storage    once, the spool cannot be written (its path is a file) for a
             while: points go directly while the endpoint is up, and each one
             lost while it is down must be a loss line of Ombrelle's
  settings   twice, xivelyconfig.xml rewritten in place, with a SIGUSR1 while
             it is half written: the last good feed settings must go on
  signals    a burst of 50 SIGUSR1 within a second, every 3 minutes
  stop       the endpoint up until the spool drained, then a feed_update that
             hangs on every call, an application that switches the feed off
             while a tick waits for it, and SIGTERM during that application

Nothing may be lost but what a loss line of Ombrelle's names, and nothing sent twice but the
request a kill cut off. Every good frame and reply carries values no other frame carries, and bad
frames carry values no good one does, so each uploaded value names its frame.
It prints one line per figure, a summary, and exits 1 when a check fails.
"""
import argparse
import calendar
import collections
import json
import os
import random
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time
import tty

TOOLS = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)
sys.path.insert(0, os.path.join(TOP, "tests", "feed"))
sys.path.insert(0, os.path.join(TOP, "tests", "mqtt"))
import simcamera  # noqa: E402
from simcamera import say  # noqa: E402
import feedfixture  # noqa: E402
import brokerfixture  # noqa: E402

# ---- tolerances (the checks' bounds) ----
LATENCY_P99_MS = 200          # trigger injection to its camera event, even during outages
GROWTH_FDS = 1                # descriptors: end minus start (a child's pipe may be open)
GROWTH_THREADS = 1            # threads: the same (a child's reaper)
GROWTH_RSS_KB = {"host": 512, "arm": 512}   # under qemu-arm: the guest's own mappings
IDENTICAL_LINES_MAX = 100     # a longer run of one line is a flood
HANGUP_CPU_MAX = 0.5          # of one core, while the peer is away: a spin takes all of it
STOP_S_MAX = 16               # the child bound plus a second
LOG_MB_PER_HOUR_MAX = 100     # the reader logs four lines a frame by design (10 frames a second)
FLOOD_LOG_MB_PER_HOUR_MAX = 20   # the reader's lines while the peer floods the line with single bytes

TRIGGER_RATE_S = 0.2
FRAME_PERIOD_S = 0.1
SWITCH_PERIOD_S = 30
SERIAL_FAULT_PERIOD_S = 5
STORM_PERIOD_S = 180
STORM_SIGNALS = 50
SILENCE_S = 4                 # longer than the 3 s exchange bound
FAULT_SETTLE_S = 0.3          # no frame for this long before a serial fault
FRAME_FAULTS = ["garbage", "truncated", "badsum"]
LINE_FAULTS = ["silence", "reopen"]
AWAY_S = 3
FLOOD_AT_S = 8                # inside the first spell of record frames (the first switch comes at 30 s)
FLOOD_S = 15
BYTE_AT_LINE_RATE_S = 10.0 / 9600    # 8N1: ten bits a byte
WARMUP_S = 5
RETRY_MAX_S = 10              # the soak's cap of feed_update's retry wait: the spool drains soon after an outage
FINAL_WAIT_S = 60
HUNG_CHANNEL = "Door"
# Windows, as parts of the steady state: each fault has the feed to itself.
MQTT_WINDOW = (0.08, 0.25)
KILL_WINDOW = (0.88, 0.98)
KILL_PERIOD_S = 1.0
STORAGE_AT = 0.27
STORAGE_S = 6.0               # endpoint up for the first half, down for the second
STORAGE_DRAIN_S = 3 * RETRY_MAX_S   # the spool drains (endpoint up) before its path becomes a file
IN_PLACE_AT = (0.25, 0.80)
MQTT_PREFIX = "soak"
PARSE_FAILED = "[Ombrelle]Error Parsing Output configuration xml file"

# Ext_thread 1 toggles the reader at each application: set for exactly the one that switches types.
CONFIG = {True: simcamera.CONFIG, False: simcamera.CONFIG.replace("<Ext_thread>1<", "<Ext_thread>0<")}
CHANNELS = [("Temp", 30), ("Hum", 10), ("Seq", 20)]
SENSOR_ADDRESS = 0xE0
TRIGGERS = [  # kind, SDK command words alternating, feed channel, message state texts, event description
    ("input", ("input1 2", "input1 0"), "Door", ("Closed", "Open"), "Ombrelle Input1 trigger"),
    ("motion", ("motion 1", "motion 0"), "Hall", ("0", "1"), "Ombrelle Motion trigger"),
    ("daynight", ("daynight 1", "daynight 2"), "Light", ("Day", "Night"), "Ombrelle Day/Night trigger"),
]
KIND_OF_EVENT = {t[4]: t[0] for t in TRIGGERS}

HANG_WRAPPER = """#!/bin/sh
# Soak: the first call for channel %s hangs; every other call runs the real program.
if [ "$3" = %s ] && mkdir "${0%%/*}/.hung" 2>/dev/null; then
    exec sleep 3600
fi
exec "${0%%/*}/feed_update.real" "$@"
"""

HANG_ALL = """#!/bin/sh
# Soak: every call hangs, deaf to SIGTERM, and leaves a mark that one runs.
trap '' TERM
: > "${0%/*}/.hanging"
while :; do sleep 1; done
"""

# The reader's own lines, for its share of the log during the flood.
READER_LINE = re.compile(r"^\[Ombrelle\](=+|Receiving .*|Error: (tmp_size|rchksum|serial line hung up).*)$")


def fmt(value):
    return "%.1f" % value


# ---- the RS-485 peer ----

class Peer(threading.Thread):
    """The far end of the serial port: record frames or an RS-485 sensor, and the serial faults.
    Good frames hold no 0x62 byte but the length byte, so a reader out of step finds the next
    frame; every good frame and reply carries values of its own."""

    def __init__(self, root, log):
        super().__init__(daemon=True)
        self.root = root
        self.log = log
        self.flood = None         # (seconds, bytes sent, log bytes before, log bytes after)
        self.master, self.slave = simcamera.serial_link(root)
        self.mode = "frames"
        self.lock = threading.Lock()
        self.faults = collections.deque()
        self.stop = threading.Event()
        self.quiet_until = 0.0
        self.seq = 0
        self.rseq = 0
        self.good = {name: set() for name, _ in CHANNELS}
        self.bad = {name: set() for name, _ in CHANNELS}
        self.counts = collections.Counter()
        self.pending_query = b""

    def ask(self, fault):
        with self.lock:
            self.faults.append(fault)

    def frame_bytes(self, values, params):
        return simcamera.record_frame(values + [0.0] * (8 - len(values)), params + [0] * (8 - len(params)))

    def next_good(self):
        while True:
            self.seq += 1
            values = [round(10.0 + self.seq * 0.1, 1), 2000.0 + self.seq, float(self.seq)]
            frame = self.frame_bytes(values, [code for _, code in CHANNELS])
            if 0x62 not in frame[1:]:
                return frame, values

    def remember(self, values, where):
        for (name, _), value in zip(CHANNELS, values):
            where[name].add(fmt(value))

    def send(self, data):
        try:
            os.write(self.master, data)
        except BlockingIOError:
            self.counts["dropped writes"] += 1

    def run(self):
        os.set_blocking(self.master, False)
        next_frame = last_frame = time.monotonic()
        while not self.stop.is_set():
            with self.lock:
                pending = self.faults[0] if self.faults else None
            now = time.monotonic()
            # Before a fault the frames pause, so the reader waits for a length byte when the
            # fault's bytes come: none is flushed away by its next open. Frame faults wait for
            # the end of a quiet spell, which may shield a query still under way.
            ready = (self.mode != "frames" or now - last_frame >= FAULT_SETTLE_S) and \
                (pending in LINE_FAULTS or now >= self.quiet_until)
            if pending and ready:
                with self.lock:
                    fault = self.faults.popleft()
                # A frame fault that comes after a switch to queries would only be flushed away.
                if self.mode == "frames" or fault in LINE_FAULTS:
                    getattr(self, "fault_" + fault)()
                last_frame = time.monotonic()
                continue
            if self.mode != "frames":
                self.serve_query(now < self.quiet_until)
                continue
            if not pending and now >= next_frame:
                next_frame = max(next_frame + FRAME_PERIOD_S, now)
                last_frame = now
                if now >= self.quiet_until:
                    frame, values = self.next_good()
                    self.remember(values, self.good)
                    self.send(frame)
                    self.counts["good frames"] += 1
            self.drain(min(0.02, max(0.0, next_frame - time.monotonic())))

    def drain(self, seconds):
        ready, _, _ = select.select([self.master], [], [], seconds)
        if ready:
            try:
                os.read(self.master, 256)
            except OSError:
                pass

    def serve_query(self, quiet):
        ready, _, _ = select.select([self.master], [], [], 0.05)
        if not ready:
            return
        try:
            self.pending_query = (self.pending_query + os.read(self.master, 64))[-6:]
        except OSError:
            return
        if len(self.pending_query) == 6 and self.pending_query[:2] == b"\x55\xaa":
            self.pending_query = b""
            if quiet:
                self.counts["queries unanswered"] += 1
                return
            self.rseq += 1
            humidity, celsius, seq = self.rseq * 10, 65535 - self.rseq, 60000 + self.rseq
            self.remember([celsius / 10.0, float(humidity // 10), float(seq)], self.good)
            self.send(simcamera.rs485_reply(humidity, celsius, [seq, 0, 0, 0, 0, 0]))
            self.counts["replies"] += 1

    # Each fault runs on the peer's thread, between two frames.

    def fault_garbage(self):
        self.send(bytes(random.sample([b for b in range(256) if b != 0x62], 16)))
        self.counts["garbage bursts"] += 1

    def fault_truncated(self):
        frame, values = self.next_good()
        self.send(frame[:41])
        self.counts["truncated frames"] += 1
        self.stop.wait(0.5)
        # The reader completes the cut frame with the next one's head: make sure that mix fails.
        while True:
            following, following_values = self.next_good()
            mixed = frame[1:41] + following[:56]
            if sum(mixed) & 0xFF != following[56]:
                break
        self.remember(following_values, self.good)
        self.send(following)

    def fault_badsum(self):
        self.seq += 1
        values = [-1000.0 - self.seq, -2000.0 - self.seq, -float(self.seq)]
        frame = bytearray(self.frame_bytes(values, [code for _, code in CHANNELS]))
        frame[-1] = (frame[-1] + 1) & 0xFF
        if 0x62 in frame[1:]:
            return self.fault_badsum()
        self.remember(values, self.bad)
        self.send(bytes(frame))
        self.counts["bad checksum frames"] += 1

    def fault_flood(self):
        """Single bytes at line rate, never a length byte, for FLOOD_S; the log's size before and after."""
        before = os.path.getsize(self.log)
        start = time.monotonic()
        sent = 0
        while not self.stop.is_set() and time.monotonic() - start < FLOOD_S:
            byte = random.randrange(255)
            self.send(bytes([byte if byte < 0x62 else byte + 1]))
            sent += 1
            self.stop.wait(max(0.0, start + sent * BYTE_AT_LINE_RATE_S - time.monotonic()))
        self.flood = (time.monotonic() - start, sent, before, os.path.getsize(self.log))
        self.counts["floods"] += 1

    def fault_silence(self):
        self.quiet_until = time.monotonic() + SILENCE_S
        self.counts["silences"] += 1

    def fault_reopen(self):
        """A new pty behind the port first, then the old one closed: the node never vanishes."""
        master, slave = os.openpty()
        tty.setraw(slave)
        link = self.root + "/dev/ttyS1"
        os.symlink(os.ttyname(slave), link + ".new")
        os.rename(link + ".new", link)
        old = (self.master, self.slave)
        self.master, self.slave = master, slave
        os.set_blocking(self.master, False)
        os.close(old[0])
        os.close(old[1])
        self.quiet_until = time.monotonic() + AWAY_S
        self.counts["closes and reopens"] += 1

    def close(self):
        self.stop.set()
        self.join(timeout=5)
        os.close(self.master)
        os.close(self.slave)


# ---- the triggers and their events ----

class Injector(threading.Thread):
    """Writes one trigger every TRIGGER_RATE_S to the SDK's control FIFO, without waiting for it."""

    def __init__(self, sim):
        super().__init__(daemon=True)
        self.fd = os.open(sim + "/control", os.O_WRONLY)
        self.stop = threading.Event()
        self.sent = []            # (monotonic time, kind, channel, state text)
        self.turn = collections.Counter()

    def run(self):
        n = 0
        start = time.monotonic()
        while not self.stop.is_set():
            kind, commands, channel, texts, _ = TRIGGERS[n % len(TRIGGERS)]
            k = self.turn[kind]
            self.turn[kind] += 1
            line = (commands[k % 2] + "\n").encode()
            self.sent.append((time.monotonic(), kind, channel, texts[k % 2]))
            try:
                os.write(self.fd, line)
            except OSError:
                self.sent.pop()
                break
            n += 1
            self.stop.wait(max(0.0, start + n * TRIGGER_RATE_S - time.monotonic()))

    def close(self):
        self.stop.set()
        self.join(timeout=5)
        os.close(self.fd)


class EventWatcher(threading.Thread):
    """Reads the SDK's events file as it grows; each trigger event's time of arrival."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.stop = threading.Event()
        self.seen = []            # (monotonic time, kind or None, state)

    def run(self):
        data, offset = b"", 0
        while not self.stop.is_set():
            try:
                size = os.path.getsize(self.path)
            except OSError:
                size = 0
            if size > len(data):
                now = time.monotonic()
                with open(self.path, "rb") as f:
                    f.seek(len(data))
                    data += f.read()
                offset = self.parse(data, offset, now)
            self.stop.wait(0.002)

    def parse(self, data, offset, now):
        while True:
            head_end = data.find(b"\n", offset)
            if head_end < 0:
                return offset
            _, state, length = data[offset:head_end].decode().split()
            end = head_end + 1 + int(length)
            if len(data) < end + 1:
                return offset
            payload = data[head_end + 1:end].decode(errors="replace")
            description = payload.split("description:")[1].strip().strip('"').split('"')[0]
            self.seen.append((now, KIND_OF_EVENT.get(description), int(state)))
            offset = end + 1


# ---- Ombrelle's process ----

class LogTail:
    """Counts a few lines of Ombrelle's log as it grows, without reading it again."""
    NEEDLES = ("DYNAMIC CONFIGURATION ENDED", "[Ombrelle]Handle Configuration Change", "[Ombrelle]Trigger Value  = ",
               "did not end within", PARSE_FAILED, "[Ombrelle]Feed message lost: ",
               "[Ombrelle]Error sending message packet", " upload lost: feed_update")

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = b""
        self.counts = collections.Counter()

    def count(self, needle):
        assert needle in self.NEEDLES, needle
        if os.path.exists(self.path):
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
            self.offset += len(data)
            data = self.rest + data
            complete = data.rfind(b"\n") + 1
            self.rest = data[complete:]
            text = data[:complete].decode("utf-8", errors="replace")
            for n in self.NEEDLES:
                self.counts[n] += text.count(n)
        return self.counts[needle]


def guest_rss_kb(pid):
    """Resident memory of the 32-bit guest under qemu-arm: its mappings below 4 GiB. The rest of
    the process is the emulator's own (its heap grows with every guest thread started)."""
    total, low = 0, False
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split(None, 1)[0]
            if "-" in head and not head.endswith(":"):
                low = int(head.split("-")[0], 16) < 1 << 32
            elif head == "Rss:" and low:
                total += int(line.split()[1])
    return total


def proc_figures(pid, guest=False):
    """(descriptors, threads, RSS kB, CPU seconds) of a process; RSS of the guest alone under qemu."""
    fds = len(os.listdir("/proc/%d/fd" % pid))
    threads = rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, threads, guest_rss_kb(pid) if guest else rss, cpu_seconds(pid)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def steady_figures(pid, guest):
    """The smallest of ten samples a tenth of a second apart (a child's pipe or reaper passes),
    and the whole process's RSS."""
    samples = []
    for _ in range(10):
        samples.append(proc_figures(pid, guest)[:3])
        time.sleep(0.1)
    return tuple(min(s[i] for s in samples) for i in range(3)) + (proc_figures(pid)[2],)


# ---- the feed's other paths and faults ----

class MqttFeed:
    """Debian's mosquitto on 127.0.0.1 and a subscriber that stamps each message with its arrival
    (the same clock as the HTTP server's), so both feeds merge into one order per channel."""

    def __init__(self, work):
        directory = os.path.join(work, "mqtt")
        os.makedirs(directory)
        feedfixture.make_certificates(directory)
        self.broker = brokerfixture.Mosquitto(directory)
        tls_port = brokerfixture.free_port()
        with open(os.path.join(directory, "mosquitto.conf"), "a") as f:
            f.write("listener %d %s\nallow_anonymous true\ncafile %s/ca.pem\ncertfile %s/server.pem\n"
                    "keyfile %s/server.key\n" % (tls_port, brokerfixture.HOST, directory, directory, directory))
        self.broker.start()
        if not simcamera.wait_for(lambda: brokerfixture.accepts(tls_port), 10):
            raise RuntimeError("mosquitto did not open its TLS listener: " + self.broker.log())
        self.url = "mqtt://%s:%d/%s" % (brokerfixture.HOST, self.broker.open_port, MQTT_PREFIX)
        # BearSSL checks DNS names only: the certificate is for localhost, the listener on 127.0.0.1.
        self.tls_url = "mqtts://localhost:%d/%s?cafile=%s/ca.pem" % (tls_port, MQTT_PREFIX, directory)
        self.path = os.path.join(directory, "received")
        self.output = open(self.path, "wb")
        self.sub = subprocess.Popen(
            ["mosquitto_sub", "-h", brokerfixture.HOST, "-p", str(self.broker.open_port), "-q", "1",
             "-t", MQTT_PREFIX + "/#", "-i", "soak-sub", "-F", r"%U\t%t\t%x"],
            stdout=self.output, stderr=subprocess.DEVNULL)
        probe = lambda: subprocess.run(["mosquitto_pub", "-h", brokerfixture.HOST, "-p",
                                        str(self.broker.open_port), "-q", "1", "-t", MQTT_PREFIX + "/ready",
                                        "-m", "x"], capture_output=True) and os.path.getsize(self.path) > 0
        if not simcamera.wait_for(probe, 10):
            raise RuntimeError("mosquitto_sub did not subscribe")

    def points(self):
        """(arrival, channel, value) of each feed message, in arrival order."""
        with open(self.path, "rb") as f:
            data = f.read()
        found = []
        for line in data[:data.rfind(b"\n") + 1].splitlines():
            when, topic, payload = line.split(b"\t")
            levels = topic.decode("utf-8", errors="replace").split("/")
            if len(levels) != 3:
                continue
            found.append((float(when), levels[2], json.loads(bytes.fromhex(payload.decode()))["value"]))
        return found

    def close(self):
        if self.sub.poll() is None:
            self.sub.terminate()
            self.sub.wait(timeout=10)
        self.output.close()
        self.broker.stop()


class Killer(threading.Thread):
    """While on, SIGKILLs one running feed_update (its process group: its curl too) a period."""

    def __init__(self, home):
        super().__init__(daemon=True)
        self.names = {(home + "/feed_update").encode(), (home + "/feed_update.arm").encode()}
        self.on = threading.Event()
        self.stop = threading.Event()
        self.kills = 0

    def find(self):
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().split(b"\0")
            except OSError:
                continue
            # The program itself on the host, qemu-arm running its ARM copy: never a wrapper shell.
            if argv[0] in self.names or any(a.endswith(b"/feed_update.arm") and a in self.names for a in argv):
                return int(pid)
        return None

    def run(self):
        while not self.stop.is_set():
            if not self.on.wait(0.1):
                continue
            pid = self.find()
            if pid is None:
                time.sleep(0.005)
                continue
            try:
                os.killpg(pid, signal.SIGKILL)
                self.kills += 1
            except OSError:
                continue
            self.stop.wait(KILL_PERIOD_S)

    def close(self):
        self.stop.set()
        self.join(timeout=5)


# ---- accounting ----

def delivered_points(server):
    """Per confirmed request, in order: {channel: [(at or None, value)]}, its arrival second and
    whether its body was valid JSON."""
    requests = []
    for request in server.requests:
        if not request.confirmed:
            continue
        try:
            document = json.loads(request.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            requests.append(({}, request.received, False))
            continue
        streams = collections.OrderedDict()
        for stream in document["datastreams"]:
            if "datapoints" in stream:
                streams[stream["id"]] = [(p["at"], p["value"]) for p in stream["datapoints"]]
            else:
                streams[stream["id"]] = [(None, stream["current_value"])]
        requests.append((streams, request.received, True))
    return requests


def at_seconds(at):
    return calendar.timegm(time.strptime(at, "%Y-%m-%dT%H:%M:%SZ"))


def resends(previous, current):
    """True when `current` starts, channel by channel, with every point of `previous`: the same
    batch sent again after its answer was lost (at-least-once delivery)."""
    streams, received, _ = previous
    if not streams:
        return False
    for channel, points in streams.items():
        again = current[0].get(channel, [])
        if len(again) < len(points):
            return False
        for (at, value), (at2, value2) in zip(points, again):
            if value != value2 or at2 is None:
                return False
            if at is not None and at != at2:
                return False
            if at is None and at_seconds(at2) > received:
                return False
    return True


def feed_sequences(requests, mqtt_points=()):
    """Per channel, the values delivered in order over HTTP and MQTT merged by arrival, and the
    HTTP duplicates told apart."""
    arrivals = collections.defaultdict(list)
    duplicates = collections.Counter()
    previous = None
    for request in requests:
        skip = {}
        if previous is not None and resends(previous, request):
            skip = {channel: len(points) for channel, points in previous[0].items()}
        for channel, points in request[0].items():
            n = skip.get(channel, 0)
            duplicates[channel] += n
            arrivals[channel] += [(request[1], value) for _, value in points[n:]]
        previous = request
    for when, channel, value in mqtt_points:
        arrivals[channel].append((when, value))
    # A stable sort: the points of one request keep their order.
    sequences = {channel: [v for _, v in sorted(items, key=lambda item: item[0])]
                 for channel, items in arrivals.items()}
    return collections.defaultdict(list, sequences), duplicates


# The spool's layout, as feed/spool.h states it: state slots of 512 bytes (magic, sequence,
# generation, head first); the log's header of 16 bytes; records of a length, wall and boot
# times, boot id, three text lengths, the texts and a checksum.
STATE_MAGIC, LOG_MAGIC, SLOT_SIZE, LOG_HEADER = 0x54535346, 0x4C505346, 512, 16


def spool_records(data, offset):
    """The (feed, channel, value) of each whole record from offset on."""
    records = []
    while offset + 63 <= len(data):
        length = struct.unpack_from("<I", data, offset)[0]
        if length < 63 or offset + length > len(data):
            break
        sizes = data[offset + 56:offset + 59]
        if 63 + sum(sizes) != length:
            break
        texts, at = [], offset + 59
        for size in sizes:
            texts.append(data[at:at + size].decode("utf-8", errors="replace"))
            at += size
        records.append(tuple(texts))
        offset += length
    return records


def spool_head(spool):
    """(generation, head) of the newest state slot, or None."""
    try:
        with open(spool + "/state", "rb") as f:
            state = f.read()
    except OSError:
        return None
    best = None
    for slot in range(2):
        if len(state) < (slot + 1) * SLOT_SIZE:
            continue
        magic, sequence, generation, head = struct.unpack_from("<IIQQ", state, slot * SLOT_SIZE)
        if magic == STATE_MAGIC and (best is None or sequence > best[0]):
            best = (sequence, generation, head)
    return best[1:] if best else None


def spool_sequences(spool):
    """Per channel, the values still kept in the spool (its log from the head, then its inbox)."""
    kept = collections.defaultdict(list)
    if not os.path.isdir(spool):
        return kept
    records = []
    state = spool_head(spool)
    try:
        with open(spool + "/log", "rb") as f:
            log = f.read()
    except OSError:
        log = b""
    if len(log) >= LOG_HEADER and struct.unpack_from("<I", log)[0] == LOG_MAGIC:
        generation = struct.unpack_from("<Q", log, 8)[0]
        head = state[1] if state and state[0] == generation else LOG_HEADER
        records += spool_records(log, head)
    for name in sorted(n for n in os.listdir(spool) if n.startswith("in.")):
        with open(os.path.join(spool, name), "rb") as f:
            records += spool_records(f.read(), 0)
    for _, channel, value in records:
        kept[channel].append(value)
    return kept


def compare(expected, delivered, kept, in_flight=0):
    """(lost, extra, first index where they differ or None). Up to `in_flight` points after the
    expected ones are runs the stop ended after feed_update had taken their point: not extra."""
    observed = delivered + kept
    if observed[:len(expected)] == expected and len(observed) - len(expected) <= in_flight:
        return 0, 0, None
    first = next((i for i, (a, b) in enumerate(zip(expected, observed)) if a != b), min(len(expected), len(observed)))
    return max(0, len(expected) - len(observed)), max(0, len(observed) - len(expected)), first


def fewer(a, b):
    return b is None or (a[0] + a[1], a[0]) < (b[0] + b[1], b[0])


def align(expected, observed, skips_max, repeats_max, trailing_max):
    """The fewest (left out, repeated) that make `observed` of `expected`: an expected point left
    out (what a loss line may name), a point repeated right after itself (a message whose run a
    kill cut off runs once more), and up to `trailing_max` points after the end (runs the stop
    ended after feed_update took their point). None when no way stays within the bounds."""
    m = len(observed)
    row = {0: (0, 0)}
    for i in range(len(expected) + 1):
        if i > 0 and repeats_max > 0:
            for j in sorted(row):
                if j < m and observed[j] == expected[i - 1] and row[j][1] < repeats_max:
                    candidate = (row[j][0], row[j][1] + 1)
                    if fewer(candidate, row.get(j + 1)):
                        row[j + 1] = candidate
        if i == len(expected):
            break
        following = {}
        for j, (skips, repeats) in row.items():
            if j < m and observed[j] == expected[i] and fewer((skips, repeats), following.get(j + 1)):
                following[j + 1] = (skips, repeats)
            if skips < skips_max and fewer((skips + 1, repeats), following.get(j)):
                following[j] = (skips + 1, repeats)
        row = following
    ends = [cost for j, cost in row.items() if m - j <= trailing_max]
    return min(ends, key=lambda c: (c[0] + c[1], c[0])) if ends else None


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def longest_identical_run(lines):
    best, run, last = 0, 0, None
    for line in lines:
        run = run + 1 if line == last else 1
        last = line
        best = max(best, run)
    return best


# ---- the run ----

class Soak:
    def __init__(self, args):
        self.args = args
        self.kind = "arm" if args.arm else "host"
        build = args.build or os.path.join(TOP, "build", self.kind)
        emulator = ["qemu-arm", "-L", "/usr/arm-linux-gnueabihf"] if args.arm else None
        self.work, self.root, self.home, self.sim = simcamera.camera_tree("ombrelle-soak-", build, emulator)
        self.log = self.root + "/var/log/Ombrelle.log"
        self.tail = LogTail(self.log)
        self.spool = self.home + "/spool"
        self.server = feedfixture.FeedServer("ok")
        self.set_feed_url(self.server.url)
        self.mqtt = MqttFeed(self.work)
        self.killer = Killer(self.home)
        self.storage = None          # (points delivered directly, loss lines) once the window ran
        self.tls_window = [0, 0]     # wall times while feed_url named the TLS listener
        self.in_place = []           # parse errors logged by each rewrite in place
        self.sensor_type = 3
        self.write_config(3, True)
        self.peer = Peer(self.root, self.log)
        self.checks = []
        self.hangup_cpu = []
        self.feed_log = []
        self.storms = 0
        self.switches = 0
        self.hang_done = False

    def set_feed_url(self, url):
        simcamera.replace_atomically(self.home + "/feed_url", (url + "\n").encode())

    def write_config(self, sensor_type, toggle):
        simcamera.replace_atomically(self.home + "/html/configparams.xml", CONFIG[toggle].encode())
        simcamera.replace_atomically(self.home + "/html/xivelyconfig.xml",
                                     simcamera.feed_config(sensor_type, SENSOR_ADDRESS, CHANNELS).encode())

    def log_text(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def count_in_log(self, needle):
        return self.tail.count(needle)

    def start(self):
        build = self.args.build or os.path.join(TOP, "build", self.kind)
        program = os.path.join(build, "app", "Ombrelle")
        command = ["qemu-arm", "-L", "/usr/arm-linux-gnueabihf", program] if self.args.arm else [program]
        env = simcamera.camera_env(self.root, self.home, self.sim)
        env["FEED_RETRY_MAX_S"] = str(RETRY_MAX_S)
        self.stderr = open(self.work + "/stderr", "w")
        self.process = subprocess.Popen(command, env=env, stdout=self.stderr, stderr=self.stderr,
                                        start_new_session=True)
        ended = "DYNAMIC CONFIGURATION ENDED"
        if not simcamera.wait_for(lambda: os.path.exists(self.sim + "/control") and self.count_in_log(ended) > 0,
                                  60):
            raise RuntimeError("Ombrelle did not apply its configuration; see " + self.log)
        self.write_config(3, False)

    def applications_ended(self):
        """Applications that ran to their end, and those a half-written second file ended early."""
        return self.count_in_log("DYNAMIC CONFIGURATION ENDED") + self.count_in_log(PARSE_FAILED)

    def settle(self):
        """Until every application that was asked for has ended."""
        simcamera.wait_for(lambda: self.count_in_log("[Ombrelle]Handle Configuration Change") ==
                           self.applications_ended() - 1, 40)

    def switch(self, sensor_type):
        """One application with the new type that also toggles the reader (on for frames, off
        for queries); the peer plays the new sensor once it has applied."""
        self.settle()
        before = self.count_in_log("DYNAMIC CONFIGURATION ENDED")
        if sensor_type == 1:
            self.peer.mode = "sensor"
        self.write_config(sensor_type, True)
        self.process.send_signal(signal.SIGUSR1)
        simcamera.wait_for(lambda: self.count_in_log("DYNAMIC CONFIGURATION ENDED") > before, 40)
        self.write_config(sensor_type, False)
        if sensor_type == 3:
            # A query of a tick begun before may still wait for its reply: no frame may land in it.
            self.peer.quiet_until = time.monotonic() + SILENCE_S
            self.peer.mode = "frames"
        self.sensor_type = sensor_type
        self.switches += 1

    def storm(self):
        self.settle()
        for _ in range(STORM_SIGNALS):
            self.process.send_signal(signal.SIGUSR1)
            time.sleep(1.0 / STORM_SIGNALS)
        self.storms += 1

    def install_script(self, data):
        """A new feed_update, executable before it takes the name: a run never finds it half made."""
        temporary = self.home + "/.feed_update.new"
        with open(temporary, "wb") as f:
            f.write(data)
        os.chmod(temporary, 0o755)
        os.rename(temporary, self.home + "/feed_update")

    def hang_script(self):
        shutil.copy(self.home + "/feed_update", self.home + "/feed_update.real")
        self.install_script((HANG_WRAPPER % (HUNG_CHANNEL, HUNG_CHANNEL)).encode())
        self.hang_started = time.monotonic()

    def unhang_script(self):
        # The program comes back by a link and a rename: never rewritten, and a wrapper in flight
        # still finds feed_update.real.
        temporary = self.home + "/.feed_update.new"
        os.link(self.home + "/feed_update.real", temporary)
        os.rename(temporary, self.home + "/feed_update")
        self.hang_done = True

    def write_in_place(self):
        """xivelyconfig.xml rewritten in place as a careless settings writer does, with a SIGUSR1
        while it is half written: the application must keep the last good feed settings."""
        self.settle()
        data = simcamera.feed_config(self.sensor_type, SENSOR_ADDRESS, CHANNELS).encode()
        errors, ended = self.count_in_log(PARSE_FAILED), self.applications_ended()
        with open(self.home + "/html/xivelyconfig.xml", "r+b") as f:
            f.truncate(0)
            f.write(data[:len(data) // 2])
            f.flush()
            self.process.send_signal(signal.SIGUSR1)
            simcamera.wait_for(lambda: self.applications_ended() > ended, 40)
            f.write(data[len(data) // 2:])
        self.in_place.append(self.count_in_log(PARSE_FAILED) - errors)

    def storage_fault(self):
        """The spool's path becomes a file: it cannot be opened, nor written, until restored."""
        away = self.spool + ".away"
        os.rename(self.spool, away)
        with open(self.spool, "w") as f:
            f.write("not a folder\n")
        self.storage_started = (self.server_requests(), self.loss_lines())

    def storage_restore(self):
        os.unlink(self.spool)
        os.rename(self.spool + ".away", self.spool)
        requests, losses = self.storage_started
        self.storage = (self.server_requests() - requests, self.loss_lines() - losses)

    def trigger_losses(self):
        return self.count_in_log("[Ombrelle]Feed message lost: ") + \
            self.count_in_log("[Ombrelle]Error sending message packet")

    def server_requests(self):
        return sum(1 for r in self.server.requests if r.confirmed)

    def loss_lines(self):
        return self.trigger_losses() + self.count_in_log(" upload lost: feed_update")

    def feed_mode_at(self, t):
        """up for 10 s, then down 30 s, up 30 s, hang 20 s in a cycle (scaled down in short runs)."""
        scale = min(1.0, self.args.seconds / 240.0)
        lead = 10 * scale
        if t < lead:
            return "ok"
        phase = (t - lead) % (80 * scale)
        return "refuse" if phase < 30 * scale else "ok" if phase < 60 * scale else "hang"

    def steady(self):
        seconds = self.args.seconds
        serial_faults = FRAME_FAULTS + LINE_FAULTS
        next_serial, next_switch = SERIAL_FAULT_PERIOD_S, SWITCH_PERIOD_S
        next_storm = min(45.0, seconds * 0.75)
        hang_at = min(100.0, seconds * 0.6)
        flood_asked = False
        fault_turn = 0
        away = None
        on_mqtt = None
        storage, storage_t = "before", None
        in_place = list(IN_PLACE_AT)
        start = time.monotonic()
        while True:
            t = time.monotonic() - start
            if t >= seconds:
                break
            part = t / seconds
            middle = (MQTT_WINDOW[0] + MQTT_WINDOW[1]) / 2
            want = None if not MQTT_WINDOW[0] <= part < MQTT_WINDOW[1] else "mqtt" if part < middle else "mqtts"
            if want != on_mqtt:
                if want == "mqtts":
                    self.tls_window = [time.time(), None]
                elif on_mqtt == "mqtts":
                    self.tls_window[1] = time.time()
                on_mqtt = want
                self.set_feed_url({None: self.server.url, "mqtt": self.mqtt.url, "mqtts": self.mqtt.tls_url}[want])
                say("feed", {None: "feed_url names the HTTP server again", "mqtt": "feed_url names mosquitto",
                             "mqtts": "feed_url names mosquitto's TLS listener"}[want])
            if (KILL_WINDOW[0] <= part < KILL_WINDOW[1]) != self.killer.on.is_set():
                if self.killer.on.is_set():
                    self.killer.on.clear()
                    say("kills", "no more kills (%d feed_update runs killed)" % self.killer.kills)
                else:
                    self.killer.on.set()
                    say("kills", "a feed_update run killed by SIGKILL every %.0f s" % KILL_PERIOD_S)
            if storage == "before" and part >= STORAGE_AT:
                storage, storage_t = "draining", t
                say("storage", "endpoint up until the spool drained")
            if storage == "draining" and (not any(spool_sequences(self.spool).values())
                                          or t - storage_t > STORAGE_DRAIN_S):
                storage, storage_t = "fault", t
                self.storage_fault()
                say("storage", "the spool's path is a file for %.0f s: endpoint up, then down" % STORAGE_S)
            if storage == "fault" and t - storage_t >= STORAGE_S:
                storage = "done"
                self.storage_restore()
                say("storage", "the spool is back")
            if in_place and part >= in_place[0] and t < seconds - 5:
                in_place.pop(0)
                say("settings", "xivelyconfig.xml rewritten in place, SIGUSR1 while half written")
                self.write_in_place()
            mode = self.feed_mode_at(t)
            if storage == "draining" or (storage == "fault" and t - storage_t < STORAGE_S / 2):
                mode = "ok"
            elif storage == "fault":
                mode = "refuse"
            if mode != self.server.mode:
                self.server.set_mode(mode)
                self.feed_log.append((t, mode))
                say("feed", {"ok": "endpoint up", "refuse": "endpoint down (refused)",
                             "hang": "endpoint accepts and never answers"}[mode])
            if t >= next_switch and t < seconds - 5:
                next_switch += SWITCH_PERIOD_S
                self.switch(1 if self.sensor_type == 3 else 3)
                say("sigusr1", "sensor type %d" % self.sensor_type)
            if t >= next_storm and t < seconds - 5:
                next_storm += STORM_PERIOD_S
                say("signals", "%d SIGUSR1 within a second" % STORM_SIGNALS)
                self.storm()
            if not flood_asked and t >= FLOOD_AT_S and self.sensor_type == 3:
                flood_asked = True
                say("serial", "single bytes at line rate for %d s" % FLOOD_S)
                self.peer.ask("flood")
            if t >= next_serial:
                next_serial += SERIAL_FAULT_PERIOD_S
                kinds = serial_faults if self.sensor_type == 3 else LINE_FAULTS
                fault = kinds[fault_turn % len(kinds)]
                fault_turn += 1
                self.peer.ask(fault)
                if fault == "reopen":
                    away = (time.monotonic(), cpu_seconds(self.process.pid))
            if away is not None and time.monotonic() - away[0] >= AWAY_S:
                self.hangup_cpu.append((cpu_seconds(self.process.pid) - away[1]) / (time.monotonic() - away[0]))
                away = None
            if not self.hang_done and t >= hang_at:
                if not hasattr(self, "hang_started"):
                    say("script", "feed_update hangs on its next call for %s" % HUNG_CHANNEL)
                    self.hang_script()
                elif self.count_in_log("did not end within") > 0 or time.monotonic() - self.hang_started > 40:
                    self.unhang_script()
                    say("script", "feed_update restored")
            if self.process.poll() is not None:
                raise RuntimeError("Ombrelle ended during the run with status %s" % self.process.returncode)
            time.sleep(0.05)
        if not self.hang_done and hasattr(self, "hang_started"):
            self.unhang_script()
        self.killer.on.clear()
        if storage == "fault":
            self.storage_restore()
        if on_mqtt:
            self.set_feed_url(self.server.url)
            if on_mqtt == "mqtts":
                self.tls_window[1] = time.time()

    def drain(self, expected_messages):
        """Endpoint up, no more triggers: until every message ran and the spool is empty."""
        self.server.set_mode("ok")
        if self.sensor_type != 3:
            self.switch(3)
        deadline = time.monotonic() + FINAL_WAIT_S
        while time.monotonic() < deadline:
            sent = self.count_in_log("[Ombrelle]Trigger Value  = ") + self.trigger_losses()
            kept = spool_sequences(self.spool)
            if sent >= expected_messages and not any(kept.values()):
                return True
            time.sleep(0.5)
        return False

    def stop_in_feed_off_application(self):
        """A tick waits for a feed_update that hangs; an application switches the feed off, which
        waits for that tick; SIGTERM comes during it. Returns the exit status and the stop's time."""
        mark = self.home + "/.hanging"
        self.install_script(HANG_ALL.encode())
        hanging = simcamera.wait_for(lambda: os.path.exists(mark), 20)
        say("script", "feed_update hangs on every call" + ("" if hanging else " (no tick ran it within 20 s)"))
        simcamera.replace_atomically(self.home + "/html/configparams.xml",
                                     CONFIG[False].replace("<XivelyEnabled>1<", "<XivelyEnabled>0<").encode())
        before = self.count_in_log("[Ombrelle]Handle Configuration Change")
        self.process.send_signal(signal.SIGUSR1)
        simcamera.wait_for(lambda: self.count_in_log("[Ombrelle]Handle Configuration Change") > before, 20)
        time.sleep(0.3)
        ended = self.count_in_log("DYNAMIC CONFIGURATION ENDED")
        say("camera", "SIGTERM during an application that switches the feed off")
        stop0 = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=150)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.feed_off_stop = hanging and ended == self.count_in_log("DYNAMIC CONFIGURATION ENDED")
        return status, time.monotonic() - stop0

    def check(self, ok, line):
        self.checks.append(ok)
        print("%-6s %s" % ("ok" if ok else "FAILED", line), flush=True)

    def run(self):
        say("soak", "%s build, %d s of steady state, in %s" % (self.kind, self.args.seconds, self.work))
        self.start()
        self.peer.start()
        self.killer.start()
        injector = Injector(self.sim)
        events = EventWatcher(self.sim + "/events")
        events.start()
        injector.start()
        time.sleep(WARMUP_S)
        fds0, threads0, rss0, whole0 = steady_figures(self.process.pid, self.args.arm)
        log0 = os.path.getsize(self.log)
        t0 = time.monotonic()
        say("soak", "steady state: %d descriptors, %d threads, %d kB resident" % (fds0, threads0, rss0))
        try:
            self.steady()
        finally:
            injector.close()
        steady_s = time.monotonic() - t0
        log1 = os.path.getsize(self.log)
        say("soak", "triggers stopped; endpoint up until every message ran and the spool drained")
        drained = self.drain(len(injector.sent))
        time.sleep(1)
        fds1, threads1, rss1, whole1 = steady_figures(self.process.pid, self.args.arm)
        status, stop_s = self.stop_in_feed_off_application()
        events.stop.set()
        events.join(timeout=5)
        self.peer.close()
        self.killer.close()
        self.server.close()
        self.mqtt_points = self.mqtt.points()
        self.mqtt.close()
        self.stderr.close()
        self.report(injector, events, drained, steady_s, (fds0, threads0, rss0, whole0),
                    (fds1, threads1, rss1, whole1), log1 - log0, status, stop_s)
        failed = self.checks.count(False)
        print("summary: %d checks, %d passed, %d failed; feed faults %s; serial faults %s; %d type switches, "
              "%d signal storms, %s" % (len(self.checks), len(self.checks) - failed, failed,
                                        self.feed_summary(), self.serial_summary(), self.switches, self.storms,
                                        "a feed_update hung and was killed" if self.hang_done else "no hang"))
        print("result %s" % ("ok" if failed == 0 else "FAILED"))
        if failed == 0 and not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print("files kept in %s" % self.work)
        return 0 if failed == 0 else 1

    def feed_summary(self):
        c = collections.Counter(mode for _, mode in self.feed_log)
        return "(down %d, up %d, never answering %d)" % (c["refuse"], c["ok"], c["hang"])

    def serial_summary(self):
        c = self.peer.counts
        return "(%d garbage bursts, %d truncated, %d bad checksums, %d silences, %d closes and reopens)" % (
            c["garbage bursts"], c["truncated frames"], c["bad checksum frames"], c["silences"],
            c["closes and reopens"])

    def report(self, injector, events, drained, steady_s, start, end, log_bytes, status, stop_s):
        log = self.log_text()
        lines = log.splitlines()
        requests = delivered_points(self.server)
        mqtt = [p for p in self.mqtt_points if p[1] in dict(CHANNELS) or p[1] in (t[2] for t in TRIGGERS)]
        delivered, duplicates = feed_sequences(requests, mqtt)
        kept = spool_sequences(self.spool)
        kills = self.killer.kills

        # Triggers: every one has its event, and its message was delivered or is kept.
        latencies = []
        pending = collections.defaultdict(collections.deque)
        for sent in injector.sent:
            pending[sent[1]].append(sent)
        event_counts = collections.Counter()
        for when, kind, _ in events.seen:
            if kind is None:
                continue
            event_counts[kind] += 1
            if pending[kind]:
                latencies.append((when - pending[kind].popleft()[0]) * 1000.0)
        # A message is left out only where a loss line says so, and repeated only after a kill.
        losses = self.trigger_losses()
        left_out = repeated = 0
        for kind, _, channel, _, _ in TRIGGERS:
            expected = [text for _, k, _, text in injector.sent if k == kind]
            observed = delivered.get(channel, []) + kept.get(channel, [])
            fit = align(expected, observed, losses, kills, 0)
            lost, extra, first = compare(expected, delivered.get(channel, []), kept.get(channel, []))
            if fit is not None:
                left_out, repeated = left_out + fit[0], repeated + fit[1]
            self.check(event_counts[kind] == len(expected) and fit is not None,
                       "triggers %-8s injected %5d  events %5d  feed messages delivered %5d, still in the spool "
                       "%d, duplicates %d, %s" % (
                           kind, len(expected), event_counts[kind], len(delivered.get(channel, [])),
                           len(kept.get(channel, [])), duplicates[channel],
                           "left out %d, repeated %d" % fit if fit is not None else
                           "NOT the messages sent: lost %d, extra %d (first difference at message %s)" % (
                               lost, extra, first)))
        self.check(left_out <= losses and repeated <= kills,
                   "losses   trigger messages left out %d, loss lines of Ombrelle %d; repeated %d after %d "
                   "feed_update runs killed" % (left_out, losses, repeated, kills))
        if latencies:
            p50, p99, top = statistics.median(latencies), percentile(latencies, 99), max(latencies)
            self.check(p99 <= LATENCY_P99_MS,
                       "latency  trigger to camera event: median %.1f ms, p99 %.1f ms, max %.1f ms over %d "
                       "(target p99 <= %d ms, feed outages included)" % (p50, p99, top, len(latencies),
                                                                         LATENCY_P99_MS))
        else:
            self.check(False, "latency  no trigger event seen")

        # Ticks: every value Ombrelle uploaded was delivered or is kept, and came from a good frame.
        uploads = collections.defaultdict(list)
        for match in re.finditer(r"\[Ombrelle\]Channel(\d) Value  = +(-?[0-9.]+) \n", log):
            uploads[CHANNELS[int(match.group(1)) - 1][0]].append(match.group(2))
        stopped = log.count("stopped: Ombrelle is stopping")
        for number, (name, _) in enumerate(CHANNELS, 1):
            expected = uploads[name]
            loss = log.count("[Ombrelle]Channel%d upload lost: feed_update" % number)
            fit = align(expected, delivered.get(name, []) + kept.get(name, []), loss, 0, stopped)
            lost, extra, first = compare(expected, delivered.get(name, []), kept.get(name, []), stopped)
            foreign = [v for v in expected if v not in self.peer.good[name]]
            self.check(fit is not None and not foreign and expected,
                       "ticks    %-8s uploads %5d  delivered %5d, still in the spool %d, duplicates %d, %s, "
                       "values of no good frame %d" % (
                           name, len(expected), len(delivered.get(name, [])), len(kept.get(name, [])),
                           duplicates[name],
                           "left out %d (loss lines %d)" % (fit[0], loss) if fit is not None else
                           "NOT the uploads: lost %d, extra %d (first difference at upload %s; loss lines %d)" % (
                               lost, extra, first, loss), len(foreign)))
        seqs = set(uploads["Seq"])
        c = self.peer.counts
        # Failed passes past the reader's flood allowance are counted in its summary lines, not logged.
        repeated = collections.Counter()
        for kind, n in re.findall(r"\[Ombrelle\]Error: (tmp_size|rchksum) lines repeated (\d+) times", log):
            repeated[kind] += int(n)
        rchksum = len(re.findall(r"\[Ombrelle\]Error: rchksum \d", log)) + repeated["rchksum"]
        tmp_size = len(re.findall(r"\[Ombrelle\]Error: tmp_size \d", log)) + repeated["tmp_size"]
        bad_uploaded = sum(1 for name, _ in CHANNELS for v in uploads[name] if v in self.peer.bad[name])
        self.check(bad_uploaded == 0 and rchksum >= c["bad checksum frames"] + c["truncated frames"]
                   and tmp_size >= c["garbage bursts"],
                   "frames   good frames %d and replies %d, values taken by ticks %d; bad frames sent: %d bad "
                   "checksum + %d truncated (rchksum passes %d), %d garbage bursts (tmp_size passes %d); values of "
                   "bad frames uploaded %d" % (
                       c["good frames"], c["replies"], len(seqs), c["bad checksum frames"], c["truncated frames"],
                       rchksum, c["garbage bursts"], tmp_size, bad_uploaded))
        skipped = sum(int(n) for n in re.findall(r"\[Ombrelle\]Upload ticks skipped while the previous tick ran: (\d+)", log))
        print("info   ticks    %d expiries skipped while a tick waited for feed_update (logged by Ombrelle)" % skipped)
        invalid = sum(1 for r in requests if not r[2])
        self.check(invalid == 0 and drained,
                   "feed     %d requests answered, %d with a body that is not UTF-8 JSON; spool %s after the "
                   "endpoint's last recovery" % (len(requests), invalid, "drained" if drained else "NOT drained"))

        # Growth.
        tolerance = GROWTH_RSS_KB[self.kind]
        self.check(end[0] - start[0] <= GROWTH_FDS,
                   "growth   descriptors %d at the start, %d at the end (tolerance +%d)" % (start[0], end[0],
                                                                                            GROWTH_FDS))
        self.check(end[1] - start[1] <= GROWTH_THREADS,
                   "growth   threads %d at the start, %d at the end (tolerance +%d)" % (start[1], end[1],
                                                                                        GROWTH_THREADS))
        self.check(end[2] - start[2] <= tolerance,
                   "growth   resident memory%s %d kB at the start, %d kB at the end (tolerance +%d kB)%s" % (
                       " of the ARM program" if self.args.arm else "", start[2], end[2], tolerance,
                       "; the whole qemu-arm process %d kB, then %d kB" % (start[3], end[3]) if self.args.arm
                       else ""))
        per_hour = log_bytes / steady_s * 3600.0
        burst = longest_identical_run(lines)
        self.check(burst <= IDENTICAL_LINES_MAX and per_hour <= LOG_MB_PER_HOUR_MAX * 1e6,
                   "log      %.1f MB an hour (%d bytes in %.0f s); largest burst of identical lines %d "
                   "(tolerance %d)" % (per_hour / 1e6, log_bytes, steady_s, burst, IDENTICAL_LINES_MAX))
        top = max(self.hangup_cpu) if self.hangup_cpu else 0.0
        self.check(top <= HANGUP_CPU_MAX,
                   "serial   Ombrelle's CPU while the peer was away after closing the pty: max %.0f %% of a core "
                   "over %d closes (tolerance %.0f %%)" % (top * 100, len(self.hangup_cpu), HANGUP_CPU_MAX * 100))
        killed = log.count("did not end within")
        self.check(not self.hang_done or killed >= 1,
                   "script   hung feed_update killed at the child bound: %d kill line(s)" % killed)
        self.check(status == 0 and stop_s <= STOP_S_MAX and self.feed_off_stop,
                   "stop     exit status %s %.3f s after SIGTERM during an application that switches the feed "
                   "off while a tick waits for a hung feed_update%s (bound %d s)" % (
                       status, stop_s, "" if self.feed_off_stop else " (NOT under way: no hang, or it had ended)",
                       STOP_S_MAX))
        self.report_flood()
        start, end = self.tls_window
        tls = sum(1 for m in mqtt if start <= m[0] <= (end or start))
        self.check(tls > 0 and len(mqtt) > tls,
                   "mqtt     %d points delivered over MQTT to mosquitto during its window, %d of them while feed_url "
                   "named its TLS listener; merged above with HTTP's" % (len(mqtt), tls))
        self.check(kills > 0, "kills    %d feed_update runs killed by SIGKILL during their window" % kills)
        if self.storage is None:
            self.check(False, "storage  the window with an unwritable spool did not run")
        else:
            self.check(self.storage[1] > 0,
                       "storage  spool unwritable for %.0f s: %d requests delivered directly, %d loss lines while "
                       "the endpoint was down (every loss accounted for above)" % ((STORAGE_S,) + self.storage))
        self.check(len(self.in_place) == len(IN_PLACE_AT) and all(n >= 1 for n in self.in_place),
                   "settings %d rewrites of xivelyconfig.xml in place, read half written: parse errors logged %s; "
                   "uploads and messages went on (above)" % (len(self.in_place), self.in_place))

    def report_flood(self):
        if self.peer.flood is None:
            self.check(False, "flood    the single-byte flood did not run")
            return
        seconds, sent, before, after = self.peer.flood
        with open(self.log, "rb") as f:
            f.seek(before)
            window = f.read(after - before).decode("utf-8", errors="replace")
        reader = sum(len(line) + 1 for line in window.splitlines() if READER_LINE.match(line))
        summaries = len(re.findall(r"\[Ombrelle\]Error: (tmp_size|rchksum) lines repeated \d+ times", self.log_text()))
        per_hour, reader_per_hour = (after - before) / seconds * 3600.0, reader / seconds * 3600.0
        self.check(reader_per_hour <= FLOOD_LOG_MB_PER_HOUR_MAX * 1e6 and summaries >= 1,
                   "flood    %d single bytes in %.1f s at 9600 baud: the reader's lines %.2f MB an hour (target <= "
                   "%d), the whole log %.1f MB an hour meanwhile; %d summary line(s)" % (
                       sent, seconds, reader_per_hour / 1e6, FLOOD_LOG_MB_PER_HOUR_MAX, per_hour / 1e6, summaries))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=600, help="steady state length (default 600)")
    parser.add_argument("--arm", action="store_true", help="the ARM build under qemu-arm")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--build", help="build folder to take app/Ombrelle from (default build/host or build/arm)")
    args = parser.parse_args()
    if args.seconds < 30:
        parser.error("--seconds must be at least 30")
    soak = Soak(args)
    try:
        return soak.run()
    finally:
        soak.mqtt.close()


if __name__ == "__main__":
    sys.exit(main())
