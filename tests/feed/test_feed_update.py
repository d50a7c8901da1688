"""feed_update against a local feed server: the request it makes, and its failures."""
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from feedfixture import BUSYBOX, CAMERA_TOOLS, SCRIPT, busybox_path


class Recorder(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.server.requests.append((self.command, self.path, dict(self.headers), body))
        self.send_response(self.server.status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class FeedServer:
    def __init__(self, status=200):
        self.httpd = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
        self.httpd.requests = []
        self.httpd.status = status
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/v2" % self.httpd.server_address[1]

    @property
    def requests(self):
        return self.httpd.requests

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class FeedUpdate(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.script = os.path.join(self.tmp, "feed_update")
        shutil.copy(SCRIPT, self.script)
        self.server = FeedServer()

    def tearDown(self):
        self.server.close()
        shutil.rmtree(self.tmp)

    def run_script(self, args, shell="sh", env=None, path=None):
        environment = {k: v for k, v in os.environ.items() if k != "FEED_API_URL"}
        environment.update(env or {})
        if path is not None:
            environment["PATH"] = path
        cmd = shell.split() + [self.script] + list(args)
        return subprocess.run(cmd, env=environment, capture_output=True, timeout=30)

    def shells(self):
        yield "sh", None
        if BUSYBOX:
            yield BUSYBOX + " sh", busybox_path(self.tmp)

    def test_request_for_texts_that_need_escaping(self):
        cases = [
            (["KEY123", "4711", "Temperature", "    23.5"], "Temperature", "23.5"),
            (["k", "1", 'say "hi"', "Closed"], 'say "hi"', "Closed"),
            (["k", "1", "back\\slash", "a\\b"], "back\\slash", "a\\b"),
            (["k", "1", "with blank", "tab\there"], "with blank", "tab\there"),
            (["k", "1", "Input1", "-12.0"], "Input1", "-12.0"),
        ]
        for shell, path in self.shells():
            for args, channel, value in cases:
                with self.subTest(shell=shell, args=args):
                    self.server.requests.clear()
                    result = self.run_script(args, shell, {"FEED_API_URL": self.server.url}, path)
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertEqual(1, len(self.server.requests))
                    method, url, headers, body = self.server.requests[0]
                    self.assertEqual("PUT", method)
                    self.assertEqual("/v2/feeds/%s.json" % args[1], url)
                    self.assertEqual(args[0], headers["X-ApiKey"])
                    document = json.loads(body)
                    self.assertEqual({"version": "1.0.0",
                                      "datastreams": [{"id": channel, "current_value": value}]}, document)

    def test_body_bytes_are_the_feed_document(self):
        self.run_script(["k", "9", "c", "1"], env={"FEED_API_URL": self.server.url + "/"})
        self.assertEqual(b'{"version":"1.0.0","datastreams":[{"id":"c","current_value":"1"}]}',
                         self.server.requests[0][3])
        self.assertEqual("/v2/feeds/9.json", self.server.requests[0][1])

    def test_base_url_from_the_file_beside_the_script(self):
        with open(os.path.join(self.tmp, "feed_url"), "w") as f:
            f.write(self.server.url + "\nignored second line\n")
        result = self.run_script(["k", "5", "c", "v"])
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("/v2/feeds/5.json", self.server.requests[0][1])

    def test_failures_are_reported_by_status_and_make_no_request(self):
        result = self.run_script(["k", "../x", "c", "v"], env={"FEED_API_URL": self.server.url})
        self.assertEqual(2, result.returncode)
        result = self.run_script(["k", "1", "c"], env={"FEED_API_URL": self.server.url})
        self.assertEqual(2, result.returncode)
        self.assertIn(b"usage", result.stderr)
        self.assertEqual([], self.server.requests)

    def test_rejected_update_is_a_failure(self):
        rejecting = FeedServer(status=403)
        try:
            result = self.run_script(["k", "1", "c", "v"], env={"FEED_API_URL": rejecting.url})
            self.assertNotEqual(0, result.returncode)
        finally:
            rejecting.close()

    def test_server_down_fails_within_the_bound(self):
        url = self.server.url
        self.server.close()
        self.server = FeedServer()
        start = time.monotonic()
        result = self.run_script(["k", "1", "c", "v"], env={"FEED_API_URL": url})
        self.assertNotEqual(0, result.returncode)
        self.assertLess(time.monotonic() - start, 15)

    def test_without_curl_it_says_so_once_and_keeps_the_points(self):
        bindir = os.path.join(self.tmp, "nocurl")
        os.mkdir(bindir)
        for tool in CAMERA_TOOLS:
            os.symlink(shutil.which(tool), os.path.join(bindir, tool))
        results = [self.run_script(["k", "1", "c", str(v)], shell=shutil.which("sh"), path=bindir,
                                   env={"FEED_API_URL": self.server.url}) for v in (1, 2)]
        self.assertEqual([3, 3], [r.returncode for r in results])
        self.assertIn(b"curl is not installed", results[0].stderr)
        self.assertEqual(b"", results[1].stderr)
        self.assertEqual([], self.server.requests)


if __name__ == "__main__":
    unittest.main()
