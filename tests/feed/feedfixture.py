"""Shared pieces of the feed_update tests and of tools/bench_feed.

FeedServer   a feed service on 127.0.0.1 that answers, refuses connections,
             accepts and never answers, or answers with an HTTP error status;
             it records every request and what it answered.
             With tls=(certificate, key) it is an HTTPS service.
Camera       an application home in a temporary directory holding a copy of
             the feed_update program; runs it (in a cross build through the
             emulator) and reads its status.
make_certificates  a CA, an unrelated CA and a server certificate of the CA for
             localhost and 127.0.0.1 (EC P-256), made with openssl.

FEED_UPDATE names the program; FEED_UPDATE_EMULATOR, in a cross build, the
emulator command that runs it.
"""
import http.server
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import threading
import time

PROGRAM = os.environ.get("FEED_UPDATE", "")
EMULATOR = os.environ.get("FEED_UPDATE_EMULATOR", "").split()
# By its full path: some cases run the program with a PATH of their own.
EMULATOR[:1] = [shutil.which(EMULATOR[0]) or EMULATOR[0]] if EMULATOR else []
CURL = shutil.which("curl")

# ca.pem, other-ca.pem, server.key, server.csr and server.pem (signed by ca.pem) in the folder $1.
MAKE_CERTIFICATES = r"""set -e
cd "$1"
ec() { openssl ecparam -name prime256v1 -genkey -noout -out "$1"; }
for ca in ca other-ca; do
  ec $ca.key
  openssl req -new -x509 -key $ca.key -subj "/CN=Test $ca" -days 3650 -out $ca.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
done
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > server.ext
ec server.key
openssl req -new -key server.key -subj /CN=localhost -out server.csr
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile server.ext \
  -out server.pem
"""


def make_certificates(directory, more=""):
    """MAKE_CERTIFICATES in directory, then the shell script more there; raises when openssl fails."""
    made = subprocess.run(["sh", "-c", MAKE_CERTIFICATES + more, "make", directory], capture_output=True)
    if made.returncode != 0:
        raise RuntimeError("openssl could not make the certificates: " + made.stderr.decode(errors="replace"))


class Request:
    def __init__(self, method, path, headers, body, answer):
        self.method, self.path, self.headers, self.body, self.answer = method, path, headers, body, answer
        self.received = time.time()

    @property
    def confirmed(self):
        return isinstance(self.answer, int) and 200 <= self.answer < 300

    def document(self):
        return json.loads(self.body.decode("utf-8"))


class Handler(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        owner = self.server.owner
        mode = owner.mode
        answer = mode(body) if callable(mode) else 200 if mode == "ok" else mode
        owner.requests.append(Request(self.command, self.path, dict(self.headers), body, answer))
        if owner.on_request:
            owner.on_request(len(owner.requests))
        if mode == "hang":
            owner.release.wait(60)
            return
        self.send_response(answer)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class FeedServer:
    """mode: "ok" (200), "refuse" (nothing listens), "hang", an HTTP status, or a function of the
    request body that returns the status. on_request(n) is called with the count of requests so
    far, before the answer."""

    def __init__(self, mode="ok", tls=None):
        self.tls = tls
        self.requests = []
        self.on_request = None
        self.release = threading.Event()
        self.httpd = None
        self.port = 0
        self.mode = "ok"
        self._listen()
        self.url = "%s://127.0.0.1:%d/v2" % ("https" if tls else "http", self.port)
        self.set_mode(mode)

    def _listen(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.httpd.daemon_threads = True
        self.httpd.owner = self
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*self.tls)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def _stop(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.httpd = None

    def set_mode(self, mode):
        self.release.set()
        self.release = threading.Event()
        if mode == "refuse":
            self._stop()
        elif self.httpd is None:
            self._listen()
        self.mode = mode

    def close(self):
        self.release.set()
        self._stop()

    def points(self):
        """(feed, channel, value, at) of every confirmed request, in the order sent; at is
        None for a plain current_value update."""
        found = []
        for request in self.requests:
            if not request.confirmed:
                continue
            feed = request.path.rsplit("/", 1)[1][:-len(".json")]
            for stream in request.document()["datastreams"]:
                if "datapoints" in stream:
                    found += [(feed, stream["id"], p["value"], p["at"]) for p in stream["datapoints"]]
                else:
                    found.append((feed, stream["id"], stream["current_value"], None))
        return found


class Result:
    def __init__(self, completed, seconds):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.decode(errors="replace")
        self.stderr = completed.stderr.decode(errors="replace")
        self.seconds = seconds


class Camera:
    """An application home with feed_update in it; the spool is the default one beside it."""

    def __init__(self, env=None):
        self.tmp = tempfile.mkdtemp(prefix="feed-")
        self.home = os.path.join(self.tmp, "home")
        os.mkdir(self.home)
        self.program = os.path.join(self.home, "feed_update")
        shutil.copy(PROGRAM, self.program)
        self.spool = os.path.join(self.home, "spool")
        self.env = dict(env or {})

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def environment(self, env=None, path=None):
        environment = {k: v for k, v in os.environ.items() if not k.startswith("FEED_")}
        environment.update(self.env)
        environment.update(env or {})
        if path:
            environment["PATH"] = path
        return environment

    def command(self, args):
        return EMULATOR + [self.program] + list(args)

    def run(self, *args, env=None, path=None, timeout=30):
        start = time.monotonic()
        completed = subprocess.run(self.command(args), env=self.environment(env, path),
                                   capture_output=True, timeout=timeout)
        return Result(completed, time.monotonic() - start)

    def start(self, *args, env=None, path=None):
        return subprocess.Popen(self.command(args), env=self.environment(env, path),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)

    def status(self, env=None):
        """feed_update --status as {label: rest of the line}."""
        lines = self.run("--status", env=env).stdout.splitlines()
        return {line[:13].strip(): line[14:] for line in lines}

    def kept(self):
        return int(self.status()["points kept"])

    def spool_files(self):
        return sorted(os.listdir(self.spool)) if os.path.isdir(self.spool) else []
