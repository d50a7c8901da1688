"""The camera package: installed, upgraded and run from its home; the camera tarball's entries.

CameraHome needs a native build (OMBRELLE_BUILD). CameraTarball needs an ARM build: it checks the
tarball named by OMBRELLE_TARBALL, or one that it makes with cpack from OMBRELLE_BUILD. RootBoundary
needs a native build and root: it creates two unprivileged accounts (Ombrelle's user and a saver of
settings) and removes them after.
Run one of them by naming it: test_install.py CameraHome
"""
import filecmp
import glob
import grp
import http.server
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import tarfile
import tempfile
import threading
import time
import unittest

BUILD = os.environ.get("OMBRELLE_BUILD", "")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULTS = {name: os.path.join(SOURCE, "app", "html", name)
            for name in ("configparams.xml", "xivelyconfig.xml")}

# What the home may hold after an install: programs, the provenance file, html/ and the page in www/.
PROGRAMS = {"Ombrelle", "coreprobe", "feed_update", "setup"}
PAGE = {"www/index.html", "www/settings.css", "www/settings.js", "www/platform.js"}
REQUIRED = PROGRAMS | PAGE | {"build-info", "html/configparams.xml.default", "html/xivelyconfig.xml.default"}
# Made by setup, never shipped; the API key and the MQTT password are no one else's to read.
MADE = {"html/configparams.xml": 0o644, "html/xivelyconfig.xml": 0o640, "feed_url": 0o640}

# Test-only variables the runs below must not inherit from whoever started the tests.
TEST_ONLY = ("OMBRELLE_ROOT", "TSDK_SIM_DIR", "TSDK_SIM_FAIL", "FEED_API_URL", "FEED_SPOOL_DIR",
             "H", "L")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in TEST_ONLY and not k.startswith("LM73_EMU_")}
    env.update(extra)
    return env


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=120, **kwargs)


def install(prefix, component=None):
    cmd = ["cmake", "--install", BUILD, "--prefix", prefix]
    if component:
        cmd += ["--component", component]
    return run(cmd)


def make_tarball(dest):
    """The camera tarball of the build, made with cpack into dest."""
    run(["cpack", "-G", "TGZ", "-B", dest, "--config", os.path.join(BUILD, "CPackConfig.cmake")])
    found = glob.glob(os.path.join(dest, "Ombrelle-*.tar.gz"))
    if len(found) != 1:
        raise AssertionError("cpack made %r" % found)
    return found[0]


def extract(tarball, home):
    """As the integrator does: flat into the home, then the setup step."""
    os.makedirs(home, exist_ok=True)
    run(["tar", "-xzf", tarball, "-C", home])
    return run(["sh", os.path.join(home, "setup")])


def files_under(home):
    return sorted(os.path.relpath(os.path.join(d, f), home) for d, _, files in os.walk(home) for f in files)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


class Recorder(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.server.requests.append((self.path, self.headers.get("X-ApiKey"), body))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


@unittest.skipUnless(BUILD, "needs a native build")
class CameraHome(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.home = os.path.join(self.tmp.name, "home")
        self.root = os.path.join(self.tmp.name, "root")
        os.makedirs(os.path.join(self.root, "var", "log"))

    def tearDown(self):
        self.tmp.cleanup()

    def test_plain_install_is_the_camera_home_and_nothing_else(self):
        install(self.home)
        found = set(files_under(self.home))
        self.assertEqual(set(), found - REQUIRED - set(MADE), "not camera files")
        self.assertEqual(set(), REQUIRED - found)
        for name, source in DEFAULTS.items():
            self.assertTrue(filecmp.cmp(source, os.path.join(self.home, "html", name), shallow=False), name)
        self.assertEqual("", read(os.path.join(self.home, "feed_url")))
        for f in found:
            mode = stat.S_IMODE(os.lstat(os.path.join(self.home, f)).st_mode)
            self.assertEqual(0o755 if f in PROGRAMS else MADE.get(f, 0o644), mode, f)
        self.assertIn("stand-in", read(os.path.join(self.home, "build-info")))

    def test_simulator_only_when_asked_for(self):
        install(self.home, "simulator")
        libs = files_under(self.home)
        self.assertTrue(libs and all(f.startswith("simulator/lib/libsdk.so") for f in libs), libs)

    def test_upgrade_keeps_settings_and_replaces_programs(self):
        install(self.home, "camera")
        settings = {
            "html/configparams.xml": read(DEFAULTS["configparams.xml"]).replace(
                "<XivelyEnabled>0<", "<XivelyEnabled>1<"),
            "html/xivelyconfig.xml": read(DEFAULTS["xivelyconfig.xml"]).replace(
                "YOUR_API_KEY", "the-users-key"),
            "feed_url": "http://127.0.0.1:9/v2\n",
            "spool/0001": "pending upload\n",
        }
        tarball = make_tarball(os.path.join(self.tmp.name, "package"))
        for upgrade in ("cmake --install", "the tarball"):
            with self.subTest(upgrade=upgrade):
                for f, text in settings.items():
                    write(os.path.join(self.home, f), text)
                for f in ("feed_update", "Ombrelle", "html/configparams.xml.default"):
                    write(os.path.join(self.home, f), "old\n")
                if upgrade == "cmake --install":
                    install(self.home, "camera")
                else:
                    extract(tarball, self.home)
                for f, text in settings.items():
                    self.assertEqual(text, read(os.path.join(self.home, f)), f)
                for program in ("feed_update", "Ombrelle"):
                    self.assertEqual(b"\x7fELF", read(os.path.join(self.home, program), "rb")[:4], program)
                self.assertEqual(read(DEFAULTS["configparams.xml"]),
                                 read(os.path.join(self.home, "html", "configparams.xml.default")))

    def test_tarball_on_a_fresh_home_gets_the_defaults_once(self):
        tarball = make_tarball(os.path.join(self.tmp.name, "package"))
        self.assertTrue(os.path.basename(tarball).endswith("-standin-sdk.tar.gz"), tarball)
        with tarfile.open(tarball) as t:
            self.assertFalse({"html/configparams.xml", "html/xivelyconfig.xml"} & set(t.getnames()))
        first = extract(tarball, self.home)
        for name, source in DEFAULTS.items():
            self.assertEqual(read(source), read(os.path.join(self.home, "html", name)))
            self.assertIn(name, first.stdout)
        again = run(["sh", os.path.join(self.home, "setup")])
        self.assertNotIn("from its default", again.stdout + again.stderr)

    def test_installed_feed_update_reaches_the_feed(self):
        install(self.home, "camera")
        server = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
        server.requests = []
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            write(os.path.join(self.home, "feed_url"), "http://127.0.0.1:%d/v2\n" % server.server_address[1])
            result = subprocess.run([os.path.join(self.home, "feed_update"), "the-key", "4711", "Temp", "   23.50"],
                                    env=clean_env(), capture_output=True, text=True, timeout=60)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertTrue(wait_for(lambda: server.requests), "no upload arrived")
            path, key, body = server.requests[0]
            self.assertEqual("/v2/feeds/4711.json", path)
            self.assertEqual("the-key", key)
            self.assertIn(b'"id":"Temp","current_value":"23.50"', body)
        finally:
            server.shutdown()
            server.server_close()

    def test_installed_feed_update_reports_its_status(self):
        install(self.home, "camera")
        program = os.path.join(self.home, "feed_update")
        result = subprocess.run([program, "--status"], env=clean_env(), capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertNotEqual("", result.stdout)

    def run_coreprobe(self, **env):
        return subprocess.run([os.path.join(self.home, "coreprobe")],
                              env=clean_env(OMBRELLE_ROOT=self.root, **env),
                              capture_output=True, text=True, timeout=60)

    def test_installed_coreprobe_runs_from_the_home(self):
        reading = os.path.join(self.root, "var", "log", "InternalTemp.log")
        install(self.home, "camera")
        # The camera's own build has no bus here: it reports the node it could not open and leaves no file.
        result = self.run_coreprobe()
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertTrue(result.stdout.startswith("open %s/dev/i2c-0 error!\n" % self.root), result.stdout)
        self.assertFalse(os.path.exists(reading))
        # Its build bound to the LM73 emulator, installed the same way in its place, reads the sensor.
        # (Removed first: install skips a file whose time is within a second of the one it has.)
        os.remove(os.path.join(self.home, "coreprobe"))
        install(self.home, "probe-emulated")
        result = self.run_coreprobe(LM73_EMU_TEMP="0BE0")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("23.75 Degrees\nAlert pin is", result.stdout)
        self.assertEqual("   23.75", read(reading))

    def test_installed_ombrelle_starts_on_the_defaults_with_every_report_off(self):
        install(self.home, "camera")
        sim = os.path.join(self.tmp.name, "simulator")
        install(sim, "simulator")
        log = os.path.join(self.root, "var", "log", "Ombrelle.log")
        env = clean_env(OMBRELLE_ROOT=self.root, TS_APP_HOME=self.home,
                        LD_LIBRARY_PATH=os.path.join(sim, "simulator", "lib"))
        camera = subprocess.Popen([os.path.join(self.home, "Ombrelle")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            logged = lambda text: os.path.exists(log) and text in read(log)
            self.assertTrue(wait_for(lambda: logged("[Ombrelle]Output AppEnabled     = 0 \n")))
            text = read(log)
            for line in ("Input1Enabled           = 0 ", "MotionDetectionEnabled  = 0 ",
                         "DayNightEnabled         = 0 ", "Output XivelyEnabled  = 0 "):
                self.assertIn(line, text)
            self.assertNotIn("Error Parsing", text)

            # With the feed switched on, the feed file is read as well.
            config = os.path.join(self.home, "html", "configparams.xml")
            write(config, read(config).replace("<XivelyEnabled>0<", "<XivelyEnabled>1<"))
            camera.send_signal(signal.SIGUSR1)
            self.assertTrue(wait_for(lambda: logged("[Ombrelle]Channel1 Name   = InternalTemp \n")))
            text = read(log)
            self.assertIn("[Ombrelle]Channel1 Enabled= 0\n", text)
            self.assertNotIn("Error Parsing", text)
            self.assertNotIn("Timer deleted & updated", text)
        finally:
            camera.send_signal(signal.SIGTERM)
            self.assertEqual(0, camera.wait(timeout=20))


BUSYBOX = shutil.which("busybox")
# Every tool setup starts; the BusyBox run has these applets and nothing else on PATH.
SETUP_TOOLS = ("cat", "chmod", "chown", "cut", "dirname", "id", "ls", "mkdir", "mktemp", "mv", "rm", "sed")
SECRET = "root:only-root-reads-this:19000::::::\n"
SETUP_BOUND_S = 10


def setup_tools(tmp):
    """(name, shell, PATH) for each set of tools setup must work with."""
    found = [("gnu", ["sh"], os.environ["PATH"])]
    if BUSYBOX:
        bindir = os.path.join(tmp, "busybox-bin")
        os.mkdir(bindir)
        for tool in SETUP_TOOLS:
            os.symlink(BUSYBOX, os.path.join(bindir, tool))
        found.append(("busybox", [BUSYBOX, "sh"], bindir))
    return found


def add_user(name):
    subprocess.run(["useradd", "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                   check=True, capture_output=True, timeout=30)
    return pwd.getpwnam(name)


def as_user(account, cmd):
    """cmd run by an unprivileged account, with no group of root's."""
    return subprocess.run(cmd, user=account.pw_uid, group=account.pw_gid, extra_groups=[], capture_output=True,
                          text=True, timeout=30, cwd="/")


def snapshot_of(path):
    """Names, kinds, owners, modes and contents under path (path included), without following links."""
    seen = {}
    for d, dirs, files in os.walk(path):
        for name in [""] + dirs + files:
            full = os.path.join(d, name) if name else d
            st = os.lstat(full)
            body = read(full, "rb") if stat.S_ISREG(st.st_mode) else (
                os.readlink(full).encode() if stat.S_ISLNK(st.st_mode) else b"")
            seen[os.path.relpath(full, path)] = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_gid,
                                                 stat.S_IMODE(st.st_mode), body)
    return seen


# What the application user plants in the html/ it owned before this package, and the attack each is.
ATTACKS = [
    ("a link to a root-only file as a default", [("ln", "-s", "{secret}", "{html}/leak.default")]),
    ("a link to a root-only file as the settings", [("rm", "-f", "{html}/xivelyconfig.xml"),
                                                   ("ln", "-s", "{secret}", "{html}/xivelyconfig.xml")]),
    ("a dangling link as the settings", [("rm", "-f", "{html}/configparams.xml"),
                                        ("ln", "-s", "{outside}/planted", "{html}/configparams.xml")]),
    ("a dangling link as a temporary", [("ln", "-s", "{outside}/planted", "{html}/configparams.xml.new"),
                                       ("rm", "-f", "{html}/configparams.xml")]),
    ("a link to a directory", [("ln", "-s", "{outside}", "{html}/configparams.xml.new"),
                               ("rm", "-f", "{html}/configparams.xml")]),
    ("a FIFO as a temporary", [("mkfifo", "{html}/configparams.xml.new"), ("rm", "-f", "{html}/configparams.xml")]),
    ("a FIFO as the settings", [("rm", "-f", "{html}/configparams.xml"), ("mkfifo", "{html}/configparams.xml")]),
    ("a .new link beside a default", [("cp", "{html}/configparams.xml.default", "{html}/pwn.default"),
                                      ("ln", "-s", "{secret}", "{html}/pwn.new")]),
]


@unittest.skipUnless(BUILD and os.geteuid() == 0 and shutil.which("useradd"),
                     "needs a native build, root and useradd (as CI runs)")
class RootBoundary(unittest.TestCase):
    """The installed home against its unprivileged application user: real accounts, setup as root."""

    @classmethod
    def setUpClass(cls):
        tag = "%d" % os.getpid()
        cls.user = add_user("ombt" + tag)
        try:
            cls.saver = add_user("ombs" + tag)
        except BaseException:
            subprocess.run(["userdel", cls.user.pw_name], capture_output=True)
            raise
        cls.tmp = tempfile.TemporaryDirectory()
        os.chmod(cls.tmp.name, 0o755)
        cls.tarball = make_tarball(os.path.join(cls.tmp.name, "package"))
        cls.tools = setup_tools(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()
        for account in (cls.saver, cls.user):
            subprocess.run(["userdel", account.pw_name], capture_output=True, timeout=30)
            try:
                grp.getgrnam(account.pw_name)
                subprocess.run(["groupdel", account.pw_name], capture_output=True, timeout=30)
            except KeyError:
                pass

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.tmp.name)
        os.chmod(self.work, 0o755)
        self.home = os.path.join(self.work, "home")
        self.secret = os.path.join(self.work, "shadow")
        self.outside = os.path.join(self.work, "outside")
        write(self.secret, SECRET)
        os.chmod(self.secret, 0o600)
        os.mkdir(self.outside, 0o700)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def setup(self, *args, tools=None):
        name, shell, path = tools or self.tools[0]
        started = time.monotonic()
        done = subprocess.run(shell + [os.path.join(self.home, "setup")] + list(args), capture_output=True,
                              text=True, timeout=SETUP_BOUND_S, env=clean_env(PATH=path))
        self.assertLess(time.monotonic() - started, SETUP_BOUND_S)
        return done

    def install_fresh(self, tools=None):
        os.makedirs(self.home)
        run(["tar", "-xzf", self.tarball, "-C", self.home])
        done = self.setup("--user", self.user.pw_name, "--saver", self.saver.pw_name, tools=tools)
        self.assertEqual(0, done.returncode, done.stderr)

    def check(self, *args, tools=None):
        return self.setup("--check", "--user", self.user.pw_name, *args, tools=tools)

    def test_attacks_of_the_application_user_stay_in_the_home(self):
        outside = snapshot_of(self.outside)
        for tools in self.tools:
            for what, plants in ATTACKS:
                for upgrade in (False, True):
                    with self.subTest(tools=tools[0], attack=what, after_tarball_upgrade=upgrade):
                        shutil.rmtree(self.home, ignore_errors=True)
                        self.install_fresh(tools)
                        html = os.path.join(self.home, "html")
                        # As before this package: the application user owns html/ and its settings.
                        run(["chown", "-R", "%d:%d" % (self.user.pw_uid, self.user.pw_gid), html])
                        for plant in plants:
                            cmd = [a.format(secret=self.secret, html=html, outside=self.outside) for a in plant]
                            planted = as_user(self.user, cmd)
                            self.assertEqual(0, planted.returncode, planted.stderr)
                        if upgrade:
                            run(["tar", "-xzf", self.tarball, "-C", self.home])
                        before = snapshot_of(self.home)
                        done = self.setup("--user", self.user.pw_name, tools=tools)
                        self.assertEqual(SECRET, read(self.secret))
                        st = os.lstat(self.secret)
                        self.assertEqual((0, 0, 0o600), (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)))
                        self.assertEqual(outside, snapshot_of(self.outside))
                        copies = [f for f, v in snapshot_of(self.home).items() if SECRET.encode() in v[4]]
                        self.assertEqual([], copies, "a copy of the root-only file")
                        if not upgrade:
                            # html/ is still the user's: refused, nothing changed.
                            self.assertEqual(1, done.returncode, done.stdout)
                            self.assertIn("belongs to user %d, not root: refusing" % self.user.pw_uid, done.stderr)
                            self.assertEqual(before, snapshot_of(self.home))
                        elif done.returncode != 0:
                            self.assertIn("is a link or not a regular file: refusing", done.stderr)
                            self.assertEqual(before, snapshot_of(self.home))

    def test_refusals_leave_everything_as_it_was(self):
        cases = [
            ("the home writable by others", lambda: os.chmod(self.home, 0o777), "writable by group or others"),
            ("html/ writable by its group", lambda: os.chmod(os.path.join(self.home, "html"), 0o775),
             "writable by group or others"),
            ("the home owned by the user", lambda: os.chown(self.home, self.user.pw_uid, 0), "not root: refusing"),
            ("www/ owned by the user", lambda: os.chown(os.path.join(self.home, "www"), self.user.pw_uid, 0),
             "not root: refusing"),
            ("feed_url a link", lambda: (os.remove(os.path.join(self.home, "feed_url")),
                                         os.symlink(self.secret, os.path.join(self.home, "feed_url"))),
             "is a link or not a regular file"),
            ("a default replaced by a directory",
             lambda: (os.remove(os.path.join(self.home, "html", "xivelyconfig.xml.default")),
                      os.mkdir(os.path.join(self.home, "html", "xivelyconfig.xml.default"))),
             "is a link or not a regular file"),
            ("spool/ a link", lambda: (os.rmdir(os.path.join(self.home, "spool")),
                                       os.symlink(self.outside, os.path.join(self.home, "spool"))),
             "spool is a link or not a directory"),
        ]
        for tools in self.tools:
            for what, spoil, message in cases:
                with self.subTest(tools=tools[0], case=what):
                    shutil.rmtree(self.home, ignore_errors=True)
                    self.install_fresh(tools)
                    spoil()
                    before = snapshot_of(self.home)
                    done = self.setup("--user", self.user.pw_name, tools=tools)
                    self.assertEqual(1, done.returncode, done.stdout)
                    self.assertIn(message, done.stderr)
                    self.assertEqual(before, snapshot_of(self.home))
                    self.assertEqual(SECRET, read(self.secret))

    def expect_the_model(self, tools=None):
        done = self.check("--saver", self.saver.pw_name, tools=tools)
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        nobody = pwd.getpwnam("nobody")
        for f in ("html/xivelyconfig.xml", "feed_url"):
            self.assertNotEqual(0, as_user(nobody, ["cat", os.path.join(self.home, f)]).returncode, f)
            self.assertEqual(0, as_user(self.user, ["cat", os.path.join(self.home, f)]).returncode, f)
        # The application user changes no code, no page and no settings, and writes only its spool.
        for f in ("www/platform.js", "www/new.js", "html/configparams.xml", "html/new.xml", "feed_update",
                  "spool/queued"):
            wrote = as_user(self.user, ["sh", "-c", 'echo x >> "$0"', os.path.join(self.home, f)])
            self.assertEqual(f.startswith("spool/"), wrote.returncode == 0, f)
        # Whatever saves the settings writes them in place, and only them.
        for f in MADE:
            wrote = as_user(self.saver, ["sh", "-c", 'cat "$0" > "$0.mine" 2>/dev/null; echo saved >> "$0"',
                                         os.path.join(self.home, f)])
            self.assertEqual(0, wrote.returncode, wrote.stderr)
            self.assertTrue(read(os.path.join(self.home, f)).endswith("saved\n"), f)
            self.assertFalse(os.path.exists(os.path.join(self.home, f + ".mine")), f)

    def test_the_ownership_check_after_a_fresh_install_and_after_upgrades(self):
        for tools in self.tools:
            with self.subTest(tools=tools[0], install="tarball"):
                shutil.rmtree(self.home, ignore_errors=True)
                self.install_fresh(tools)
                self.expect_the_model(tools)
                # Upgrades as INSTALL says: the settings' owner stays the saver without naming it again.
                for f in ("feed_update", "www/settings.js"):
                    write(os.path.join(self.home, f), "old\n")
                run(["tar", "-xzf", self.tarball, "-C", self.home])
                done = self.setup("--user", self.user.pw_name, tools=tools)
                self.assertEqual(0, done.returncode, done.stderr)
                self.expect_the_model(tools)
                self.assertEqual(read(os.path.join(SOURCE, "app", "www", "settings.js")),
                                 read(os.path.join(self.home, "www", "settings.js")))
                self.assertEqual(0, self.setup("--user", self.user.pw_name, tools=tools).returncode)
                self.expect_the_model(tools)
        with self.subTest(install="cmake --install"):
            shutil.rmtree(self.home, ignore_errors=True)
            for _ in range(2):
                run(["cmake", "--install", BUILD, "--prefix", self.home, "--component", "camera"],
                    env=clean_env(OMBRELLE_USER=self.user.pw_name, OMBRELLE_SAVER=self.saver.pw_name))
                self.expect_the_model()

    def test_the_check_names_each_path_that_differs(self):
        for tools in self.tools:
            with self.subTest(tools=tools[0]):
                shutil.rmtree(self.home, ignore_errors=True)
                self.install_fresh(tools)
                os.chmod(os.path.join(self.home, "html", "xivelyconfig.xml"), 0o644)
                os.chown(os.path.join(self.home, "www", "settings.js"), self.user.pw_uid, 0)
                os.remove(os.path.join(self.home, "feed_url"))
                os.symlink(self.secret, os.path.join(self.home, "feed_url"))
                done = self.check("--saver", self.saver.pw_name, tools=tools)
                self.assertEqual(1, done.returncode)
                self.assertEqual(3, len(done.stdout.splitlines()), done.stdout)
                self.assertIn("/html/xivelyconfig.xml: - %d:%d 644, expected - %d:%d 640"
                              % ((self.saver.pw_uid, self.user.pw_gid) * 2), done.stdout)
                self.assertIn("/www/settings.js: - %d:0 644, expected - 0:0 644" % self.user.pw_uid, done.stdout)
                self.assertIn("/feed_url: l 0:0 777, expected - %d:%d 640" % (self.saver.pw_uid, self.user.pw_gid),
                              done.stdout)


def elf_header(path):
    return run(["readelf", "-h", "-A", path]).stdout


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-d", path]).stdout)


@unittest.skipUnless(os.environ.get("OMBRELLE_TARBALL") or BUILD, "needs the camera tarball or an ARM build")
class CameraTarball(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.tarball = os.environ.get("OMBRELLE_TARBALL") or make_tarball(os.path.join(cls.tmp.name, "package"))
        cls.home = os.path.join(cls.tmp.name, "home")
        os.makedirs(cls.home)
        with tarfile.open(cls.tarball) as t:
            cls.members = t.getmembers()
        run(["tar", "-xzf", cls.tarball, "-C", cls.home])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_entry_is_flat_root_owned_and_plainly_moded(self):
        names = set()
        for m in self.members:
            with self.subTest(entry=m.name):
                self.assertFalse(m.name.startswith(("/", "./")) or ".." in m.name.split("/"))
                self.assertEqual((0, 0), (m.uid, m.gid))
                self.assertIn(m.uname, ("", "root"))
                self.assertIn(m.gname, ("", "root"))
                if m.isdir():
                    self.assertEqual(0o755, m.mode)
                    continue
                self.assertTrue(m.isfile(), "not a regular file")
                names.add(m.name)
                self.assertEqual(0o755 if m.name in PROGRAMS else 0o644, m.mode)
        self.assertEqual(set(), REQUIRED - names)
        self.assertEqual(set(), names - REQUIRED)
        # Settings are never shipped, only their defaults.
        self.assertEqual(set(), {"html/configparams.xml", "html/xivelyconfig.xml"} & names)

    def test_name_and_build_info_tell_the_sdk(self):
        info = read(os.path.join(self.home, "build-info"))
        standin = "stand-in" in info
        self.assertEqual(standin, os.path.basename(self.tarball).endswith("-arm-standin-sdk.tar.gz"),
                         self.tarball)
        self.assertTrue(re.search(r"^Camera SDK: ", info, re.M), info)
        sdk = [lib for lib in needed(os.path.join(self.home, "Ombrelle")) if "libsdk.so" in lib]
        self.assertEqual(1, len(sdk), sdk)
        self.assertEqual(standin, sdk[0] == "libsdk.so.standin", sdk)

    def test_programs_are_32_bit_arm_without_the_cpp_runtime(self):
        for program in ("Ombrelle", "coreprobe"):
            with self.subTest(program=program):
                path = os.path.join(self.home, program)
                header = elf_header(path)
                self.assertRegex(header, r"Class:\s+ELF32")
                self.assertRegex(header, r"Machine:\s+ARM")
                self.assertIn("Tag_ABI_VFP_args: VFP registers", header)  # hard float, as armhf
                libs = needed(path)
                self.assertEqual([], [lib for lib in libs if lib.startswith(("libstdc++", "libgcc_s"))], libs)
                self.assertEqual([], [lib for lib in libs if "/" in lib], "a build machine's path")
        self.assertEqual(["libc.so.6"], needed(os.path.join(self.home, "coreprobe")))


if __name__ == "__main__":
    unittest.main()
