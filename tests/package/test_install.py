"""The camera package: the installed application home, and its default files applied."""
import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.environ["OMBRELLE_BUILD"]


def install(component, prefix):
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix, "--component", component],
                   check=True, capture_output=True)


def wait_for(path, text, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and text in open(path).read():
            return True
        time.sleep(0.05)
    return False


class CameraPackage(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.home = os.path.join(self.tmp.name, "home")
        self.sim_prefix = os.path.join(self.tmp.name, "simulator")
        install("camera", self.home)
        install("simulator", self.sim_prefix)

    def tearDown(self):
        self.tmp.cleanup()

    def test_layout_and_run_bits(self):
        found = sorted(os.path.relpath(os.path.join(d, f), self.home)
                       for d, _, files in os.walk(self.home) for f in files)
        self.assertEqual(["Ombrelle", "coreprobe", "feed_mqtt", "feed_update", "html/configparams.xml", "html/index.html",
                          "html/platform.js", "html/settings.css", "html/settings.js",
                          "html/xivelyconfig.xml"], found)
        for program in ("Ombrelle", "coreprobe", "feed_mqtt", "feed_update"):
            mode = os.stat(os.path.join(self.home, program)).st_mode
            self.assertTrue(mode & stat.S_IXUSR and mode & stat.S_IXOTH, program)
        for data in ("html/configparams.xml", "html/xivelyconfig.xml", "html/index.html", "html/settings.js"):
            self.assertFalse(os.stat(os.path.join(self.home, data)).st_mode & stat.S_IXUSR, data)
        self.assertTrue(os.path.exists(os.path.join(self.sim_prefix, "simulator", "lib")))

    def test_default_files_parse_and_keep_every_report_off(self):
        root = os.path.join(self.tmp.name, "root")
        os.makedirs(os.path.join(root, "var", "log"))
        log = os.path.join(root, "var", "log", "Ombrelle.log")
        env = dict(os.environ, OMBRELLE_ROOT=root, TS_APP_HOME=self.home,
                   LD_LIBRARY_PATH=os.path.join(self.sim_prefix, "simulator", "lib"))
        env.pop("TSDK_SIM_DIR", None)
        camera = subprocess.Popen([os.path.join(self.home, "Ombrelle")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            self.assertTrue(wait_for(log, "[Ombrelle]Output AppEnabled     = 0 \n"))
            text = open(log).read()
            for line in ("Input1Enabled           = 0 ", "MotionDetectionEnabled  = 0 ",
                         "DayNightEnabled         = 0 ", "Output XivelyEnabled  = 0 "):
                self.assertIn(line, text)
            self.assertNotIn("Error Parsing", text)

            # With the feed switched on, the feed file is read as well.
            config = os.path.join(self.home, "html", "configparams.xml")
            with open(config) as f:
                content = f.read()
            with open(config, "w") as f:
                f.write(content.replace("<XivelyEnabled>0<", "<XivelyEnabled>1<"))
            camera.send_signal(signal.SIGUSR1)
            self.assertTrue(wait_for(log, "[Ombrelle]Channel1 Name   = InternalTemp \n"))
            text = open(log).read()
            self.assertIn("[Ombrelle]Channel1 Enabled= 0\n", text)
            self.assertNotIn("Error Parsing", text)
            self.assertNotIn("Timer deleted & updated", text)
        finally:
            camera.send_signal(signal.SIGTERM)
            self.assertEqual(0, camera.wait(timeout=20))


if __name__ == "__main__":
    unittest.main()
