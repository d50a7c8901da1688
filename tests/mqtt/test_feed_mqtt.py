"""feed_mqtt against Debian's mosquitto and against fake brokers on 127.0.0.1.

What arrives (topic, payload, QoS, order, retain), the credentials, the exit
statuses and the time bound. Every broker is started here on free ports with a
configuration of the test's own; a system broker, if any, is never used.
FEED_MQTT names the program; FEED_MQTT_EMULATOR, in a cross build, the emulator
that runs it.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from brokerfixture import (HOST, PASSWORD, USER, Mosquitto, Subscriber, free_port, retained,  # noqa: E402
                           wait_until)

PROGRAM = os.environ["FEED_MQTT"]
EMULATOR = os.environ.get("FEED_MQTT_EMULATOR", "").split()

# The program's own limits, as its header documents them.
MESSAGES_MAX = 256
LINE_MAX = 1024
INFLIGHT_MAX = 16
# "At once" means long before the bound: a call given AT_ONCE_BOUND_MS must end within AT_ONCE_S.
# START_SLACK_S covers starting the program (through an emulator) on a busy machine.
AT_ONCE_BOUND_MS = 20000
AT_ONCE_S = 10.0
START_SLACK_S = 3.0


class Run:
    def __init__(self, status, out, err, seconds):
        self.status, self.out, self.err, self.seconds = status, out, err, seconds

    def __repr__(self):
        return "status %s out %r err %r after %.2f s" % (self.status, self.out, self.err, self.seconds)


def feed_mqtt(args, lines=b"", password=None, timeout=60):
    """Runs the program with `lines` on standard input; MQTT_PASSWORD only when given."""
    env = {k: v for k, v in os.environ.items() if k != "MQTT_PASSWORD"}
    if password is not None:
        env["MQTT_PASSWORD"] = password
    start = time.monotonic()
    done = subprocess.run(EMULATOR + [PROGRAM] + args, input=lines, capture_output=True, env=env,
                          timeout=timeout)
    return Run(done.returncode, done.stdout.decode(), done.stderr.decode(errors="replace"),
               time.monotonic() - start)


def message_lines(messages):
    return b"".join(topic + b"\t" + payload + b"\n" for topic, payload in messages)


class WithMosquitto(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.broker = Mosquitto(self.tmp.name)
        self.broker.start()
        self.subscribers = []

    def tearDown(self):
        for s in self.subscribers:
            s.close()
        self.broker.stop()
        self.tmp.cleanup()

    def subscribe(self, port=None, name="sub"):
        s = Subscriber(self.tmp.name, port or self.broker.open_port, name=name)
        self.subscribers.append(s)
        return s

    def publish(self, messages, *extra, port=None, password=None, client="cam-test"):
        return feed_mqtt(["-h", HOST, "-p", str(port or self.broker.open_port), "-i", client] + list(extra),
                         message_lines(messages), password=password)


class Delivery(WithMosquitto):
    def test_messages_arrive_in_order_with_qos_1(self):
        sub = self.subscribe()
        messages = [(b"feed/%d" % (i % 8), b'{"value":"%d","at":"2026-12-10T03:20:17Z"}' % i)
                    for i in range(200)]
        run = self.publish(messages)
        self.assertEqual((0, "200\n", ""), (run.status, run.out, run.err), run)
        self.assertEqual([(1, 0, t, p) for t, p in messages], sub.wait_for(200))

    def test_names_with_blanks_and_any_payload_bytes(self):
        sub = self.subscribe()
        longest_payload = b"v" * (LINE_MAX - len(b"long\t\n"))
        messages = [(b"feed 1/Front door", b'{"value":"Closed now"}'),
                    ("caf\u00e9/temp\u00e9rature \u00b0C".encode(), "21,5 \u00b0C".encode()),
                    (b"/", b""),
                    (b"tabs", b"a\tb\t"),
                    (b"binary", b"\x00\xff\xfe\r"),
                    (b"long", longest_payload)]
        run = self.publish(messages)
        self.assertEqual((0, "6\n"), (run.status, run.out), run)
        self.assertEqual([(1, 0, t, p) for t, p in messages], sub.wait_for(len(messages)))

    def test_empty_input_connects_and_confirms_nothing(self):
        run = self.publish([])
        self.assertEqual((0, "0\n", ""), (run.status, run.out, run.err), run)
        # Level 4 (3.1.1), clean session, keep-alive 60 s, and a polite end.
        self.assertTrue(wait_until(lambda: "Client cam-test disconnected." in self.broker.log(), 5),
                        self.broker.log())
        self.assertIn("as cam-test (p2, c1, k60)", self.broker.log())

    def test_retain_switch(self):
        run = self.publish([(b"kept", b"on")], "-r")
        self.assertEqual(0, run.status, run)
        self.assertEqual((1, b"on"), retained(self.broker.open_port, "kept"))
        run = self.publish([(b"not-kept", b"off")])
        self.assertEqual(0, run.status, run)
        self.assertIsNone(retained(self.broker.open_port, "not-kept"))

    def test_password_from_the_environment(self):
        sub = self.subscribe()
        messages = [(b"secure/a", b"1"), (b"secure/b", b"2")]
        run = self.publish(messages, "-u", USER, port=self.broker.auth_port, password=PASSWORD)
        self.assertEqual((0, "2\n", ""), (run.status, run.out, run.err), run)
        self.assertEqual([(1, 0, t, p) for t, p in messages], sub.wait_for(2))

    def test_refused_credentials_exit_2_at_once(self):
        sub = self.subscribe()
        cases = [("wrong password", ["-u", USER], "wrong"),
                 ("no password", ["-u", USER], None),
                 ("unknown user", ["-u", "nobody"], PASSWORD),
                 ("anonymous", [], None)]
        for name, extra, password in cases:
            with self.subTest(name):
                run = self.publish([(b"denied", b"x")], *extra, "-t", str(AT_ONCE_BOUND_MS),
                                   port=self.broker.auth_port, password=password)
                self.assertEqual((2, "0\n"), (run.status, run.out), run)
                self.assertEqual(1, run.err.count("\n"), run)
                self.assertIn("feed_mqtt: %s:%d: " % (HOST, self.broker.auth_port), run.err)
                self.assertIn("not authorised (return code 5)", run.err)
                self.assertLess(run.seconds, AT_ONCE_S, run)
        self.assertEqual([], sub.messages())

    def test_broker_stopped_exit_1_at_once(self):
        self.broker.stop()
        run = self.publish([(b"t", b"x")], "-t", str(AT_ONCE_BOUND_MS))
        self.assertEqual((1, "0\n"), (run.status, run.out), run)
        self.assertEqual("feed_mqtt: %s:%d: cannot connect: Connection refused\n" % (HOST, self.broker.open_port),
                         run.err)
        self.assertLess(run.seconds, AT_ONCE_S, run)


class FakeBroker:
    """A TCP listener on 127.0.0.1 that plays a broker as far as the test wants.

    connack: the CONNACK return code, or None to stay silent after CONNECT.
    acks: which PUBLISH packets to acknowledge, as a function of their order
          (0, 1, ...) returning True, False, or "close" to drop the connection.
    raw: bytes sent instead of a CONNACK.
    """

    def __init__(self, connack=0, acks=lambda n: True, raw=None):
        self.connack, self.acks, self.raw = connack, acks, raw
        self.packets = []  # (first byte, body) of everything received
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
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
            self.connections += 1
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
        published = 0
        while True:
            packet = self.read_packet(conn, buffer)
            if packet is None:
                return
            self.packets.append(packet)
            kind = packet[0] >> 4
            if kind == 1 and self.raw is not None:
                conn.sendall(self.raw)
            elif kind == 1 and self.connack is not None:
                conn.sendall(bytes([0x20, 2, 0, self.connack]))
            elif kind == 3:
                verdict = self.acks(published)
                published += 1
                if verdict == "close":
                    return
                if verdict:
                    topic_size = struct.unpack(">H", packet[1][:2])[0]
                    conn.sendall(bytes([0x40, 2]) + packet[1][2 + topic_size:4 + topic_size])

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


class WithFakeBroker(unittest.TestCase):
    def broker(self, **behaviour):
        fake = FakeBroker(**behaviour)
        self.addCleanup(fake.close)
        return fake

    def publish(self, fake, count, bound_ms, *extra):
        messages = [(b"t/%d" % i, b"v%d" % i) for i in range(count)]
        return feed_mqtt(["-h", HOST, "-p", str(fake.port), "-i", "cam-fake", "-t", str(bound_ms)] + list(extra),
                         message_lines(messages))

    def assertWithinBound(self, run, bound_ms):
        # It waits the bound out, and ends soon after it (an emulator's start-up on a busy machine included).
        self.assertGreater(run.seconds, bound_ms / 1000.0 * 0.9, run)
        self.assertLess(run.seconds, bound_ms / 1000.0 + START_SLACK_S, run)


class Bounds(WithFakeBroker):
    def test_accepted_but_no_connack_exit_1_within_the_bound(self):
        fake = self.broker(connack=None)
        run = self.publish(fake, 3, 1500)
        self.assertEqual((1, "0\n"), (run.status, run.out), run)
        self.assertEqual("feed_mqtt: %s:%d: no CONNACK within 1500 ms\n" % (HOST, fake.port), run.err)
        self.assertWithinBound(run, 1500)
        self.assertEqual([], fake.publishes())

    def test_acks_stop_midway_exit_3_with_the_leading_count(self):
        fake = self.broker(acks=lambda n: n < 5)
        run = self.publish(fake, 12, 1500)
        self.assertEqual((3, "5\n"), (run.status, run.out), run)
        self.assertEqual("feed_mqtt: %s:%d: 5 of 12 messages confirmed within 1500 ms\n" % (HOST, fake.port),
                         run.err)
        self.assertWithinBound(run, 1500)

    def test_a_gap_counts_only_what_leads(self):
        fake = self.broker(acks=lambda n: n != 2)
        run = self.publish(fake, 6, 1000)
        self.assertEqual((3, "2\n"), (run.status, run.out), run)
        self.assertWithinBound(run, 1000)

    def test_connection_dropped_midway_exit_3_at_once(self):
        fake = self.broker(acks=lambda n: True if n < 4 else "close")
        run = self.publish(fake, 10, AT_ONCE_BOUND_MS)
        self.assertEqual((3, "4\n"), (run.status, run.out), run)
        self.assertIn("the connection broke: 4 of 10 messages confirmed", run.err)
        self.assertLess(run.seconds, AT_ONCE_S, run)

    def test_in_flight_window(self):
        fake = self.broker(acks=lambda n: False)
        run = self.publish(fake, 40, 1000)
        self.assertEqual((3, "0\n"), (run.status, run.out), run)
        self.assertEqual(INFLIGHT_MAX, len(fake.publishes()))

    def test_connack_codes(self):
        cases = [(1, 2, "unacceptable protocol version"), (2, 2, "client identifier rejected"),
                 (3, 1, "server unavailable"), (4, 2, "bad user name or password"), (5, 2, "not authorised"),
                 (6, 2, "reserved return code")]
        for code, status, reason in cases:
            with self.subTest(code=code):
                fake = self.broker(connack=code)
                run = self.publish(fake, 1, AT_ONCE_BOUND_MS)
                self.assertEqual((status, "0\n"), (run.status, run.out), run)
                self.assertEqual("feed_mqtt: %s:%d: connection refused by the broker: %s (return code %d)\n"
                                 % (HOST, fake.port, reason, code), run.err)
                self.assertLess(run.seconds, AT_ONCE_S, run)

    def test_garbage_instead_of_connack_exit_1(self):
        for raw in (b"HTTP/1.1 400 Bad Request\r\n\r\n", bytes([0x40, 2, 0, 1]), bytes([0x20, 0xFF, 0x7F])):
            with self.subTest(raw=raw):
                fake = self.broker(raw=raw)
                run = self.publish(fake, 1, AT_ONCE_BOUND_MS)
                self.assertEqual((1, "0\n"), (run.status, run.out), run)
                self.assertIn("protocol error", run.err)
                self.assertLess(run.seconds, AT_ONCE_S, run)


class Packets(WithFakeBroker):
    """What goes on the wire, read by an independent parser."""

    def test_connect_and_publish_fields(self):
        fake = self.broker()
        messages = [(b"a/b", b"one"), (b"a/c", b"two"), (b"a/b", b"three")]
        run = feed_mqtt(["-h", HOST, "-p", str(fake.port), "-i", "cam-42", "-u", "user x", "-r"],
                        message_lines(messages), password="pass word")
        self.assertEqual((0, "3\n"), (run.status, run.out), run)
        first, body = fake.packets[0]
        self.assertEqual(0x10, first)
        self.assertEqual(b"\x00\x04MQTT\x04\xc2\x00\x3c", body[:10])  # level 4, user, password, clean; 60 s
        self.assertEqual(b"\x00\x06cam-42\x00\x06user x\x00\x09pass word", body[10:])
        # QoS 1 with retain, identifiers 1, 2, 3 in input order, then DISCONNECT.
        # The client may be gone before the fake has read its last packets.
        deadline = time.monotonic() + 5
        while fake.packets[-1] != (0xE0, b"") and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual([(0x3, t, i + 1, p) for i, (t, p) in enumerate(messages)], fake.publishes())
        self.assertEqual((0xE0, b""), fake.packets[-1])

    def test_no_password_without_user_and_no_retain_by_default(self):
        fake = self.broker()
        run = feed_mqtt(["-h", HOST, "-p", str(fake.port), "-i", "c"], b"t\tv\n", password="")
        self.assertEqual(0, run.status, run)
        self.assertEqual(0x02, fake.packets[0][1][7])  # clean session only
        self.assertEqual([(0x2, b"t", 1, b"v")], fake.publishes())


class Usage(unittest.TestCase):
    """Refused before any connection: the port is closed, so a try would give 1."""

    def setUp(self):
        self.port = str(free_port())

    def check(self, args, lines=b"t\tv\n", password=None, reason=""):
        run = feed_mqtt(args, lines, password=password)
        self.assertEqual((64, "0\n"), (run.status, run.out), run)
        self.assertTrue(run.err.startswith("feed_mqtt: ") and run.err.count("\n") == 1, run)
        self.assertIn(reason, run.err)

    def test_options(self):
        base = ["-h", HOST, "-p", self.port, "-i", "c"]
        cases = [([], "usage"),
                 (["-p", self.port, "-i", "c"], "usage"),
                 (["-h", HOST, "-p", self.port], "usage"),
                 (base + ["extra"], "usage"),
                 (base + ["-x"], "-x"),
                 (base + ["-t"], "-t"),
                 (base + ["-p", "0"], "-p"),
                 (base + ["-p", "65536"], "-p"),
                 (base + ["-p", "18x"], "-p"),
                 (base + ["-t", "0"], "-t"),
                 (base + ["-t", "600001"], "-t"),
                 (["-h", HOST, "-p", self.port, "-i", ""], "-i"),
                 (["-h", HOST, "-p", self.port, "-i", "c" * 257], "-i"),
                 (["-h", HOST, "-p", self.port, "-i", "a\tb"], "-i"),
                 (["-h", "", "-p", self.port, "-i", "c"], "-h"),
                 (["-h", "[]", "-p", self.port, "-i", "c"], "-h"),
                 (base + ["-u", "u" * 257], "-u")]
        for args, reason in cases:
            with self.subTest(args=args):
                self.check(args, reason=reason)

    def test_password_rules(self):
        base = ["-h", HOST, "-p", self.port, "-i", "c"]
        self.check(base, password="secret", reason="MQTT_PASSWORD")
        self.check(base + ["-u", "u"], password="p" * 257, reason="MQTT_PASSWORD")

    def test_lines(self):
        base = ["-h", HOST, "-p", self.port, "-i", "c"]
        too_long = b"t\t" + b"v" * (LINE_MAX - 2) + b"\n"
        cases = [(b"no tab\n", "line 1: no tab"),
                 (b"ok\tv\nno-end\tv", "line 2: no line feed"),
                 (b"\tv\n", "line 1: the topic"),
                 (b"a/+\tv\n", "line 1: the topic"),
                 (b"a/#\tv\n", "line 1: the topic"),
                 (b"a\rb\tv\n", "line 1: the topic"),
                 (b"\xc3\x28\tv\n", "line 1: the topic"),
                 (b"ok\tv\n" + too_long, "line 2: longer than %d bytes" % LINE_MAX),
                 (b"t\tv\n" * (MESSAGES_MAX + 1), "more than %d messages" % MESSAGES_MAX),
                 (b"\n", "line 1: no tab")]
        for lines, reason in cases:
            with self.subTest(lines=lines[:40]):
                self.check(base, lines, reason=reason)

    def test_input_not_closed_within_the_bound(self):
        start = time.monotonic()
        process = subprocess.Popen(EMULATOR + [PROGRAM, "-h", HOST, "-p", self.port, "-i", "c", "-t", "1000"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            process.stdin.write(b"t\tv\n")
            process.stdin.flush()
            process.wait(timeout=10)
            out, err = process.stdout.read(), process.stderr.read()
        finally:
            process.stdin.close()
            process.stdout.close()
            process.stderr.close()
        self.assertEqual((64, b"0\n"), (process.returncode, out), err)
        self.assertIn(b"not closed within the time bound", err)
        self.assertLess(time.monotonic() - start, 1.0 + START_SLACK_S)

    def test_limits_hold_exactly(self):
        fake = FakeBroker()
        self.addCleanup(fake.close)
        longest = b"t\t" + b"v" * (LINE_MAX - 3) + b"\n"
        run = feed_mqtt(["-h", HOST, "-p", str(fake.port), "-i", "c"], longest * MESSAGES_MAX)
        self.assertEqual((0, "%d\n" % MESSAGES_MAX), (run.status, run.out), run)
        self.assertEqual(list(range(1, MESSAGES_MAX + 1)), [p[2] for p in fake.publishes()])


if __name__ == "__main__":
    unittest.main()
