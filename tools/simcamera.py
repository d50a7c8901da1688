#!/usr/bin/env python3
"""A scripted session of a whole camera around Ombrelle, in a temporary root.

Ombrelle runs with the stand-in SDK; an RS-485 peer on a pseudo-terminal plays
the serial port; a feed server on 127.0.0.1 receives the real feed_update
uploads. Phase 1 pushes record frames (sensor type 3) while input, motion and
day/night triggers are injected; phase 2, after a SIGUSR1, answers RS-485
queries (sensor type 1). Then SIGTERM, and a summary.
"""
import argparse
import http.server
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

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
    rows = "".join("  <Ch%dEnabled>1</Ch%dEnabled>\n  <Ch%dName>%s</Ch%dName>\n  <Ch%dParam>%d</Ch%dParam>\n"
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
    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        stream = json.loads(body)["datastreams"][0]
        self.server.uploads.append((stream["id"], stream["current_value"]))
        say("feed", "PUT %s  %s = %s" % (self.path, stream["id"], stream["current_value"]))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class Peer(threading.Thread):
    """The far end of the serial port: record frames, then an RS-485 sensor."""

    def __init__(self, master):
        super().__init__(daemon=True)
        self.master = master
        self.mode = "frames"
        self.stop = threading.Event()
        self.frames = 0
        self.queries = 0

    def run(self):
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


def follow(path, stop, seen):
    """Shows the log lines that tell what the camera did."""
    interesting = ("Trigger Value", "Motion Alert", "Day/Night mode changed", "Subscribed to",
                   "Report Subscribed", "Temperature  =", "Handle Configuration Change", "Serial proc",
                   "Timer deleted", "Error", "ERROR")
    offset = 0
    while not stop.is_set() or offset < os.path.getsize(path):
        if os.path.exists(path):
            with open(path, "rb") as f:
                f.seek(offset)
                chunk = f.read()
            complete = chunk.rfind(b"\n") + 1
            offset += complete
            for line in chunk[:complete].decode(errors="replace").splitlines():
                seen.append(line)
                if any(word in line for word in interesting):
                    say("log", line.strip())
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory of the host preset")
    parser.add_argument("--seconds", type=float, default=6.0, help="length of each phase")
    args = parser.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ombrelle = os.path.join(args.build, "app", "Ombrelle")

    work = tempfile.mkdtemp(prefix="ombrelle-demo-")
    root, home, sim = (os.path.join(work, d) for d in ("root", "home", "sim"))
    for d in (root + "/var/log", root + "/dev", home + "/html", sim):
        os.makedirs(d)
    master, slave = os.openpty()
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), root + "/dev/ttyS1")

    server = http.server.HTTPServer(("127.0.0.1", 0), FeedHandler)
    server.uploads = []
    threading.Thread(target=server.serve_forever, daemon=True).start()

    shutil.copy(os.path.join(top, "app", "feed_update"), home)
    with open(home + "/feed_url", "w") as f:
        f.write("http://127.0.0.1:%d/v2\n" % server.server_address[1])
    with open(home + "/html/configparams.xml", "w") as f:
        f.write(CONFIG)
    with open(home + "/html/xivelyconfig.xml", "w") as f:
        f.write(feed_config(3, 0, [("Temperature", 30), ("Humidity", 10)]))

    log = root + "/var/log/Ombrelle.log"
    stop = threading.Event()
    seen, events = [], []
    peer = Peer(master)
    env = dict(os.environ, OMBRELLE_ROOT=root, TS_APP_HOME=home, TSDK_SIM_DIR=sim)
    env.pop("FEED_API_URL", None)
    say("camera", "starting Ombrelle in %s" % work)
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
        uploads_phase1 = len(server.uploads)

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
        os.close(master)
        os.close(slave)

    datastream = open(root + "/var/extsensor/SensorData.txt").read() \
        if os.path.exists(root + "/var/extsensor/SensorData.txt") else "(none)"
    triggers = [u for u in server.uploads if u[0] in ("Door", "Hall", "Light")]
    values = [i for i, u in enumerate(server.uploads) if u[0] not in ("Door", "Hall", "Light")]
    print()
    print("Summary")
    print("  triggers injected        6 (input 1, motion, day/night)")
    print("  application events       %d: %s" % (len(events), ", ".join(sorted(set(events)))))
    print("  feed trigger messages    %d: %s" % (len(triggers), ", ".join("%s %s" % t for t in triggers)))
    print("  feed channel uploads     %d (%d with record frames, %d with RS-485 queries)"
          % (len(values), len([i for i in values if i < uploads_phase1]),
             len([i for i in values if i >= uploads_phase1])))
    print("  frames sent / queries    %d / %d" % (peer.frames, peer.queries))
    print("  SensorData.txt           %s" % datastream)
    print("  exit status              %s" % status)
    print("  full log                 %s" % log)
    ok = status == 0 and len(triggers) >= 6 and len(values) > 0 and datastream.startswith('{"datastreams":[')
    print("  result                   %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
