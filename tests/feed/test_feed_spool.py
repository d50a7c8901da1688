"""feed_update's spool: outages of every kind, delivery order and times, the bound, the
backoff, the lock, crash safety, the words, the status, and the key kept off command lines.

Every case runs a real local feed server (127.0.0.1, a free port) and the real script,
under dash and under BusyBox sh with only BusyBox applets on PATH where the shell matters.
"""
import calendar
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from feedfixture import BUSYBOX, CAMERA_TOOLS, CURL, Camera, FeedServer, shells  # noqa: E402

KEY, FEED = "KEY123", "4711"


def iso_seconds(at):
    return calendar.timegm(time.strptime(at, "%Y-%m-%dT%H:%M:%SZ"))


def boot_id():
    with open("/proc/sys/kernel/random/boot_id") as f:
        return f.read().strip()


class SpoolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="feedtest-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def server(self, mode="ok"):
        server = FeedServer(mode)
        self.addCleanup(server.close)
        return server

    def camera(self, shell=None, **env):
        camera = Camera(shell, {k: str(v) for k, v in env.items()})
        self.addCleanup(camera.cleanup)
        return camera

    def send(self, camera, value, channel="T", feed=FEED, key=KEY, **kw):
        """Runs one call; returns (result, first second, last second) of the call."""
        before = int(time.time())
        result = camera.run(key, feed, channel, str(value), **kw)
        return result, before, int(time.time())

    def assertTakenWithin(self, at, before, after):
        self.assertTrue(before <= iso_seconds(at) <= after, "%s not within %d..%d" % (at, before, after))


class Outages(SpoolTest):
    FAILURES = [
        ("refuse", "Couldn't connect"),
        ("hang", "timed out"),
        (500, "answered HTTP 500"),
        (401, "answered HTTP 401"),
    ]

    def test_each_failure_keeps_the_points_until_the_service_is_back(self):
        for shell in shells(self.tmp):
            for mode, reason in self.FAILURES:
                with self.subTest(shell=shell[0], failure=mode):
                    server = self.server()
                    camera = self.camera(shell, FEED_API_URL=server.url, FEED_TIMEOUT_S=1, FEED_RETRY_MIN_S=0)
                    first = self.send(camera, 1)
                    self.assertEqual(0, first[0].returncode, first[0].stderr)
                    server.set_mode(mode)
                    kept = [self.send(camera, v) for v in (2, 3)]
                    self.assertEqual([3, 3], [r.returncode for r, _, _ in kept])
                    self.assertIn("endpoint down (", kept[0][0].stderr)
                    self.assertIn(reason, kept[0][0].stderr)
                    self.assertEqual("", kept[1][0].stderr, "a known outage is not reported again")
                    self.assertLess(max(r.seconds for r, _, _ in kept), 4, "bounded by FEED_TIMEOUT_S")
                    status = camera.status()
                    self.assertEqual("down", status["endpoint"][0])
                    self.assertIn(reason, " ".join(status["last_error"]))
                    self.assertEqual(["2"], status["points"])

                    server.set_mode("ok")
                    back = self.send(camera, 4)
                    self.assertEqual(0, back[0].returncode, back[0].stderr)
                    self.assertIn("endpoint back, 3 points delivered", back[0].stderr)
                    points = server.points()
                    self.assertEqual([(FEED, "T", "1", None)] + [(FEED, "T", str(v), None) for v in (2, 3, 4)],
                                     [p[:3] + (None,) for p in points])
                    self.assertIsNone(points[0][3], "a point sent at once is a plain update")
                    for (result, before, after), point in zip(kept + [back], points[1:]):
                        self.assertTakenWithin(point[3], before, after)
                    self.assertEqual(["up"], camera.status()["endpoint"])
                    self.assertEqual(0, camera.kept())

    def test_backoff_doubles_up_to_its_cap_and_known_down_calls_stay_off_the_network(self):
        server = self.server(500)
        camera = self.camera(FEED_API_URL=server.url, FEED_RETRY_MIN_S=1, FEED_RETRY_MAX_S=3)
        backoffs = []
        value = 0
        for round in range(3):
            status = camera.status()
            if status:
                retry_at = int(status["endpoint"][2])
                while time.time() < retry_at:
                    time.sleep(0.05)
            tries = len(server.requests)
            value += 1
            self.assertEqual(3, self.send(camera, value)[0].returncode)
            self.assertEqual(tries + 1, len(server.requests), "a due retry goes to the network")
            backoffs.append(int(camera.status()["endpoint"][3]))
            if round > 0:
                value += 1
                result = self.send(camera, value)[0]
                self.assertEqual(3, result.returncode)
                self.assertEqual(tries + 1, len(server.requests), "a call while known down only spools")
        self.assertEqual([1, 2, 3], backoffs)
        self.assertRegex(camera.run("--status").stdout, r"endpoint +down since \S+, next try in [0-3] s")

    def test_a_new_key_is_tried_at_once_after_the_service_refused_the_old_one(self):
        server = self.server(401)
        camera = self.camera(FEED_API_URL=server.url, FEED_RETRY_MIN_S=600)
        self.assertEqual(3, self.send(camera, 1, key="old")[0].returncode)
        server.set_mode("ok")
        self.assertEqual(3, self.send(camera, 2, key="old")[0].returncode)
        self.assertEqual(1, len(server.requests), "the same refused key waits for its retry")
        result = self.send(camera, 3, key="new")[0]
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("new", server.requests[-1].headers["X-ApiKey"])
        self.assertEqual(["1", "2", "3"], [p[2] for p in server.points()])


class Spool(SpoolTest):
    def test_the_bound_drops_the_oldest_and_counts_them(self):
        for shell in shells(self.tmp):
            with self.subTest(shell=shell[0]):
                server = self.server("refuse")
                camera = self.camera(shell, FEED_API_URL=server.url, FEED_RETRY_MIN_S=0, FEED_SPOOL_MAX=5)
                results = [self.send(camera, v)[0] for v in range(1, 13)]
                self.assertEqual([3] * 5 + [4] * 7, [r.returncode for r in results])
                full = [r.stderr.count("spool full (5 points): dropping the oldest points") for r in results]
                self.assertEqual([0] * 5 + [1] + [0] * 6, full)
                status = camera.status()
                self.assertEqual((["5"], "7"), (status["points"], status["dropped"][0]))
                self.assertIn("dropped       7 (the spool holds 5 points)", camera.run("--status").stdout)

                server.set_mode("ok")
                back = self.send(camera, 13)[0]
                self.assertEqual(4, back.returncode, "this call dropped one more")
                self.assertIn("endpoint back, 5 points delivered", back.stderr)
                self.assertIn("8 points dropped because the spool was full", back.stderr)
                self.assertEqual([str(v) for v in range(9, 14)], [p[2] for p in server.points()])
                self.assertEqual("8", camera.status()["dropped"][0])
                self.assertEqual(["status"], [f for f in camera.spool_files() if not f.startswith(".")])

    def test_batches_go_oldest_first_and_hold_at_most_the_batch_size(self):
        server = self.server("refuse")
        camera = self.camera(FEED_API_URL=server.url, FEED_RETRY_MIN_S=0, FEED_BATCH_MAX=3, FEED_DRAIN_MS=0)
        for v in range(1, 9):
            self.send(camera, v)
        server.set_mode("ok")
        codes = []
        for v in range(9, 13):
            result = self.send(camera, v)[0]
            codes.append(result.returncode)
            if v == 9:
                self.assertIn("endpoint back, 3 points delivered, 6 still kept", result.stderr)
        self.assertEqual([3, 3, 3, 0], codes, "one request a call with no drain time; the last one catches up")
        batches = [[p["value"] for s in r.document()["datastreams"] for p in s["datapoints"]]
                   for r in server.requests if r.confirmed]
        self.assertEqual([["1", "2", "3"], ["4", "5", "6"], ["7", "8", "9"], ["10", "11", "12"]], batches)

    def test_the_documents_of_kept_points(self):
        server = self.server("refuse")
        camera = self.camera(FEED_API_URL=server.url, FEED_RETRY_MIN_S=0, FEED_DRAIN_MS=5000)
        calls = [self.send(camera, v, channel=c, feed=f)
                 for c, v, f in (("T", "20.5", "1"), ("H", "50", "1"), ("T", "21.0", "1"), ("T", "7", "2"))]
        server.set_mode("ok")
        calls.append(self.send(camera, "22.5", channel="T", feed="1"))
        self.assertEqual(0, calls[-1][0].returncode, calls[-1][0].stderr)
        confirmed = [r for r in server.requests if r.confirmed]
        self.assertEqual(["/v2/feeds/1.json", "/v2/feeds/2.json", "/v2/feeds/1.json"],
                         [r.path for r in confirmed], "one request for each run of one feed, in order")
        first = confirmed[0].document()
        self.assertEqual("1.0.0", first["version"])
        self.assertEqual([("T", "21.0", ["20.5", "21.0"]), ("H", "50", ["50"])],
                         [(s["id"], s["current_value"], [p["value"] for p in s["datapoints"]])
                          for s in first["datastreams"]], "each channel's newest is its current value")
        ats = [p["at"] for s in first["datastreams"] for p in s["datapoints"]]
        for at, (_, before, after) in zip(ats, [calls[0], calls[2], calls[1]]):
            self.assertTakenWithin(at, before, after)
        self.assertEqual([("T", "22.5", ["22.5"])],
                         [(s["id"], s["current_value"], [p["value"] for p in s["datapoints"]])
                          for s in confirmed[2].document()["datastreams"]])
        self.assertRegex(confirmed[2].body.decode(),
                         r'^\{"version":"1\.0\.0","datastreams":\[\{"id":"T","current_value":"22\.5",'
                         r'"datapoints":\[\{"at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","value":"22\.5"\}\]\}\]\}$')

    def test_texts_become_valid_utf8_json(self):
        cases = [
            (b"caf\xc3\xa9", b"23.5\xc2\xb0C", "caf\u00e9", "23.5\u00b0C"),
            (b"caf\xe9", b"ok", "caf\ufffd", "ok"),
            (b"smile", b"\xf0\x9f\x98\x80", "smile", "\U0001f600"),
            (b"surrogate", b"\xed\xa0\x80", "surrogate", "\ufffd\ufffd\ufffd"),
            (b"overlong", b"\xc0\xaf", "overlong", "\ufffd\ufffd"),
            (b"cut", b"x\xe2\x82", "cut", "x\ufffd\ufffd"),
            (b"ctl\x01", b'q"b\\s\tt\nn\x7f', "ctl\x01", 'q"b\\s\tt\nn\x7f'),
        ]
        for shell in shells(self.tmp):
            with self.subTest(shell=shell[0]):
                server = self.server()
                camera = self.camera(shell, FEED_API_URL=server.url, FEED_RETRY_MIN_S=0)
                for mode in ("ok", "refuse"):
                    server.set_mode(mode)
                    for channel, value, _, _ in cases:
                        camera.run(KEY.encode(), FEED.encode(), channel, value)
                server.set_mode("ok")
                camera.run(KEY, FEED, "last", "1")
                for request in server.requests:
                    request.body.decode("utf-8")
                want = [(c, v) for _, _, c, v in cases]
                points = [p[1:3] for p in server.points()]
                self.assertEqual(want, points[:len(cases)], "sent at once")
                self.assertEqual(want + [("last", "1")], points[len(cases):], "kept and sent later")

    def test_refused_words_are_neither_kept_nor_sent(self):
        cases = [
            ("too few words", [KEY, FEED, "T"], "usage"),
            ("path in the feed", [KEY, "../x", "T", "1"], "invalid feed identifier"),
            ("placeholder feed", [KEY, "0", "T", "1"], "unset placeholder"),
            ("empty key", ["", FEED, "T", "1"], "invalid API key"),
            ("key with a line end", ["K\r\nX-Other: 1", FEED, "T", "1"], "invalid API key"),
            ("empty channel", [KEY, FEED, "", "1"], "empty channel name"),
            ("long value", [KEY, FEED, "T", "9" * 256], "value longer than 255 bytes"),
        ]
        server = self.server()
        camera = self.camera(FEED_API_URL=server.url)
        for name, args, message in cases:
            with self.subTest(name):
                result = camera.run(*args)
                self.assertEqual(2, result.returncode)
                self.assertIn(message, result.stderr)
        self.assertEqual([], server.requests)
        self.assertEqual([], camera.spool_files())

    def test_a_spool_that_cannot_be_written_loses_the_point_loudly(self):
        blocker = os.path.join(self.tmp, "file")
        open(blocker, "w").close()
        camera = self.camera(FEED_API_URL="http://127.0.0.1:9/v2", FEED_SPOOL_DIR=os.path.join(blocker, "spool"))
        result = self.send(camera, 1)[0]
        self.assertEqual(5, result.returncode)
        self.assertIn("the point is lost", result.stderr)


class Words(SpoolTest):
    def test_blanks_in_names_and_url_files_with_crlf(self):
        words = [
            (["Front", "door", "Closed"], "Front door", "Closed"),
            (["Motion", "Zone", "2", "1"], "Motion Zone 2", "1"),
            (["Temp", "    23.5"], "Temp", "23.5"),
            (["Front door", "Open"], "Front door", "Open"),
        ]
        urls = ["{}\r\n", "  {}  \r\n", "\t{}/\r\nsecond line\r\n", "{}"]
        for shell in shells(self.tmp):
            server = self.server()
            camera = self.camera(shell)
            for (rest, channel, value), url in zip(words, urls):
                with self.subTest(shell=shell[0], words=rest, url=url):
                    with open(os.path.join(camera.home, "feed_url"), "w", newline="") as f:
                        f.write(url.format(server.url))
                    result = camera.run(KEY, FEED, *rest)
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertEqual("/v2/feeds/%s.json" % FEED, server.requests[-1].path)
                    self.assertEqual((channel, value), server.points()[-1][1:3])


class Status(SpoolTest):
    def test_status_output(self):
        for shell in shells(self.tmp):
            with self.subTest(shell=shell[0]):
                server = self.server()
                camera = self.camera(shell, FEED_API_URL=server.url, FEED_RETRY_MIN_S=600)
                fresh = camera.run("--status")
                self.assertEqual(0, fresh.returncode)
                self.assertEqual(["spool         %s" % camera.spool,
                                  "points kept   0",
                                  "oldest point  none",
                                  "dropped       0 (the spool holds 4608 points)",
                                  "last success  never",
                                  "last error    none",
                                  "endpoint      up"], fresh.stdout.splitlines())
                self.send(camera, 1)
                server.set_mode("refuse")
                _, before, _ = self.send(camera, 2)
                self.send(camera, 3)
                lines = camera.run("--status").stdout.splitlines()
                at = r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"
                patterns = [r"spool         \S+/spool$",
                            r"points kept   2$",
                            r"oldest point  %s \((\d+) s ago\)$" % at,
                            r"dropped       0 \(the spool holds 4608 points\)$",
                            r"last success  %s$" % at,
                            r"last error    %s curl: \(7\) .*$" % at,
                            r"endpoint      down since %s, next try in (\d+) s$" % at]
                self.assertEqual(len(patterns), len(lines), lines)
                for pattern, line in zip(patterns, lines):
                    self.assertRegex(line, pattern)
                self.assertTakenWithin(re.match(patterns[2], lines[2]).group(1), before, int(time.time()))
                self.assertLessEqual(int(re.match(patterns[6], lines[6]).group(2)), 600)


class NoTransport(SpoolTest):
    def test_without_a_transport_points_are_kept_and_the_failure_reported_once(self):
        """No curl on PATH, an MQTT URL without feed_mqtt beside the script, or a URL scheme no
        transport serves: kept, said once, sent once fixed."""
        for shell in shells(self.tmp):
            bindir = os.path.join(self.tmp, "nocurl-" + shell[0])
            os.mkdir(bindir)
            for tool in CAMERA_TOOLS:
                os.symlink(BUSYBOX if shell[0] == "busybox" else shutil.which(tool), os.path.join(bindir, tool))
            causes = (("no curl", "curl is not installed", {"path": bindir}),
                      ("no feed_mqtt", "feed_mqtt is not installed beside feed_update",
                       {"env": {"FEED_API_URL": "mqtt://127.0.0.1:1883/feeds"}}),
                      ("other scheme", "unsupported feed URL", {"env": {"FEED_API_URL": "ftp://127.0.0.1/feeds"}}))
            for cause, reason, broken in causes:
                with self.subTest(shell=shell[0], cause=cause):
                    server = self.server()
                    camera = self.camera(shell, FEED_API_URL=server.url)
                    results = [self.send(camera, v, **broken)[0] for v in (1, 2, 3)]
                    self.assertEqual([3, 3, 3], [r.returncode for r in results])
                    self.assertEqual(1, sum(r.stderr.count(reason) for r in results))
                    self.assertIn(reason, " ".join(camera.status()["last_error"]))
                    back = self.send(camera, 4)[0]
                    self.assertEqual(0, back.returncode, back.stderr)
                    self.assertIn("endpoint back, 4 points delivered", back.stderr)
                    self.assertEqual(["1", "2", "3", "4"], [p[2] for p in server.points()])


class ApiKey(SpoolTest):
    def test_the_key_never_stands_on_a_command_line(self):
        """Every program the script starts is a wrapper that logs its argv, then runs the real one."""
        keys = ["plainKEY123", 'with"quote', "back\\slash", "with blank", "end\\"]
        for shell in shells(self.tmp):
            bindir = os.path.join(self.tmp, "argv-" + shell[0])
            os.mkdir(bindir)
            argv_log = os.path.join(self.tmp, "argv-%s.log" % shell[0])
            for tool in CAMERA_TOOLS + ("curl",):
                real = CURL if tool == "curl" else (BUSYBOX + " " + tool if shell[0] == "busybox"
                                                    else shutil.which(tool))
                with open(os.path.join(bindir, tool), "w") as f:
                    f.write("#!/bin/sh\nprintf '%%s\\n' \"$0 $*\" >> '%s'\nexec %s \"$@\"\n" % (argv_log, real))
                os.chmod(os.path.join(bindir, tool), 0o755)
            for key in keys:
                with self.subTest(shell=shell[0], key=key):
                    server = self.server(401)
                    camera = self.camera(shell, FEED_API_URL=server.url, FEED_RETRY_MIN_S=600)
                    self.send(camera, 1, key=key, path=bindir)
                    self.send(camera, 2, key=key, path=bindir)
                    server.set_mode("ok")
                    result = self.send(camera, 3, key=key + "2", path=bindir)[0]
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertEqual([key, key + "2"], [r.headers["X-ApiKey"] for r in server.requests])
                    with open(argv_log) as f:
                        logged = f.read()
                    self.assertIn("curl", logged)
                    self.assertIn("md5sum", logged)
                    self.assertNotIn(key, logged)


class Lock(SpoolTest):
    def wait_for_lock(self, camera, seconds=5):
        deadline = time.monotonic() + seconds
        while not os.path.exists(os.path.join(camera.spool, "lock")):
            self.assertLess(time.monotonic(), deadline, "the first run never took the lock")
            time.sleep(0.01)

    def test_a_run_beside_the_holder_leaves_its_point_and_returns_at_once(self):
        for shell in shells(self.tmp):
            with self.subTest(shell=shell[0]):
                server = self.server("hang")
                camera = self.camera(shell, FEED_API_URL=server.url, FEED_TIMEOUT_S=3, FEED_RETRY_MIN_S=0)
                holder = camera.start(KEY, FEED, "T", "1")
                self.wait_for_lock(camera)
                beside = self.send(camera, 2)[0]
                self.assertEqual(3, beside.returncode)
                self.assertLess(beside.seconds, 2, "it does not wait for the holder's try")
                self.assertEqual(1, len([f for f in camera.spool_files() if f.startswith("in.")]))
                self.assertEqual(3, holder.wait(10))
                holder.stdout.close()
                holder.stderr.close()
                server.set_mode("ok")
                self.assertEqual(0, self.send(camera, 3)[0].returncode)
                self.assertEqual(["1", "2", "3"], [p[2] for p in server.points()])
                self.assertEqual(["status"], [f for f in camera.spool_files() if not f.startswith(".")])

    def test_stale_locks_are_broken_and_live_ones_respected(self):
        dead = subprocess.Popen(["true"])
        dead.wait()
        now = int(time.time())
        live = os.getpid()
        # (name, lock file text, its age in seconds, stale)
        cases = [
            ("dead owner", "owner pid=%d boot=%s at=%d\n" % (dead.pid, boot_id(), now), 0, True),
            ("other boot", "owner pid=%d boot=other at=%d\n" % (live, now), 0, True),
            ("too old", "owner pid=%d boot=%s at=%d\n" % (live, boot_id(), now - 120), 0, True),
            ("empty, left by a power cut", "", 120, True),
            ("garbage, old", "junk\n", 120, True),
            ("live owner", "owner pid=%d boot=%s at=%d\n" % (live, boot_id(), now), 0, False),
            ("empty, its owner line not yet written", "", 0, False),
            ("garbage, new", "junk\n", 0, False),
        ]
        server = self.server()
        for name, owner, age, stale in cases:
            with self.subTest(name):
                camera = self.camera(FEED_API_URL=server.url)
                os.mkdir(camera.spool)
                lock = os.path.join(camera.spool, "lock")
                with open(lock, "w") as f:
                    f.write(owner)
                os.utime(lock, (now - age, now - age))
                result = self.send(camera, 1)[0]
                if stale:
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertIn("removed the stale lock", result.stderr)
                    self.assertFalse(os.path.lexists(lock))
                else:
                    self.assertEqual(3, result.returncode)
                    with open(lock) as f:
                        self.assertEqual(owner, f.read())
                    self.assertEqual(1, len([f for f in camera.spool_files() if f.startswith("in.")]))

    def test_runs_at_once_lose_nothing_and_repeat_nothing(self):
        for shell in shells(self.tmp):
            with self.subTest(shell=shell[0]):
                server = self.server()
                camera = self.camera(shell, FEED_API_URL=server.url)
                runs = [camera.start(KEY, FEED, "T", str(v)) for v in range(1, 11)]
                for run in runs:
                    self.assertIn(run.wait(20), (0, 3))
                    run.stdout.close()
                    run.stderr.close()
                self.assertEqual(0, self.send(camera, 11)[0].returncode)
                self.assertEqual(sorted(range(1, 12)), sorted(int(p[2]) for p in server.points()))
                self.assertEqual(0, camera.kept())


class CrashSafety(SpoolTest):
    """kill -9 at every step of a run, then runs that must find the spool whole."""

    def wrappers(self, shell):
        """Each tool counts its calls; at call $KILL_AT it writes half its output (a torn
        write for the tools that write the spool), then kills the whole run."""
        bindir = os.path.join(self.tmp, "kill-" + shell[0])
        if os.path.isdir(bindir):
            return bindir
        os.mkdir(bindir)
        head = shutil.which("head")
        wc = shutil.which("wc")
        for tool in CAMERA_TOOLS:
            real = BUSYBOX + " " + tool if shell[0] == "busybox" else shutil.which(tool)
            script = """#!/bin/sh
n=0
[ -f "$KILL_COUNT" ] && read -r n < "$KILL_COUNT"
n=$((n + 1))
echo "$n" > "$KILL_COUNT"
[ "$n" = "$KILL_AT" ] || exec %(real)s "$@"
%(real)s "$@" > "$KILL_COUNT.out"
%(head)s -c $(($(%(wc)s -c < "$KILL_COUNT.out") / 2)) "$KILL_COUNT.out"
kill -KILL 0
""" % {"real": real, "head": head, "wc": wc}
            with open(os.path.join(bindir, tool), "w") as f:
                f.write(script)
            os.chmod(os.path.join(bindir, tool), 0o755)
        os.symlink(CURL, os.path.join(bindir, "curl"))
        return bindir

    def killed_run(self, camera, bindir, kill_at, value, env):
        count = os.path.join(self.tmp, "count")
        if os.path.exists(count):
            os.remove(count)
        environment = dict(env, KILL_AT=str(kill_at), KILL_COUNT=count)
        run = camera.start(KEY, FEED, "T", str(value), env=environment, path=bindir)
        run.wait(20)
        run.stdout.close()
        run.stderr.close()
        with open(count) as f:
            return run.returncode, int(f.read())

    def hold_lock_then_run(self, camera, value):
        lock = os.path.join(camera.spool, "lock")
        with open(lock, "w") as f:
            f.write("owner pid=%d boot=%s at=%d\n" % (os.getpid(), boot_id(), time.time()))
        self.assertEqual(3, self.send(camera, value)[0].returncode)
        os.remove(lock)

    def check_scenario(self, shell, prepare, killed_value, env, required, optional, repeatable):
        """prepare(camera) builds the spool once; for every step k of the killed run, a copy
        of it is killed at step k, then recovery runs deliver; every required value must
        arrive, in order, and nothing else than the optional ones."""
        server = self.server()
        camera = self.camera(shell, FEED_API_URL=server.url)
        prepare(camera, server)
        pristine = os.path.join(self.tmp, "pristine")
        shutil.rmtree(pristine, ignore_errors=True)
        shutil.copytree(camera.spool, pristine, symlinks=True)
        bindir = self.wrappers(shell)
        _, steps = self.killed_run(camera, bindir, 0, killed_value, env)
        self.assertGreater(steps, 3)
        for kill_at in range(1, steps + 1):
            with self.subTest(shell=shell[0], kill_at=kill_at):
                shutil.rmtree(camera.spool)
                shutil.copytree(pristine, camera.spool, symlinks=True)
                server.set_mode(env.get("mode", "ok"))
                server.requests.clear()
                code, _ = self.killed_run(camera, bindir, kill_at, killed_value, env)
                self.assertEqual(-9, code)
                server.set_mode("ok")
                recover = {"FEED_RETRY_MAX_S": "0", "FEED_SPOOL_MAX": "100", "FEED_DRAIN_MS": "5000"}
                result = self.send(camera, 99, env=recover)[0]
                self.assertEqual(0, result.returncode, result.stderr)
                values = [int(p[2]) for p in server.points()]
                firsts = [v for i, v in enumerate(values) if v not in values[:i]]
                self.assertEqual(sorted(firsts), firsts, "oldest first")
                distinct = sorted(set(values))
                self.assertTrue(set(required) | {99} <= set(distinct), (required, distinct))
                self.assertTrue(set(distinct) <= set(required) | set(optional) | {99}, distinct)
                repeats = len(values) - len(distinct)
                self.assertLessEqual(repeats, repeatable, values)
                self.assertEqual(0, camera.kept())
                self.assertEqual(["status"], [f for f in camera.spool_files() if not f.startswith(".")])

    def test_killed_while_spooling_merging_dropping_and_compacting(self):
        def prepare(camera, server):
            server.set_mode("refuse")
            for v in range(1, 7):
                self.send(camera, v)
            self.hold_lock_then_run(camera, 7)

        env = {"mode": "refuse", "FEED_SPOOL_MAX": "4", "FEED_RETRY_MIN_S": "600"}
        for shell in shells(self.tmp):
            # The bound of 4 dropped 1 and 2 before the killed run, which may drop 3 and 4.
            self.check_scenario(shell, lambda c, s: self.prepare_with(c, s, prepare, env), 8, env,
                                required=[5, 6, 7], optional=[3, 4, 8], repeatable=1)

    def test_killed_while_delivering(self):
        def prepare(camera, server):
            server.set_mode("refuse")
            for v in range(1, 6):
                self.send(camera, v, env={"FEED_RETRY_MIN_S": "0"})

        env = {"FEED_BATCH_MAX": "2", "FEED_RETRY_MIN_S": "0", "FEED_DRAIN_MS": "5000"}
        for shell in shells(self.tmp):
            # At most the batch in flight comes twice.
            self.check_scenario(shell, prepare, 6, env, required=[1, 2, 3, 4, 5], optional=[6], repeatable=2)

    def prepare_with(self, camera, server, prepare, env):
        camera.env.update({k: v for k, v in env.items() if k.startswith("FEED_")})
        prepare(camera, server)
        for k in env:
            camera.env.pop(k, None)

    def test_a_torn_record_is_skipped_and_the_next_ones_kept(self):
        tails = [b"\n1796874909\t2026-12-10T03:55:09Z\t4711\tT", b"\n1796874909\t2026-12-10T03:55:09Z\t4711\tT\t9\t",
                 b"\x00\x00\x00\x00", b"\n"]
        for tail in tails:
            with self.subTest(tail=tail):
                server = self.server("refuse")
                camera = self.camera(FEED_API_URL=server.url, FEED_RETRY_MIN_S=0)
                for v in (1, 2):
                    self.send(camera, v)
                log = [f for f in camera.spool_files() if f.startswith("points.")][0]
                with open(os.path.join(camera.spool, log), "ab") as f:
                    f.write(tail)
                self.send(camera, 3)
                server.set_mode("ok")
                self.assertEqual(0, self.send(camera, 4)[0].returncode)
                self.assertEqual(["1", "2", "3", "4"], [p[2] for p in server.points()])
                self.assertEqual(0, camera.kept())


if __name__ == "__main__":
    unittest.main()
