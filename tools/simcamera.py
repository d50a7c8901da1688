#!/usr/bin/env python3
"""A scripted session of a whole camera around Ombrelle, in a temporary root.

Ombrelle runs with the stand-in SDK; an RS-485 peer on a pseudo-terminal plays
the serial port; a feed server on 127.0.0.1 receives the real feed_update
uploads. Phase 1 pushes record frames (sensor type 3) while input, motion and
day/night triggers are injected; phase 2, after a SIGUSR1, answers RS-485
queries (sensor type 1). Then SIGTERM, and a summary.

With --mqtt the same session publishes to Debian's mosquitto instead: a
broker on 127.0.0.1 (free ports, a configuration of its own, a password
listener for the camera) and mosquitto_sub on every topic, whose messages
are shown as they arrive and counted in the summary.

With --web the same camera runs until Ctrl-C (or --seconds) and a web server
on 127.0.0.1 serves the settings page of www/ with the platform's requests:
read and write the configuration files, apply (SIGUSR1 to Ombrelle), and the
current SensorData.txt values and feed status, read-only. It answers only
requests for the address it listens on, and takes a write only with the page's
header X-Ombrelle-Settings and no Origin but its own.
"""
import argparse
import errno
import fcntl
import http.server
import json
import os
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty
import urllib.parse

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "mqtt"))
from brokerfixture import HOST, PASSWORD, USER, Mosquitto, Subscriber  # noqa: E402

T0 = time.monotonic()
PRINT_LOCK = threading.Lock()


def say(kind, text):
    with PRINT_LOCK:
        print("[%5.1fs] %-8s %s" % (time.monotonic() - T0, kind, text), flush=True)


CONFIG = """<ConfigParams>
  <Input1Enabled>1</Input1Enabled>
  <Input1Name>Door</Input1Name>
  <MotionDetectionEnabled>1</MotionDetectionEnabled>
  <MotionDetectionName>Hall</MotionDetectionName>
  <DayNightEnabled>1</DayNightEnabled>
  <DayNightName>Light</DayNightName>
  <RS485Enabled>0</RS485Enabled>
  <XivelyEnabled>1</XivelyEnabled>
  <AppEnabled>1</AppEnabled>
  <Ext_thread>1</Ext_thread>
</ConfigParams>
"""


def feed_config(sensor_type, param, channels):
    rows = "".join("  <Channel%dEnabled>1</Channel%dEnabled>\n  <Channel%dName>%s</Channel%dName>\n"
                   "  <Channel%dParam>%d</Channel%dParam>\n"
                   % (k, k, k, name, k, k, code, k) for k, (name, code) in enumerate(channels, 1))
    return ("<XivelyConfigParams>\n  <Apikey>DEMO-KEY</Apikey>\n  <FeedID>4711</FeedID>\n"
            "  <SensorType>%d</SensorType>\n  <SensorParam>%d</SensorParam>\n"
            "  <IntervalinMin>0</IntervalinMin>\n  <ChannelNumber>%d</ChannelNumber>\n%s"
            "</XivelyConfigParams>\n" % (sensor_type, param, len(channels), rows))


def record_frame(values, params):
    payload = struct.pack("<8d8i", *values, *params)
    return bytes([0x62]) + payload + bytes([sum(payload) & 0xFF])


def rs485_reply(humidity_tenths, celsius_tenths, raws):
    reply = bytearray(25)
    reply[0:2] = b"\x55\xaa"
    reply[7:9] = struct.pack(">H", humidity_tenths)
    reply[9:11] = struct.pack(">H", celsius_tenths)
    for k, raw in enumerate(raws):
        reply[13 + 2 * k:15 + 2 * k] = struct.pack(">H", raw)
    return bytes(reply)


class FeedHandler(http.server.BaseHTTPRequestHandler):
    """The feed service. With server.quiet_s set, a channel is shown again only after that long."""

    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        stream = json.loads(body)["datastreams"][0]
        self.server.uploads.append((stream["id"], stream["current_value"]))
        key, now = (self.path, stream["id"]), time.monotonic()
        if now - self.server.shown.get(key, -1e9) >= self.server.quiet_s:
            self.server.shown[key] = now
            say("feed", "PUT %s  %s = %s" % (self.path, stream["id"], stream["current_value"]))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class Peer(threading.Thread):
    """The far end of the serial port: record frames, then an RS-485 sensor.

    In "auto" mode (the web camera, whose sensor type the user changes) it
    answers every query and pushes record frames only while no query came for
    QUIET_AFTER_QUERY_S, so frames never land in a reply. Frames that nobody
    reads are dropped instead of blocking the peer.
    """
    QUIET_AFTER_QUERY_S = 5.0

    def __init__(self, master):
        super().__init__(daemon=True)
        self.master = master
        self.mode = "frames"
        self.stop = threading.Event()
        self.frames = 0
        self.queries = 0

    def run(self):
        if self.mode == "auto":
            self.run_auto()
            return
        n = 0
        while not self.stop.is_set():
            if self.mode == "frames":
                n += 1
                celsius = 20.0 + 0.5 * n
                os.write(self.master, record_frame([celsius, 40.0 + n, 0, 0, 0, 0, 0, 0],
                                                   [30, 10, 0, 0, 0, 0, 0, 0]))
                self.frames += 1
                self.stop.wait(0.3)
            else:
                self.answer_query()

    def send(self, data):
        """Auto mode: False when the port's queue is full (nobody reads it)."""
        try:
            os.write(self.master, data)
            return True
        except BlockingIOError:
            return False

    def run_auto(self):
        flags = fcntl.fcntl(self.master, fcntl.F_GETFL)
        fcntl.fcntl(self.master, fcntl.F_SETFL, flags | os.O_NONBLOCK)
        n, pending, last_query = 0, b"", -self.QUIET_AFTER_QUERY_S
        while not self.stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.3)
            if ready:
                try:
                    pending = (pending + os.read(self.master, 64))[-6:]
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EIO):
                        raise
                if len(pending) == 6 and pending[:2] == b"\x55\xaa":
                    self.queries += 1
                    last_query = time.monotonic()
                    wave = self.queries % 20
                    self.send(rs485_reply(500 + 5 * wave, 200 + 2 * wave, [1, 2, 3, 4, 5, 6]))
                    pending = b""
            elif time.monotonic() - last_query > self.QUIET_AFTER_QUERY_S:
                n += 1
                wave = n % 20
                if self.send(record_frame([20.0 + 0.5 * wave, 40.0 + wave, 0, 0, 0, 0, 0, 0],
                                          [30, 10, 0, 0, 0, 0, 0, 0])):
                    self.frames += 1

    def answer_query(self):
        query = b""
        while len(query) < 6 and not self.stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.2)
            if ready:
                query += os.read(self.master, 6 - len(query))
        if len(query) == 6 and query[:2] == b"\x55\xaa":
            self.queries += 1
            say("rs485", "query %s -> reply humidity 55.0 %%, 23.4 C" % query.hex(" "))
            os.write(self.master, rs485_reply(550, 234, [1, 2, 3, 4, 5, 6]))


INTERESTING = ("Trigger Value", "Motion Alert", "Day/Night mode changed", "Subscribed to",
               "Report Subscribed", "Temperature  =", "Handle Configuration Change", "Serial proc",
               "Timer deleted", "Error", "ERROR")


def follow(path, stop, seen, whole_passes=False):
    """Shows the log lines that tell what the camera did; with whole_passes, every line of each
    application of the settings too (the web camera, where a person watches the settings arrive)."""
    offset = 0
    in_pass = False
    while not stop.is_set() or offset < os.path.getsize(path):
        if os.path.exists(path):
            with open(path, "rb") as f:
                f.seek(offset)
                chunk = f.read()
            complete = chunk.rfind(b"\n") + 1
            offset += complete
            for line in chunk[:complete].decode(errors="replace").splitlines():
                seen.append(line)
                in_pass = whole_passes and (in_pass or "CONFIGURATION STARTED" in line)
                if in_pass or any(word in line for word in INTERESTING):
                    say("log", line.strip())
                in_pass = in_pass and "CONFIGURATION ENDED" not in line
        if stop.is_set():
            break
        time.sleep(0.1)


def watch_events(path, stop, events):
    offset = 0
    while not stop.is_set():
        if os.path.exists(path):
            with open(path, "rb") as f:
                data = f.read()
            while True:
                head_end = data.find(b"\n", offset)
                if head_end < 0:
                    break
                _, state, length = data[offset:head_end].decode().split()
                end = head_end + 1 + int(length)
                if len(data) < end + 1:
                    break
                payload = data[head_end + 1:end].decode(errors="replace")
                description = payload.split("description:")[1].strip().strip('"').split('"')[0]
                events.append(description)
                say("event", "%s (state %s, %s bytes)" % (description, state, length))
                offset = end + 1
        stop.wait(0.1)


def watch_datastream(path, stop):
    last = None
    while not stop.is_set():
        if os.path.exists(path):
            content = open(path).read()
            if content != last:
                say("file", "SensorData.txt " + content)
                last = content
        stop.wait(0.1)


def inject(sim, command):
    handled = os.path.join(sim, "handled")
    before = open(handled).read().count(command + "\n") if os.path.exists(handled) else 0
    fd = os.open(os.path.join(sim, "control"), os.O_WRONLY)
    os.write(fd, (command + "\n").encode())
    os.close(fd)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if os.path.exists(handled) and open(handled).read().count(command + "\n") > before:
            return
        time.sleep(0.02)
    raise RuntimeError("the SDK did not handle " + command)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def install_feed_update(build, home, emulator=None):
    """HOME/feed_update from a build; under an emulator a wrapper that runs the ARM copy beside it
    (without binfmt_misc, Ombrelle under qemu-arm cannot exec an ARM program itself)."""
    program = os.path.join(build, "feed", "feed_update")
    if not emulator:
        shutil.copy(program, home + "/feed_update")
        return
    shutil.copy(program, home + "/feed_update.arm")
    with open(home + "/feed_update", "w") as f:
        f.write('#!/bin/sh\nexec %s "${0%%/*}/feed_update.arm" "$@"\n' % " ".join(emulator))
    os.chmod(home + "/feed_update", 0o755)


def camera_tree(prefix, build, emulator=None):
    """A temporary camera: ROOT (var/log, dev), HOME (html/, feed_update of the build) and SIM.
    Returns (work, root, home, sim)."""
    work = tempfile.mkdtemp(prefix=prefix)
    root, home, sim = (os.path.join(work, d) for d in ("root", "home", "sim"))
    for d in (root + "/var/log", root + "/dev", home + "/html", sim):
        os.makedirs(d)
    install_feed_update(build, home, emulator)
    return work, root, home, sim


def serial_link(root):
    """A pseudo-terminal in raw mode whose slave ROOT/dev/ttyS1 names: (master, slave)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), root + "/dev/ttyS1")
    return master, slave


def camera_env(root, home, sim):
    """Ombrelle's environment in the temporary camera; feed_update finds its URL in HOME/feed_url."""
    env = dict(os.environ, OMBRELLE_ROOT=root, TS_APP_HOME=home, TSDK_SIM_DIR=sim)
    env.pop("FEED_API_URL", None)
    return env


def start_feed_server(quiet_s):
    server = http.server.HTTPServer(("127.0.0.1", 0), FeedHandler)
    server.uploads, server.shown, server.quiet_s = [], {}, quiet_s
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


MQTT_PREFIX = "demo"


class MqttFeed:
    """The broker and its subscriber; the camera publishes with the password listener's
    credentials, the subscriber listens anonymously. uploads: (channel, value) received."""

    def __init__(self, work):
        self.dir = os.path.join(work, "mqtt")
        os.makedirs(self.dir)
        self.broker = Mosquitto(self.dir)
        self.broker.start()
        self.subscriber = Subscriber(self.dir, self.broker.open_port)
        self.uploads = []
        self.stop = threading.Event()
        self.watcher = threading.Thread(target=self.watch, daemon=True)
        self.watcher.start()

    def url(self):
        return "mqtt://%s:%s@%s:%d/%s" % (USER, urllib.parse.quote(PASSWORD, safe=""), HOST,
                                          self.broker.auth_port, MQTT_PREFIX)

    def take(self):
        for qos, _, topic, payload in self.subscriber.messages()[len(self.uploads):]:
            point = json.loads(payload)
            self.uploads.append((topic.decode().rsplit("/", 1)[1], point["value"]))
            say("mqtt", "%s  %s  (QoS %d)" % (topic.decode(), payload.decode(), qos))

    def watch(self):
        while not self.stop.wait(0.1):
            self.take()

    def close(self):
        """Once the deliveries have settled: nothing new for half a second."""
        count = -1
        while count != len(self.subscriber.messages()):
            count = len(self.subscriber.messages())
            time.sleep(0.5)
        self.stop.set()
        self.watcher.join(timeout=5)
        self.take()
        self.subscriber.close()
        self.broker.stop()

    def confirmed(self):
        """Every message arrived as the camera publishes it: QoS 1, not retained."""
        return all(m[:2] == (1, 0) for m in self.subscriber.messages())

    def summary(self):
        messages = self.subscriber.messages()
        qos = sorted(set(m[0] for m in messages))
        print("  mqtt messages received   %d at QoS %s on %s:%d, topics %s/4711/CHANNEL"
              % (len(messages), "/".join(map(str, qos)) or "-", HOST, self.broker.auth_port, MQTT_PREFIX))
        if messages:
            print("  first message            %s %s" % (messages[0][2].decode(), messages[0][3].decode()))


def scripted(args, top, ombrelle):

    work, root, home, sim = camera_tree("ombrelle-demo-", args.build)
    master, slave = serial_link(root)

    server = start_feed_server(0)
    mqtt = MqttFeed(work) if args.mqtt else None
    feed = mqtt or server

    with open(home + "/feed_url", "w") as f:
        f.write(mqtt.url() + "\n" if mqtt else "http://127.0.0.1:%d/v2\n" % server.server_address[1])
    with open(home + "/html/configparams.xml", "w") as f:
        f.write(CONFIG)
    with open(home + "/html/xivelyconfig.xml", "w") as f:
        f.write(feed_config(3, 0, [("Temperature", 30), ("Humidity", 10)]))

    log = root + "/var/log/Ombrelle.log"
    stop = threading.Event()
    seen, events = [], []
    peer = Peer(master)
    env = camera_env(root, home, sim)
    say("camera", "starting Ombrelle in %s" % work)
    if mqtt:
        say("mqtt", "mosquitto on %s:%d (camera, with a password) and :%d (mosquitto_sub)"
            % (HOST, mqtt.broker.auth_port, mqtt.broker.open_port))
    camera = subprocess.Popen([ombrelle], env=env, stdout=open(work + "/stdout", "w"),
                              stderr=open(work + "/stderr", "w"))
    watchers = [threading.Thread(target=follow, args=(log, stop, seen), daemon=True),
                threading.Thread(target=watch_events, args=(sim + "/events", stop, events), daemon=True),
                threading.Thread(target=watch_datastream, args=(root + "/var/extsensor/SensorData.txt", stop),
                                 daemon=True)]
    status = None
    try:
        for w in watchers:
            w.start()
        if not wait_for(lambda: os.path.exists(sim + "/control") and
                        any("CONFIGURATION ENDED" in line for line in seen), 20):
            raise RuntimeError("Ombrelle did not apply its configuration; see " + log)
        say("phase 1", "RS-485 peer pushes record frames (sensor type 3), triggers are injected")
        peer.start()
        for command in ("input1 2", "motion 1", "daynight 2", "motion 0", "input1 0", "daynight 1"):
            say("trigger", command)
            inject(sim, command)
            time.sleep(args.seconds / 6)
        if mqtt:
            mqtt.take()
        uploads_phase1 = len(feed.uploads)

        say("phase 2", "SIGUSR1 with an RS-485 sensor at address 0xE0 (sensor type 1)")
        with open(home + "/html/xivelyconfig.xml", "w") as f:
            f.write(feed_config(1, 0xE0, [("Humidity", 10), ("Temperature", 30), ("Raw3", 20)]))
        peer.mode = "sensor"
        camera.send_signal(signal.SIGUSR1)
        time.sleep(args.seconds)

        say("camera", "SIGTERM")
        camera.send_signal(signal.SIGTERM)
        status = camera.wait(timeout=30)
    finally:
        if camera.poll() is None:
            camera.kill()
            camera.wait()
        peer.stop.set()
        stop.set()
        for w in watchers:
            w.join(timeout=5)
        server.shutdown()
        if mqtt:
            mqtt.close()
        os.close(master)
        os.close(slave)

    datastream = open(root + "/var/extsensor/SensorData.txt").read() \
        if os.path.exists(root + "/var/extsensor/SensorData.txt") else "(none)"
    triggers = [u for u in feed.uploads if u[0] in ("Door", "Hall", "Light")]
    values = [i for i, u in enumerate(feed.uploads) if u[0] not in ("Door", "Hall", "Light")]
    print()
    print("Summary")
    print("  triggers injected        6 (input 1, motion, day/night)")
    print("  application events       %d: %s" % (len(events), ", ".join(sorted(set(events)))))
    print("  feed trigger messages    %d: %s" % (len(triggers), ", ".join("%s %s" % t for t in triggers)))
    print("  feed channel uploads     %d (%d with record frames, %d with RS-485 queries)"
          % (len(values), len([i for i in values if i < uploads_phase1]),
             len([i for i in values if i >= uploads_phase1])))
    if mqtt:
        mqtt.summary()
    print("  frames sent / queries    %d / %d" % (peer.frames, peer.queries))
    print("  SensorData.txt           %s" % datastream)
    print("  exit status              %s" % status)
    print("  full log                 %s" % log)
    ok = status == 0 and len(triggers) >= 6 and len(values) > 0 and datastream.startswith('{"datastreams":[') \
        and (mqtt is None or mqtt.confirmed())
    print("  result                   %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1



# ---- the web camera ----

WEB_PAGE = "/www/"
WEB_FILES = {"/html/configparams.xml": "html/configparams.xml",
             "/html/xivelyconfig.xml": "html/xivelyconfig.xml",
             "/feed_url": "feed_url"}
WEB_TYPES = {".html": "text/html; charset=utf-8", ".css": "text/css", ".js": "text/javascript",
             ".xml": "application/xml", ".png": "image/png"}
WEB_BODY_MAX = 64 * 1024          # the configuration files are a few KB
WEB_WRITE_HEADER = "X-Ombrelle-Settings"   # platform.js sends it; a form of another site cannot
FEED_STATUS_TIMEOUT_S = 10
FEED_STATUS_REUSE_S = 3           # the page asks every 2 s


def replace_atomically(path, data):
    """Readers see the old file or the new one, never a part; the new file keeps the old one's
    mode and owner (the settings hold the API key and the MQTT password: 0640)."""
    try:
        old = os.lstat(path)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        raise OSError(errno.EINVAL, "not a regular file", path)
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path), prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            if old is not None:
                os.fchmod(f.fileno(), stat.S_IMODE(old.st_mode))
                if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
                    os.fchown(f.fileno(), old.st_uid, old.st_gid)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


class FeedStatus:
    """`feed_update --status`; its output is kept a few seconds."""

    def __init__(self, program, env):
        self.program, self.env = program, env
        self.lock = threading.Lock()
        self.text, self.when = "", -1e9

    def get(self):
        with self.lock:
            if time.monotonic() - self.when >= FEED_STATUS_REUSE_S:
                self.text, self.when = self.run(), time.monotonic()
            return self.text

    def run(self):
        try:
            done = subprocess.run([self.program, "--status"], env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=FEED_STATUS_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return "unavailable (feed_update --status took longer than %d s)" % FEED_STATUS_TIMEOUT_S
        text = (done.stdout + done.stderr).decode(errors="replace").strip()
        return text if done.returncode == 0 else "%s\n(exit status %d)" % (text, done.returncode)


class WebHandler(http.server.BaseHTTPRequestHandler):
    """The camera platform's side of the settings page: html/, the three requests and the status."""

    def route(self):
        return urllib.parse.urlsplit(self.path).path

    def own_address(self):
        host, port = self.server.server_address[:2]
        return "%s:%d" % (host, port)

    def refusal(self, writing):
        """Why a request is refused, or None. A Host other than our address is a page of another
        name resolved to us (DNS rebinding); a write must come from the page itself."""
        if self.headers.get("Host") != self.own_address():
            return 421, b"this server answers only for its own address\n"
        if not writing:
            return None
        origin = self.headers.get("Origin")
        if origin is not None and origin != "http://" + self.own_address():
            return 403, b"writes are taken only from the settings page's own origin\n"
        if self.headers.get(WEB_WRITE_HEADER) is None:
            return 403, b"a write needs the header %s\n" % WEB_WRITE_HEADER.encode()
        return None

    def refused(self, writing):
        why = self.refusal(writing)
        if why is None:
            return False
        say("web", "refused %s %s: %s" % (self.command, self.route(), why[1].decode().strip()))
        self.close_connection = True
        self.reply(*why)
        return True

    def reply(self, code, body=b"", kind="text/plain; charset=utf-8", headers=()):
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        if self.refused(False):
            return
        camera, path = self.server.camera, self.route()
        if path == "/":
            return self.reply(302, headers=[("Location", WEB_PAGE + "index.html")])
        if path == WEB_PAGE + "status":
            status = {"sensorData": camera.sensor_data(), "feedStatus": camera.feed_status.get()}
            return self.reply(200, json.dumps(status).encode(), "application/json")
        name = WEB_FILES.get(path)
        page = path[len(WEB_PAGE):]
        if name is None and path.startswith(WEB_PAGE) and "/" not in page and not page.startswith("."):
            name = "www/" + page
        full = os.path.join(camera.home, name) if name else None
        if full is None or not os.path.isfile(full):
            return self.reply(404, b"not found\n")
        with open(full, "rb") as f:
            body = f.read()
        self.reply(200, body, WEB_TYPES.get(os.path.splitext(full)[1], "text/plain; charset=utf-8"))

    do_HEAD = do_GET

    def do_PUT(self):
        if self.refused(True):
            return
        name = WEB_FILES.get(self.route())
        if name is None:
            return self.reply(405, b"only the configuration files can be written\n")
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            return self.reply(411, b"Content-Length required\n")
        if int(length) > WEB_BODY_MAX:
            return self.reply(413, b"larger than %d bytes\n" % WEB_BODY_MAX)
        data = self.rfile.read(int(length))
        try:
            replace_atomically(os.path.join(self.server.camera.home, name), data)
        except OSError as e:
            return self.reply(500, ("cannot write %s: %s\n" % (name, e.strerror)).encode())
        say("web", "wrote %s (%d bytes)" % (name, len(data)))
        self.reply(204)

    def do_POST(self):
        if self.refused(True):
            return
        if self.route() != WEB_PAGE + "apply":
            return self.reply(405, b"only apply can be posted\n")
        if not self.server.camera.apply():
            return self.reply(503, b"Ombrelle is not running\n")
        self.reply(204)

    def log_message(self, *args):
        pass


class WebCamera:
    """Ombrelle in a temporary root with its RS-485 peer and feed service, as the web server sees it."""

    def __init__(self, top, ombrelle, fixtures):
        self.work = tempfile.mkdtemp(prefix="ombrelle-web-")
        self.root, self.home, self.sim = (os.path.join(self.work, d) for d in ("root", "home", "sim"))
        for d in (self.root + "/var/log", self.root + "/dev", self.home, self.sim):
            os.makedirs(d)
        self.log = self.root + "/var/log/Ombrelle.log"
        shutil.copytree(os.path.join(top, "app", "html"), self.home + "/html")
        shutil.copytree(os.path.join(top, "app", "www"), self.home + "/www")
        install_feed_update(os.path.dirname(os.path.dirname(ombrelle)), self.home)
        probe = os.path.join(os.path.dirname(os.path.dirname(ombrelle)), "probe", "coreprobe")
        if os.path.exists(probe):
            shutil.copy(probe, self.home)  # sensor type 2; without an I2C bus it reports its failures
        self.feed = start_feed_server(10)
        with open(self.home + "/feed_url", "w") as f:
            f.write("http://127.0.0.1:%d/v2\n" % self.feed.server_address[1])
        if fixtures:
            for name in ("configparams.xml", "xivelyconfig.xml"):
                shutil.copy(os.path.join(fixtures, name), self.home + "/html")
        else:
            # An addressed RS-485 sensor needs no reader thread, so applying twice changes nothing.
            with open(self.home + "/html/configparams.xml", "w") as f:
                f.write(CONFIG.replace("<Ext_thread>1<", "<Ext_thread>0<"))
            with open(self.home + "/html/xivelyconfig.xml", "w") as f:
                f.write(feed_config(1, 0xE0, [("Humidity", 10), ("Temperature", 30)]))
        for secret in ("/html/xivelyconfig.xml", "/feed_url"):
            os.chmod(self.home + secret, 0o640)
        self.master, self.slave = serial_link(self.root)
        self.env = camera_env(self.root, self.home, self.sim)
        self.feed_status = FeedStatus(self.home + "/feed_update", self.env)
        self.peer = Peer(self.master)
        self.peer.mode = "auto"
        self.stop = threading.Event()
        self.seen, self.events = [], []
        self.process = None

    def start(self, ombrelle):
        # A session of its own: Ctrl-C reaches this script, which then stops Ombrelle in order.
        self.process = subprocess.Popen([ombrelle], env=self.env, start_new_session=True,
                                        stdout=open(self.work + "/stdout", "w"),
                                        stderr=open(self.work + "/stderr", "w"))
        self.watchers = [
            threading.Thread(target=follow, args=(self.log, self.stop, self.seen, True), daemon=True),
            threading.Thread(target=watch_events, args=(self.sim + "/events", self.stop, self.events), daemon=True)]
        for w in self.watchers:
            w.start()
        self.peer.start()

    def apply(self):
        if self.process is None or self.process.poll() is not None:
            return False
        say("web", "apply: SIGUSR1 to Ombrelle")
        self.process.send_signal(signal.SIGUSR1)
        return True

    def sensor_data(self):
        try:
            with open(self.root + "/var/extsensor/SensorData.txt") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        status = None
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                status = self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.peer.stop.set()
        self.stop.set()
        if self.peer.is_alive():
            self.peer.join(timeout=5)
        for w in getattr(self, "watchers", []):
            w.join(timeout=5)
        self.feed.shutdown()
        os.close(self.master)
        os.close(self.slave)
        return status


def web(args, top, ombrelle):
    camera = WebCamera(top, ombrelle, args.fixtures)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), WebHandler)
    server.daemon_threads = True
    server.camera = camera
    # Ctrl-C (even from a shell that left SIGINT ignored) and SIGTERM stop it in order.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    status = None
    try:
        camera.start(ombrelle)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        say("camera", "home %s" % camera.home)
        say("camera", "log %s" % camera.log)
        say("web", "settings page http://127.0.0.1:%d/  (Ctrl-C stops)" % server.server_address[1])
        deadline = time.monotonic() + args.seconds if args.seconds else None
        while camera.process.poll() is None and (deadline is None or time.monotonic() < deadline):
            time.sleep(0.2)
        if camera.process.poll() is not None:
            say("camera", "Ombrelle ended by itself with status %s; see %s" % (camera.process.returncode, camera.log))
    except KeyboardInterrupt:
        pass
    finally:
        server.shutdown()
        server.server_close()
        status = camera.close()
        say("camera", "stopped, exit status %s" % status)
        if not args.keep:
            shutil.rmtree(camera.work, ignore_errors=True)
    return 0 if status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory of the host preset")
    parser.add_argument("--seconds", type=float, help="length of each phase (default 6); with --web, "
                        "how long to run (default: until Ctrl-C)")
    parser.add_argument("--web", action="store_true", help="serve the settings page until Ctrl-C")
    parser.add_argument("--mqtt", action="store_true", help="publish the feed to a local mosquitto "
                        "(the scripted session)")
    parser.add_argument("--port", type=int, default=0, help="with --web: the port (default: a free one)")
    parser.add_argument("--fixtures", help="with --web: a folder whose configparams.xml and "
                        "xivelyconfig.xml the camera starts with")
    parser.add_argument("--keep", action="store_true", help="with --web: keep the temporary folder")
    args = parser.parse_args()
    if args.mqtt and args.web:
        parser.error("--mqtt goes with the scripted session, not with --web")
    top = TOP
    ombrelle = os.path.join(args.build, "app", "Ombrelle")
    if args.web:
        return web(args, top, ombrelle)
    if args.seconds is None:
        args.seconds = 6.0
    return scripted(args, top, ombrelle)


if __name__ == "__main__":
    sys.exit(main())
