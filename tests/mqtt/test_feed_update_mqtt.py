"""feed_update publishing over MQTT, against Debian's mosquitto and fake brokers on 127.0.0.1.

Topics and payloads as they arrive, the client identifier and its preference of the
camera's MAC address, the keep-alive in the CONNECT, a refusal of the credentials,
what goes on the wire (an independent parser in FakeBroker), QoS 1 and the in-flight
window, acks that stop or leave a gap, CONNACK codes, garbage and silence instead of
a CONNACK; Home Assistant discovery (configs checked against the keys and types of
Home Assistant's MQTT sensor, the availability message, what is sent again and what
never). Every broker is started here on free ports with a configuration of the
test's own. FEED_UPDATE names the program; FEED_UPDATE_EMULATOR, in a cross build,
the emulator that runs it. Every fixed platform path goes through OMBRELLE_ROOT, a
fake root per test.
"""
import calendar
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "feed"))
from brokerfixture import HOST, PASSWORD, USER, Mosquitto, Subscriber, retained, wait_until  # noqa: E402
from feedfixture import Camera  # noqa: E402

KEY, FEED = "KEY123", "4711"
# The program's limits, as its headers document them.
WINDOW = 64
TIMEOUT_S = 5
PAYLOAD = re.compile(rb'^\{"value":"(.*)","at":"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"\}$', re.S)
MAC = "02:42:ac:11:00:02"


def iso_seconds(at):
    return calendar.timegm(time.strptime(at, "%Y-%m-%dT%H:%M:%SZ"))


def fnv1a64(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def client_id(camera, feed=FEED):
    """The client identifier as the program's header documents it."""
    return "ombrelle%015x" % (fnv1a64(("%s %s" % (camera, feed)).encode()) & 0x0FFFFFFFFFFFFFFF)


def make_root(directory, macs=(), machine_id=None, hostname="cam-host"):
    """A fake root: interfaces (name, address), /etc/machine-id, the host name."""
    for name, address in macs:
        os.makedirs(os.path.join(directory, "sys/class/net", name))
        with open(os.path.join(directory, "sys/class/net", name, "address"), "w") as f:
            f.write(address + "\n")
    os.makedirs(os.path.join(directory, "etc"), exist_ok=True)
    if machine_id is not None:
        with open(os.path.join(directory, "etc/machine-id"), "w") as f:
            f.write(machine_id + "\n")
    os.makedirs(os.path.join(directory, "proc/sys/kernel"), exist_ok=True)
    with open(os.path.join(directory, "proc/sys/kernel/hostname"), "w") as f:
        f.write(hostname + "\n")
    return directory


class FakeBroker:
    """A TCP listener on 127.0.0.1 that plays a 3.1.1 broker as far as the test wants.

    A level-5 CONNECT gets "unacceptable protocol version" and the connection closed, as
    from a broker that speaks 3.1.1 only, unless receive_maximum is given: the broker then
    speaks MQTT 5 and announces that Receive Maximum in its CONNACK.
    connack: the CONNACK return code, or None to stay silent after CONNECT.
    acks: which PUBLISH packets to acknowledge, by their order (0, 1, ...) over all
          connections: True, False, or "close" to drop the connection.
    raw: bytes sent instead of a CONNACK.
    refuse: a PUBLISH whose body it holds true closes the connection, as "close" in acks does.
    """

    def __init__(self, connack=0, acks=lambda n: True, raw=None, receive_maximum=None, refuse=lambda payload: False):
        self.connack, self.acks, self.raw, self.refuse = connack, acks, raw, refuse
        self.receive_maximum = receive_maximum
        self.packets = []  # (first byte, body) of everything received
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.published = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with conn:
                self.talk(conn)

    def read_packet(self, conn, buffer):
        while True:
            if len(buffer) >= 2:
                length, shift, at = 0, 0, 1
                while at < len(buffer) and at <= 4:
                    length |= (buffer[at] & 0x7F) << shift
                    shift += 7
                    if buffer[at] & 0x80 == 0:
                        break
                    at += 1
                if at < len(buffer) and buffer[at] & 0x80 == 0 and len(buffer) >= at + 1 + length:
                    packet = (buffer[0], bytes(buffer[at + 1:at + 1 + length]))
                    del buffer[:at + 1 + length]
                    return packet
            conn.settimeout(0.1)
            try:
                chunk = conn.recv(65536)
            except socket.timeout:
                if self.stopping.is_set():
                    return None
                continue
            except OSError:
                return None
            if not chunk:
                return None
            buffer += chunk

    def talk(self, conn):
        buffer = bytearray()
        while True:
            packet = self.read_packet(conn, buffer)
            if packet is None:
                return
            self.packets.append(packet)
            kind = packet[0] >> 4
            if kind == 1 and packet[1][6] == 5 and self.receive_maximum is None:
                conn.sendall(bytes([0x20, 2, 0, 1]))
                return
            if kind == 1 and packet[1][6] == 5:
                conn.sendall(bytes([0x20, 6, 0, 0, 3, 0x21]) + struct.pack(">H", self.receive_maximum))
            elif kind == 1 and self.raw is not None:
                conn.sendall(self.raw)
            elif kind == 1 and self.connack is not None:
                conn.sendall(bytes([0x20, 2, 0, self.connack]))
            elif kind == 3:
                verdict = "close" if self.refuse(packet[1]) else self.acks(self.published)
                self.published += 1
                if verdict == "close":
                    # An orderly close, so the acks already sent are not lost to a reset.
                    conn.shutdown(socket.SHUT_WR)
                    while self.read_packet(conn, buffer) is not None:
                        pass
                    return
                if verdict:
                    topic_size = struct.unpack(">H", packet[1][:2])[0]
                    conn.sendall(bytes([0x40, 2]) + packet[1][2 + topic_size:4 + topic_size])

    def connects(self):
        """(flags, keep-alive, client identifier, rest) of each 3.1.1 CONNECT received."""
        found = []
        for first, body in self.packets:
            if first >> 4 == 1 and body[6] == 4:
                size = struct.unpack(">H", body[10:12])[0]
                found.append((body[7], struct.unpack(">H", body[8:10])[0], body[12:12 + size].decode(),
                              body[12 + size:]))
        return found

    def publishes(self):
        """(flags, topic, packet id, payload) of each PUBLISH received."""
        found = []
        for first, body in self.packets:
            if first >> 4 == 3:
                size = struct.unpack(">H", body[:2])[0]
                found.append((first & 0x0F, body[2:2 + size], struct.unpack(">H", body[2 + size:4 + size])[0],
                              body[4 + size:]))
        return found

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        self.listener.close()


class MqttTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="feedmqtt-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.root = make_root(os.path.join(self.tmp, "root"), macs=[("eth0", MAC)])

    def camera(self, url, **env):
        camera = Camera(dict({k: str(v) for k, v in env.items()}, FEED_API_URL=url, OMBRELLE_ROOT=self.root))
        self.addCleanup(camera.cleanup)
        return camera

    def send(self, camera, *words, **kw):
        """Runs one call; returns (result, first second, last second) of the call."""
        before = int(time.time())
        result = camera.run(KEY, FEED, *words, **kw)
        return result, before, int(time.time())

    def fake(self, **behaviour):
        broker = FakeBroker(**behaviour)
        self.addCleanup(broker.close)
        return broker

    def keep(self, camera, count):
        """count points T=0.. kept without trying the network."""
        for v in range(count):
            self.assertEqual(3, camera.run(KEY, FEED, "T", str(v), env={"FEED_KEEP_ONLY": "1"}).returncode)


class WithMosquitto(MqttTest):
    def setUp(self):
        super().setUp()
        self.broker = Mosquitto(self.tmp)
        self.broker.start()
        self.addCleanup(self.broker.stop)

    def subscribe(self, name="sub"):
        subscriber = Subscriber(self.tmp, self.broker.open_port, name=name)
        self.addCleanup(subscriber.close)
        return subscriber

    def url(self, rest="", userinfo=None):
        port = self.broker.auth_port if userinfo is not None else self.broker.open_port
        return "mqtt://%s%s:%d%s" % (userinfo + "@" if userinfo is not None else "", HOST, port, rest)

    def assertMessages(self, got, expected):
        """expected: (topic, value, call) in order; call is send()'s (result, before, after)."""
        self.assertEqual([(1, 0, topic) for topic, _, _ in expected], [m[:3] for m in got])
        for (_, _, _, payload), (topic, value, call) in zip(got, expected):
            match = PAYLOAD.match(payload)
            self.assertIsNotNone(match, payload)
            self.assertEqual({"value": value, "at": match.group(2).decode()}, json.loads(payload.decode("utf-8")))
            self.assertTrue(call[1] <= iso_seconds(match.group(2).decode()) <= call[2], (payload, call[1:]))


class Publishing(WithMosquitto):
    def test_trigger_messages_and_readings_arrive_as_documented(self):
        sub = self.subscribe()
        camera = self.camera(self.url("/site/cams"))
        trigger = self.send(camera, "Front", "door", "Closed")
        reading = self.send(camera, "Temp", "    23.5")
        bare = self.camera(self.url("/"))
        no_prefix = self.send(bare, "Temp", "23.6")
        for result, _, _ in (trigger, reading, no_prefix):
            self.assertEqual((0, ""), (result.returncode, result.stderr))
        self.assertMessages(sub.wait_for(3), [(b"site/cams/4711/Front door", "Closed", trigger),
                                              (b"site/cams/4711/Temp", "23.5", reading),
                                              (b"4711/Temp", "23.6", no_prefix)])
        self.assertEqual(0, camera.kept())
        # Clean session, keep-alive 30 s, the documented identifier, every call the same one.
        log = self.broker.log()
        self.assertEqual(3, log.count("as %s (p5, c1, k30)" % client_id(MAC)), log)

    def test_names_with_blanks_wildcards_slashes_and_odd_bytes(self):
        # (words after the feed, topic, value)
        cases = [
            ([b"Zone 1/+#", b"on"], b"4711/Zone 1___", "on"),
            ([b"Motion", b"Zone", b"2", b"1"], b"4711/Motion Zone 2", "1"),
            ([b"a/b", b"x"], b"4711/a_b", "x"),
            ([b"#", b"+"], b"4711/_", "+"),
            ([b"caf\xc3\xa9 \xc2\xb0C", b"21,5 \xc2\xb0C"], "4711/caf\u00e9 \u00b0C".encode(), "21,5 \u00b0C"),
            ([b"bad\xe9", b"\xff1"], b"4711/bad\xef\xbf\xbd", "\ufffd1"),
            ([b"tab\there\x01", b'v"\\\x01'], b"4711/tab_here_", 'v"\\\x01'),
            ([b'q"b\\s\x7f', b"1"], b'4711/q"b\\s_', "1"),
        ]
        sub = self.subscribe()
        camera = self.camera(self.url())
        calls = [self.send(camera, *words) for words, _, _ in cases]
        self.assertEqual([(0, "")] * len(cases), [(r.returncode, r.stderr) for r, _, _ in calls])
        self.assertMessages(sub.wait_for(len(cases)),
                            [(topic, value, call) for (_, topic, value), call in zip(cases, calls)])

    def test_a_point_too_long_for_one_mqtt_message_is_refused_at_once_and_not_kept(self):
        camera = self.camera(self.url("/" + "p" * 250))
        result = camera.run(KEY, FEED, "c" * 255, "\x01" * 255)
        self.assertEqual(2, result.returncode, result.stderr)
        self.assertIn("channel name and value too long for one MQTT message (more than 2048 bytes)", result.stderr)
        self.assertEqual(0, camera.kept())
        self.assertEqual(0, self.send(camera, "T", "1")[0].returncode)


class Credentials(WithMosquitto):
    WRONG = "Wr0ngPw9"

    def test_a_refused_password_keeps_everything_and_is_tried_again_after_the_first_wait(self):
        sub = self.subscribe()
        camera = self.camera(self.url("/secure", "%s:%s" % (USER, self.WRONG)), FEED_RETRY_MIN_S=0)
        refused = [self.send(camera, "T", str(v)) for v in (1, 2)]
        self.assertEqual([3, 3], [r.returncode for r, _, _ in refused])
        # MQTT 5: mosquitto answers a wrong password with 0x87, not authorised.
        self.assertIn("the broker refused the credentials (CONNACK 0x87)", refused[0][0].stderr)
        self.assertLess(refused[0][0].seconds, 2.5, "a refusal is no hang")
        self.assertEqual(2, camera.kept())
        status = camera.status()
        self.assertEqual("mqtt://***@%s:%d/secure" % (HOST, self.broker.auth_port), status["endpoint URL"])
        text = camera.run("--status").stdout + "".join(r.stderr for r, _, _ in refused)
        self.assertNotIn(self.WRONG, text)
        self.assertNotIn(USER, text)

        camera.env["FEED_API_URL"] = self.url("/secure", "%s:%s" % (USER, PASSWORD.replace(" ", "%20")))
        fixed = self.send(camera, "T", "3")
        self.assertEqual(0, fixed[0].returncode, fixed[0].stderr)
        self.assertIn("endpoint back, 3 points delivered", fixed[0].stderr)
        self.assertMessages(sub.wait_for(3), [(b"secure/4711/T", str(v), c)
                                              for v, c in zip((1, 2, 3), refused + [fixed])])
        self.assertNotIn(PASSWORD, camera.run("--status").stdout)

    def test_the_wait_after_a_refusal_is_at_most_the_first_wait(self):
        camera = self.camera(self.url("", "%s:%s" % (USER, self.WRONG)), FEED_RETRY_MIN_S=7, FEED_RETRY_MAX_S=600)
        self.assertEqual(3, self.send(camera, "T", "1")[0].returncode)
        shown = camera.status()["endpoint"]
        wait = re.search(r"next try in (\d+) s", shown)
        self.assertIsNotNone(wait, shown)
        self.assertTrue(1 <= int(wait.group(1)) <= 7, shown)


class Outages(WithMosquitto):
    def test_a_broker_stopped_midway_gets_every_point_in_order_with_its_time(self):
        before = self.subscribe("before")
        camera = self.camera(self.url("/o"), FEED_RETRY_MIN_S=0, FEED_RETRY_MAX_S=0)
        calls = [self.send(camera, "T", str(v)) for v in (1, 2)]
        self.assertEqual([0, 0], [r.returncode for r, _, _ in calls])
        self.assertEqual(2, len(before.wait_for(2)))
        self.broker.stop()
        before.close()
        down = [self.send(camera, "T", str(v)) for v in (3, 4, 5)]
        self.assertEqual([3, 3, 3], [r.returncode for r, _, _ in down])
        self.assertIn("endpoint down (cannot connect to %s port %d" % (HOST, self.broker.open_port),
                      down[0][0].stderr)
        self.assertEqual(["", ""], [r.stderr for r, _, _ in down[1:]])
        self.assertEqual(3, camera.kept())
        self.broker.start()
        after = self.subscribe("after")
        back = self.send(camera, "T", "6")
        self.assertEqual(0, back[0].returncode, back[0].stderr)
        self.assertIn("endpoint back, 4 points delivered", back[0].stderr)
        self.assertMessages(after.wait_for(4), [(b"o/4711/T", str(v), c) for v, c in zip((3, 4, 5, 6), down + [back])])
        self.assertEqual(0, camera.kept())

    def test_a_backlog_of_many_windows_arrives_whole_in_order_and_retained_when_asked(self):
        sub = self.subscribe()
        camera = self.camera(self.url("/b?retain=1"))
        backlog = 5 * WINDOW - 7
        for v in range(backlog):
            camera.run(KEY, FEED, "C%d" % (v % 3), str(v), env={"FEED_KEEP_ONLY": "1"})
        self.assertEqual(backlog, camera.kept())
        result = self.send(camera, "C%d" % (backlog % 3), str(backlog))[0]
        self.assertEqual(0, result.returncode, result.stderr)
        got = sub.wait_for(backlog + 1, 30)
        self.assertEqual([("b/4711/C%d" % (v % 3)).encode() for v in range(backlog + 1)], [m[2] for m in got])
        self.assertEqual([str(v).encode() for v in range(backlog + 1)], [PAYLOAD.match(m[3]).group(1) for m in got])
        self.assertEqual(0, camera.kept())
        flag, payload = retained(self.broker.open_port, "b/4711/C%d" % ((backlog - 1) % 3))
        self.assertEqual((1, str(backlog - 1).encode()), (flag, PAYLOAD.match(payload).group(1)))


class RefusedAlone(WithMosquitto):
    def test_a_point_the_broker_refuses_becomes_a_dead_letter_and_the_rest_goes_on(self):
        """mosquitto's max_packet_size: announced in its MQTT 5 CONNACK, so the point is not even sent;
        a 3.1.1 broker that closes the connection on it instead (the fake) is narrowed to it alike."""
        self.broker.stop()
        with open(os.path.join(self.tmp, "mosquitto.conf"), "a") as f:
            f.write("max_packet_size 200\n")
        self.broker.start()
        sub = self.subscribe()
        fake = self.fake(refuse=lambda payload: b"L" * 200 in payload)
        # (broker, URL, the reason, the values delivered)
        cases = [
            ("mosquitto, MQTT 5", self.url(), "over the broker's maximum of 200 bytes",
             lambda: [m[3] for m in sub.wait_for(7)]),
            ("3.1.1 broker that closes", "mqtt://%s:%d" % (HOST, fake.port), "the broker closed the connection on it",
             lambda: list(dict.fromkeys(p[3] for p in fake.publishes() if b"L" * 200 not in p[3]))),
        ]
        for name, url, reason, delivered in cases:
            with self.subTest(name):
                camera = self.camera(url, FEED_RETRY_MIN_S=0, FEED_RETRY_MAX_S=0)
                for value in ("1", "L" * 200, "3"):
                    self.assertEqual(3, camera.run(KEY, FEED, "T", value, env={"FEED_KEEP_ONLY": "1"}).returncode)
                results = [self.send(camera, "T", str(v))[0] for v in range(4, 9)]
                self.assertEqual([b"1", b"3", b"4", b"5", b"6", b"7", b"8"],
                                 [PAYLOAD.match(p).group(1) for p in delivered()], [r.stderr for r in results])
                self.assertIn("was refused 3 times (%s)" % reason, "".join(r.stderr for r in results))
                self.assertEqual(0, camera.kept())
                self.assertTrue(camera.status()["dead letters"].startswith("1 "), camera.status())
                with open(os.path.join(camera.spool, "dead")) as f:
                    dead = f.read()
                self.assertIn("L" * 200, dead)
                self.assertIn(reason, dead)


class Mqtt5Refusals(WithMosquitto):
    def test_an_acl_denial_is_seen_by_its_puback_code_and_becomes_a_dead_letter(self):
        """In 3.1.1 mosquitto would drop the denied message after a PUBACK of success."""
        self.broker.stop()
        acl = os.path.join(self.tmp, "acl")
        with open(acl, "w") as f:
            f.write("user %s\ntopic readwrite acl/4711/ok\n" % USER)
        with open(os.path.join(self.tmp, "mosquitto.conf"), "a") as f:
            f.write("acl_file %s\n" % acl)  # of the last listener: the one with passwords
        self.broker.start()
        sub = self.subscribe()
        camera = self.camera(self.url("/acl", "%s:%s" % (USER, PASSWORD.replace(" ", "%20"))),
                             FEED_RETRY_MIN_S=0, FEED_RETRY_MAX_S=0)
        self.assertEqual(0, self.send(camera, "ok", "1")[0].returncode)
        denied = self.send(camera, "denied", "x")[0]
        self.assertEqual(3, denied.returncode, denied.stderr)
        self.assertIn("the broker refused a message (PUBACK 0x87 not authorised)", denied.stderr)
        results = [self.send(camera, "ok", str(v))[0] for v in (2, 3, 4)]
        self.assertIn("was refused 3 times (PUBACK 0x87 not authorised)", "".join(r.stderr for r in results))
        self.assertEqual(0, results[-1].returncode, results[-1].stderr)
        # A point sent behind the refused one in the same batch may arrive twice (at least once).
        wait_until(lambda: any(m[3].startswith(b'{"value":"4"') for m in sub.messages()), 10)
        got = [(m[2], PAYLOAD.match(m[3]).group(1)) for m in sub.messages()]
        self.assertEqual([(b"acl/4711/ok", v) for v in (b"1", b"2", b"3", b"4")], list(dict.fromkeys(got)))
        status = camera.status()
        self.assertTrue(status["dead letters"].startswith("1 "), status)
        self.assertEqual("MQTT 5, else 3.1.1", status["protocol"])
        with open(os.path.join(camera.spool, "dead")) as f:
            self.assertIn("PUBACK 0x87 not authorised", f.read())


class Fallback(MqttTest):
    def levels(self, fake):
        """The protocol level of each CONNECT received."""
        return [body[6] for first, body in fake.packets if first >> 4 == 1]

    def test_a_broker_that_speaks_3_1_1_only_is_remembered_for_a_day(self):
        fake = self.fake()
        camera = self.camera("mqtt://%s:%d" % (HOST, fake.port))
        first = self.send(camera, "T", "1")[0]
        self.assertEqual((0, ""), (first.returncode, first.stderr))
        self.assertEqual([5, 4], self.levels(fake))
        self.assertTrue(camera.status()["protocol"].startswith("MQTT 3.1.1 until "), camera.status())
        self.assertEqual(0, self.send(camera, "T", "2")[0].returncode)
        self.assertEqual([5, 4, 4], self.levels(fake))
        later = self.send(camera, "T", "3", env={"FEED_TEST_WALL_OFFSET_S": "86401"})[0]
        self.assertEqual(0, later.returncode, later.stderr)
        self.assertEqual([5, 4, 4, 5, 4], self.levels(fake), "a day later MQTT 5 is asked for again")
        self.assertEqual([b"1", b"2", b"3"], [PAYLOAD.match(p[3]).group(1) for p in fake.publishes()])

    def test_aedes_gets_every_point_in_3_1_1(self):
        node = shutil.which("node")
        broker = subprocess.Popen([node, os.path.join(HERE, "aedes", "broker.mjs"), "0"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.addCleanup(broker.wait, 10)
        self.addCleanup(broker.stdin.close)
        self.addCleanup(broker.stdout.close)
        port = int(broker.stdout.readline().split()[1])
        sub = Subscriber(self.tmp, port)
        self.addCleanup(sub.close)
        camera = self.camera("mqtt://%s:%d/ae" % (HOST, port))
        results = [self.send(camera, "T", str(v))[0] for v in (1, 2)]
        self.assertEqual([(0, ""), (0, "")], [(r.returncode, r.stderr) for r in results])
        self.assertEqual([(b"ae/4711/T", b"1"), (b"ae/4711/T", b"2")],
                         [(m[2], PAYLOAD.match(m[3]).group(1)) for m in sub.wait_for(2)])
        self.assertTrue(camera.status()["protocol"].startswith("MQTT 3.1.1 until "), camera.status())


# What Home Assistant's MQTT sensor takes from a discovery config: key -> check of its value.
# Every key sent must be one of these, the first group always there.
IS_STR = lambda v: isinstance(v, str) and v != ""
HA_REQUIRED = {
    "name": IS_STR,
    "unique_id": lambda v: IS_STR(v) and re.fullmatch(r"[A-Za-z0-9_-]+", v) is not None,
    "state_topic": IS_STR,
    "value_template": lambda v: IS_STR(v) and "value_json.value" in v,
    "json_attributes_topic": IS_STR,
    "json_attributes_template": IS_STR,
    "expire_after": lambda v: isinstance(v, int) and not isinstance(v, bool) and v > 0,
    "availability_topic": IS_STR,
    "availability_template": IS_STR,
    "payload_available": IS_STR,
    "device": lambda v: isinstance(v, dict) and isinstance(v.get("identifiers"), list)
    and all(IS_STR(i) for i in v["identifiers"]) and IS_STR(v.get("name")) and v.get("model") == "Ombrelle",
}
HA_OPTIONAL = {
    "unit_of_measurement": IS_STR,
    "device_class": lambda v: v in {"temperature", "humidity", "illuminance"},
    "state_class": lambda v: v in {"measurement", "total", "total_increasing"},
    "payload_not_available": IS_STR,
}
# Parameter code -> (unit, device class); None: neither key.
UNITS = {"30": ("\u00b0C", "temperature"), "31": ("\u00b0F", "temperature"), "10": ("%", "humidity"),
         "20": ("lx", "illuminance"), "1": None, None: None}


def object_id(channel):
    return re.sub(rb"[^A-Za-z0-9_-]", b"_", ("%s_" % client_id(MAC)).encode() + channel).decode()


class Discovery(WithMosquitto):
    def config_topic(self, channel, prefix="homeassistant"):
        return "%s/sensor/%s/config" % (prefix, object_id(channel))

    def config(self, channel, prefix="homeassistant"):
        """The retained config of channel, checked against the sensor schema; None when there is none."""
        got = retained(self.broker.open_port, self.config_topic(channel, prefix))
        if got is None:
            return None
        self.assertEqual(1, got[0])
        config = json.loads(got[1].decode("utf-8"))
        for key, check in HA_REQUIRED.items():
            self.assertIn(key, config)
            self.assertTrue(check(config[key]), (key, config[key]))
        for key, value in config.items():
            self.assertIn(key, set(HA_REQUIRED) | set(HA_OPTIONAL), config)
            self.assertTrue(HA_REQUIRED.get(key, HA_OPTIONAL.get(key))(value), (key, value))
        self.assertEqual([client_id(MAC)], config["device"]["identifiers"])
        return config

    def assertUnits(self, config, code):
        units = UNITS[code]
        self.assertEqual(units, (config["unit_of_measurement"], config["device_class"]) if units else None)
        if units is None:
            self.assertNotIn("unit_of_measurement", config)
            self.assertNotIn("device_class", config)
            self.assertNotIn("state_class", config)

    def test_configs_and_availability_arrive_retained_as_home_assistant_reads_them(self):
        sub = self.subscribe()
        camera = self.camera(self.url("/site?discovery=homeassistant"), FEED_EXPIRE_AFTER_S=900)
        # (channel words, value, FEED_PARAMETER)
        cases = [([b"Temp"], b"23.5", "30"), ([b"Temp F"], b"74.3", "31"), ([b"Hum"], b"40.0", "10"),
                 ([b"Lux"], b"300.0", "20"), ([b"Note"], b"hello", "1"), ([b"Front", b"door"], b"Closed", None),
                 ([b'q"b\\s\x01/+', b"\xff"], b"1", "30")]
        for words, value, code in cases:
            env = {"FEED_PARAMETER": code} if code else {}
            result = camera.run(KEY, FEED, *words, value, env=env)
            self.assertEqual((0, ""), (result.returncode, result.stderr))
        points = {m[2]: m[3] for m in sub.wait_for(len(cases) * 3) if m[2].startswith(b"site/4711/")
                  and not m[2].endswith(b"/status")}
        for words, value, code in cases:
            channel = b" ".join(words)
            with self.subTest(channel):
                config = self.config(channel)
                self.assertIsNotNone(config)
                self.assertEqual(channel.decode("utf-8", "replace"), config["name"])
                self.assertEqual(object_id(channel), config["unique_id"])
                # The points arrive on the config's state topic, and carry what its templates read.
                payload = points[config["state_topic"].encode()]
                self.assertEqual(config["state_topic"], config["json_attributes_topic"])
                self.assertEqual(value.decode("utf-8", "replace"), json.loads(payload)["value"])
                self.assertIn("at", json.loads(payload))
                self.assertEqual(900, config["expire_after"])
                self.assertEqual("site/4711/status", config["availability_topic"])
                self.assertUnits(config, code)
        flag, status = retained(self.broker.open_port, "site/4711/status")
        status = json.loads(status)
        self.assertEqual((1, "online"), (flag, status["state"]))
        self.assertLessEqual(abs(iso_seconds(status["last"]) - time.time()), 30)
        # Before its points, on each connection: the status first, then the new config, then the point.
        first = [m[2] for m in sub.messages()][:3]
        self.assertEqual([b"site/4711/status", self.config_topic(b"Temp").encode(), b"site/4711/Temp"], first)

    def test_a_config_goes_once_and_again_when_its_code_changes_also_for_kept_points(self):
        sub = self.subscribe()
        camera = self.camera(self.url("?discovery=homeassistant&discovery_prefix=ha/disc"))
        calls = [("Temp", "30"), ("Temp", "30"), ("Temp", None), ("Temp", "31")]
        for channel, code in calls:
            env = {"FEED_PARAMETER": code} if code else {}
            self.assertEqual(0, camera.run(KEY, FEED, channel, "1", env=env).returncode)
        # Kept without the network: the code is remembered, and the config goes when the point does.
        self.assertEqual(3, camera.run(KEY, FEED, "Lux", "5", env={"FEED_KEEP_ONLY": "1",
                                                                  "FEED_PARAMETER": "20"}).returncode)
        self.assertEqual(0, camera.run(KEY, FEED, "Temp", "2").returncode)
        got = sub.wait_for(len(calls) + 1 + 2 + 6)
        configs = [json.loads(m[3]) for m in got if m[2].startswith(b"ha/disc/")]
        self.assertEqual(["\u00b0C", "\u00b0F", "lx"], [c["unit_of_measurement"] for c in configs])
        self.assertEqual(["Temp", "Temp", "Lux"], [c["name"] for c in configs])
        self.assertEqual(5, [m[2] for m in got].count(b"4711/status"))
        self.assertIsNone(retained(self.broker.open_port, self.config_topic(b"Temp")))
        self.assertUnits(self.config(b"Lux", "ha/disc"), "20")

    def test_a_config_that_fits_no_message_is_said_once_and_never_holds_points_up(self):
        sub = self.subscribe()
        camera = self.camera(self.url("?discovery=homeassistant"))
        channel = b"\x01" * 255
        results = [camera.run(KEY, FEED, channel, str(v), env={"FEED_PARAMETER": "30"}) for v in (1, 2)]
        self.assertEqual([0, 0], [r.returncode for r in results])
        self.assertIn("config does not fit one MQTT message, not sent", results[0].stderr)
        self.assertEqual("", results[1].stderr)
        got = sub.wait_for(4)
        self.assertEqual([b"4711/status", b"4711/" + b"_" * 255] * 2, [m[2] for m in got])
        self.assertIsNone(self.config(channel))

    def test_a_config_over_the_brokers_maximum_packet_size_is_not_sent_and_the_points_go(self):
        """mosquitto's max_packet_size, told in its MQTT 5 CONNACK: the config is over it, the points are not."""
        self.broker.stop()
        with open(os.path.join(self.tmp, "mosquitto.conf"), "a") as f:
            f.write("max_packet_size 300\n")
        self.broker.start()
        sub = self.subscribe()
        camera = self.camera(self.url("?discovery=homeassistant"), FEED_RETRY_MIN_S=0, FEED_RETRY_MAX_S=0)
        self.assertEqual(3, camera.run(KEY, FEED, "T", "1", env={"FEED_KEEP_ONLY": "1"}).returncode)
        result = camera.run(KEY, FEED, "T", "2", env={"FEED_PARAMETER": "30"})
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn('config does not fit one MQTT message, not sent: channel "T"', result.stderr)
        got = sub.wait_for(3)
        self.assertEqual([b"4711/status", b"4711/T", b"4711/T"], [m[2] for m in got])
        self.assertIsNone(self.config(b"T"))
        self.assertEqual(0, camera.kept())


class ClientIdentifier(MqttTest):
    def test_the_first_non_zero_mac_before_the_machine_id_before_the_host_name(self):
        cases = [
            ("first MAC in name order", [("wlan0", "02:00:00:00:00:09"), ("eth0", MAC)], "m1", MAC),
            ("zero MAC skipped", [("a0", "00:00:00:00:00:00"), ("b0", MAC)], "m1", MAC),
            ("machine id without a MAC", [("lo", "00:00:00:00:00:00")], "0123abcd", "0123abcd"),
            ("host name without either", [], None, "cam-host"),
        ]
        fake = self.fake()
        for n, (name, macs, machine_id, camera_name) in enumerate(cases):
            with self.subTest(name):
                self.root = make_root(os.path.join(self.tmp, "root%d" % n), macs, machine_id)
                camera = self.camera("mqtt://%s:%d" % (HOST, fake.port))
                result = self.send(camera, "T", "1")[0]
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual(client_id(camera_name), fake.connects()[-1][2])
        self.assertNotEqual(client_id(MAC), client_id(MAC, "4712"))
        self.assertEqual(23, len(client_id(MAC)))


class Wire(MqttTest):
    """What goes on the wire, read by an independent parser."""

    def url(self, fake, rest=""):
        return "mqtt://%s:%d%s" % (HOST, fake.port, rest)

    def test_connect_and_publish_fields(self):
        fake = self.fake()
        camera = self.camera("mqtt://user%%20x:pass%%20word@%s:%d/a?retain=1" % (HOST, fake.port))
        self.keep(camera, 3)
        result = self.send(camera, "T", "3")[0]
        self.assertEqual(0, result.returncode, result.stderr)
        [(flags, keepalive, ident, rest)] = fake.connects()
        self.assertEqual((0xC2, 30, client_id(MAC)), (flags, keepalive, ident))  # user, password, clean session
        self.assertEqual(b"\x00\x06user x\x00\x09pass word", rest)
        wait_until(lambda: fake.packets[-1] == (0xE0, b""), 5)
        publishes = fake.publishes()
        # QoS 1 with retain, identifiers 1, 2, ... in the spool's order, then DISCONNECT.
        self.assertEqual([(0x3, b"a/4711/T", i + 1) for i in range(4)], [p[:3] for p in publishes])
        self.assertEqual([str(v).encode() for v in range(4)], [PAYLOAD.match(p[3]).group(1) for p in publishes])
        self.assertEqual((0xE0, b""), fake.packets[-1])

    def test_keepalive_from_the_url(self):
        for query, seconds, flags in (("", 30, 0x02), ("?keepalive=7", 7, 0x02), ("?keepalive=65535", 65535, 0x02)):
            with self.subTest(query=query):
                fake = self.fake()
                result = self.send(self.camera(self.url(fake, query)), "T", "1")[0]
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual([(flags, seconds)], [c[:2] for c in fake.connects()])
                self.assertEqual([0x2], [p[0] for p in fake.publishes()])

    def test_qos_1_in_flight_window(self):
        fake = self.fake(acks=lambda n: False)
        camera = self.camera(self.url(fake), FEED_TIMEOUT_S=2)
        self.keep(camera, 100)
        result = self.send(camera, "T", "x")[0]
        self.assertEqual(3, result.returncode, result.stderr)
        self.assertEqual(WINDOW, len(fake.publishes()))
        self.assertEqual(101, camera.kept())

    def test_an_mqtt5_brokers_receive_maximum_bounds_the_window(self):
        fake = self.fake(acks=lambda n: False, receive_maximum=5)
        camera = self.camera(self.url(fake), FEED_TIMEOUT_S=2)
        self.keep(camera, 20)
        self.assertEqual(3, self.send(camera, "T", "x")[0].returncode)
        self.assertEqual(5, len(fake.publishes()))
        self.assertEqual([5], [body[6] for first, body in fake.packets if first >> 4 == 1])

    def test_acks_that_stop_or_leave_a_gap_deliver_the_leading_points_within_the_bound(self):
        cases = [("stop after 5", lambda n: n < 5, 5), ("gap at 2", lambda n: n != 2, 2),
                 ("closed after 4", lambda n: True if n < 4 else "close", 4)]
        for name, acks, leading in cases:
            with self.subTest(name):
                fake = self.fake(acks=acks)
                camera = self.camera(self.url(fake), FEED_TIMEOUT_S=2, FEED_RETRY_MIN_S=0)
                self.keep(camera, 12)
                result = self.send(camera, "T", "x")[0]
                self.assertEqual(3, result.returncode, result.stderr)
                self.assertLess(result.seconds, 2 + 1.5, "bounded by FEED_TIMEOUT_S")
                self.assertEqual(13 - leading, camera.kept())
                # The next call starts at the first unconfirmed point.
                first_again = len(fake.publishes())
                fake.acks = lambda n: True
                fake.published = 0
                self.assertEqual(0, self.send(camera, "T", "y")[0].returncode)
                self.assertEqual(str(leading).encode(), PAYLOAD.match(fake.publishes()[first_again][3]).group(1))
                self.assertEqual(0, camera.kept())

    def test_connack_codes(self):
        # (code, credentials): 4 and 5 refuse the credentials, the others mean down.
        for code, credentials in ((1, False), (2, False), (3, False), (4, True), (5, True), (6, False)):
            with self.subTest(code=code):
                fake = self.fake(connack=code)
                camera = self.camera(self.url(fake), FEED_RETRY_MIN_S=5, FEED_RETRY_MAX_S=600)
                result = self.send(camera, "T", "1")[0]
                self.assertEqual(3, result.returncode)
                reason = "refused the credentials" if credentials else "refused the connection"
                self.assertIn("the broker %s (CONNACK %d)" % (reason, code), result.stderr)
                self.assertLess(result.seconds, 2.5)
                self.assertEqual(1, camera.kept())
                self.assertEqual([], fake.publishes())

    def test_garbage_instead_of_connack(self):
        for raw in (b"HTTP/1.1 400 Bad Request\r\n\r\n", bytes([0x40, 2, 0, 1]), bytes([0x20, 0xFF, 0x7F])):
            with self.subTest(raw=raw):
                fake = self.fake(raw=raw)
                camera = self.camera(self.url(fake))
                result = self.send(camera, "T", "1")[0]
                self.assertEqual(3, result.returncode, result.stderr)
                self.assertIn("endpoint down", result.stderr)
                self.assertEqual(1, camera.kept())
                self.assertEqual([], fake.publishes())

    def test_a_broker_that_never_sends_its_connack_holds_no_call_past_the_bound(self):
        fake = self.fake(connack=None)
        camera = self.camera(self.url(fake), FEED_RETRY_MIN_S=30)
        first = self.send(camera, "T", "1")[0]
        self.assertEqual(3, first.returncode)
        self.assertIn("the broker sent no CONNACK in time", first.stderr)
        self.assertLess(first.seconds, TIMEOUT_S + 1.0)
        self.assertGreater(first.seconds, TIMEOUT_S - 1.5, "it waited for the CONNACK")
        known = self.send(camera, "T", "2")[0]
        self.assertEqual((3, ""), (known.returncode, known.stderr))
        self.assertLess(known.seconds, 1, "a known outage is skipped without waiting")
        self.assertEqual(2, camera.kept())



class Aedes(MqttTest):
    """aedes (tests/mqtt/aedes, installed by tools/install-deps) refuses a keep-alive over its limit."""

    def aedes(self, keepalive_limit):
        node = shutil.which("node")
        if node is None:
            self.skipTest("node is not installed")
        process = subprocess.Popen([node, os.path.join(HERE, "aedes", "broker.mjs"), "0", str(keepalive_limit)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(process.wait, 10)
        self.addCleanup(process.stdin.close)
        line = process.stdout.readline().decode()
        self.assertTrue(line.startswith("listening "), line)
        return int(line.split()[1])

    def test_the_keepalive_of_the_url_meets_a_broker_that_caps_it(self):
        port = self.aedes(30)
        cases = [("", 0, None), ("?keepalive=30", 0, None),
                 ("?keepalive=60", 3, "the broker refused the connection (CONNACK 6)")]
        for query, status, line in cases:
            with self.subTest(query or "the default"):
                camera = self.camera("mqtt://%s:%d/cam%s" % (HOST, port, query))
                result = self.send(camera, "T", "1")[0]
                self.assertEqual(status, result.returncode, result.stderr)
                if line:
                    self.assertIn(line, result.stderr)
                    self.assertNotIn("credentials", result.stderr)
                    self.assertEqual(1, camera.kept())


if __name__ == "__main__":
    unittest.main()
