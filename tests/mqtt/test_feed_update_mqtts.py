"""feed_update publishing over mqtts:// to Debian's mosquitto with TLS listeners on 127.0.0.1.

The certificates are made here with openssl (EC P-256): a CA, an unrelated CA, a CA of
client certificates; server certificates for localhost and 127.0.0.1, for another name,
expired, not yet valid; a client certificate with its key, and a copy of that key others
may read. One mosquitto serves a listener for each server certificate and one that wants
a client certificate. A failed check keeps the point (exit 3) and says its cause once; a
mosquitto_sub over TLS sees what was delivered. FEED_UPDATE names the program;
FEED_UPDATE_EMULATOR, in a cross build, the emulator that runs it. Every fixed platform
path goes through OMBRELLE_ROOT, a fake root per case.
"""
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "feed"))
from brokerfixture import HOST, Mosquitto, Subscriber, accepts, free_port, wait_until  # noqa: E402
from feedfixture import Camera, make_certificates  # noqa: E402

KEY, FEED = "KEY123", "4711"
SECRET = "Mqtt-S3cret"

# Besides the fixture's CA, other CA and server certificate: a CA of client certificates, a client
# certificate with its key and a copy of the key others may read, server certificates for another
# name, expired, and not yet valid.
MORE_CERTIFICATES = r"""
printf 'subjectAltName=DNS:elsewhere.test\nbasicConstraints=CA:FALSE\n' > elsewhere.ext
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n' > client.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile elsewhere.ext \
  -out elsewhere.pem
ec client-ca.key
openssl req -new -x509 -key client-ca.key -subj "/CN=Test client-ca" -days 3650 -out client-ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
ec client.key
openssl req -new -key client.key -subj /CN=camera -out client.csr
openssl x509 -req -in client.csr -CA client-ca.pem -CAkey client-ca.key -CAcreateserial -days 30 \
  -extfile client.ext -out client.pem
printf '[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\nserial = ca.serial\n' > ca.cnf
printf 'default_md = sha256\npolicy = any\nunique_subject = no\n[any]\ncommonName = supplied\n' >> ca.cnf
: > index.txt
echo 1000 > ca.serial
sign() { openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -extfile server.ext \
  -in server.csr -out "$1" -startdate "$2" -enddate "$3"; }
sign expired.pem 20240101000000Z 20240102000000Z
sign future.pem 20990101000000Z 21000101000000Z
chmod 600 client.key
cp client.key readable.key
chmod 644 readable.key
"""

# Listener: (server certificate, what else it wants).
LISTENERS = {
    "good": ("server.pem", ""),
    "elsewhere": ("elsewhere.pem", ""),
    "expired": ("expired.pem", ""),
    "future": ("future.pem", ""),
    "client": ("server.pem", "require_certificate true\n"),
}


class TlsMosquitto(Mosquitto):
    """The fixture's broker with a TLS listener for each of LISTENERS besides its plain ones."""

    def __init__(self, directory, certs):
        super().__init__(directory)
        self.tls_ports = {}
        with open(os.path.join(directory, "mosquitto.conf"), "a") as f:
            for name, (cert, wants) in LISTENERS.items():
                self.tls_ports[name] = port = free_port()
                f.write("listener %d %s\nallow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n%s"
                        % (port, HOST, os.path.join(certs, "client-ca.pem"), os.path.join(certs, cert),
                           os.path.join(certs, "server.key"), wants))

    def start(self):
        super().start()
        if not wait_until(lambda: all(accepts(p) for p in self.tls_ports.values()), 10):
            raise RuntimeError("mosquitto did not open its TLS listeners: " + self.log())


class Tls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="feedmqtts-")
        cls.certs = os.path.join(cls.tmp, "certs")
        os.mkdir(cls.certs)
        try:
            make_certificates(cls.certs, MORE_CERTIFICATES)
        except RuntimeError:
            shutil.rmtree(cls.tmp, True)
            raise
        cls.broker = TlsMosquitto(cls.tmp, cls.certs)
        cls.broker.start()
        cls.sub = Subscriber(cls.tmp, cls.broker.tls_ports["good"], options=["--cafile", cls.cert("ca.pem")])

    @classmethod
    def tearDownClass(cls):
        cls.sub.close()
        cls.broker.stop()
        shutil.rmtree(cls.tmp, True)

    @classmethod
    def cert(cls, name):
        return os.path.join(cls.certs, name)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="root-", dir=self.tmp)
        with open(self.cert("ca.pem")) as f:
            bundle = f.read()
        for path, text in (("etc/ssl/certs/ca-certificates.crt", bundle),
                           ("proc/sys/kernel/random/boot_id", "5d0c7a3e-8f41-4b52-9c1e-2a6b7d8e9f01\n"),
                           ("proc/sys/kernel/hostname", "cam-tls\n")):
            os.makedirs(os.path.dirname(os.path.join(self.root, path)), exist_ok=True)
            with open(os.path.join(self.root, path), "w") as f:
                f.write(text)

    def camera(self, listener, query="", **env):
        url = "mqtts://cam:%s@localhost:%d/tls%s" % (SECRET, self.broker.tls_ports[listener], query)
        camera = Camera(dict(env, FEED_API_URL=url, OMBRELLE_ROOT=self.root))
        self.addCleanup(camera.cleanup)
        return camera

    def assertKeptWithCause(self, camera, result, cause):
        self.assertEqual(3, result.returncode, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(1, len(lines), result.stderr)
        self.assertTrue(lines[0].startswith("feed_update: endpoint down (TLS: "), lines[0])
        self.assertIn(cause, lines[0])
        status = camera.status()
        self.assertEqual("1", status["points kept"])
        self.assertIn(cause, status["last error"])

    def test_the_broker_is_verified_or_the_point_is_kept_with_the_cause(self):
        c = self.certs
        given = "?cafile=%s/ca.pem" % c
        # (case, listener, query, environment, None to deliver or the cause named when kept)
        cases = [
            ("good CA given, before FEED_CAFILE", "good", given, {"FEED_CAFILE": c + "/other-ca.pem"}, None),
            ("good CA from the default bundle", "good", "", {}, None),
            ("FEED_CAFILE before the default bundle", "good", "", {"FEED_CAFILE": c + "/other-ca.pem"},
             "the server's certificate is not signed by a CA of %s/other-ca.pem" % c),
            ("wrong CA", "good", "?cafile=%s/other-ca.pem" % c, {}, "not signed by a CA of"),
            ("wrong host name", "elsewhere", given, {}, "the server's certificate is not for host localhost"),
            ("expired", "expired", given, {}, "the server's certificate is expired or not yet valid"),
            ("not yet valid", "future", given, {}, "the server's certificate is expired or not yet valid"),
            ("client certificate required and given", "client",
             given + "&cert=%s/client.pem&key=%s/client.key" % (c, c), {}, None),
            ("client certificate required, none given", "client", given, {}, "refused the handshake"),
            ("client key others may read", "client", given + "&cert=%s/client.pem&key=%s/readable.key" % (c, c),
             {}, "readable.key can be read by others"),
        ]
        delivered = []
        for n, (name, listener, query, env, cause) in enumerate(cases):
            with self.subTest(name):
                camera = self.camera(listener, query, **env)
                result = camera.run(KEY, FEED, "c%d" % n, str(n))
                self.assertNotIn(SECRET, result.stderr + camera.run("--status").stdout)
                if cause is None:
                    self.assertEqual((0, ""), (result.returncode, result.stderr))
                    delivered.append(b"tls/4711/c%d" % n)
                else:
                    self.assertKeptWithCause(camera, result, cause)
                shown = "mqtts://***@localhost:%d/tls" % self.broker.tls_ports[listener]
                self.assertTrue(camera.status()["endpoint URL"].startswith(shown), camera.status())
        cases_seen = lambda: [m[2] for m in self.sub.messages() if not m[2].endswith(b"/clock")]
        wait_until(lambda: len(cases_seen()) >= len(delivered), 10)
        self.assertEqual(delivered, cases_seen())
        self.assertEqual(3, len(delivered))

    def test_a_clock_before_the_build_date_keeps_the_points_until_it_is_set(self):
        camera = self.camera("good", FEED_RETRY_MIN_S="0", FEED_RETRY_MAX_S="0")
        self.assertEqual(3, camera.run(KEY, FEED, "clock", "1", env={"FEED_KEEP_ONLY": "1"}).returncode)
        unset = str(1000 - int(time.time()))
        result = camera.run(KEY, FEED, "clock", "2", env={"FEED_TEST_WALL_OFFSET_S": unset})
        self.assertEqual(3, result.returncode, result.stderr)
        self.assertIn("endpoint down (TLS: the clock (1970-01-01 00:16 UTC) is earlier than the build date (",
                      result.stderr)
        self.assertIn("certificate dates cannot be checked", result.stderr)
        self.assertEqual("2", camera.status()["points kept"])
        back = camera.run(KEY, FEED, "clock", "3")
        self.assertEqual(0, back.returncode, back.stderr)
        self.assertIn("endpoint back, 3 points delivered", back.stderr)
        self.assertEqual([b"1", b"2", b"3"], [m[3].split(b'"')[3] for m in self.sub.messages()
                                              if m[2] == b"tls/4711/clock"])


if __name__ == "__main__":
    unittest.main()
