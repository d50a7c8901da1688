#!/usr/bin/env python3
"""Idle cost and signal reaction of Ombrelle builds, printed side by side.

Usage: idle_figures.py SOURCE LABEL=PROGRAM[@EMULATOR] ...

SOURCE is the checkout whose app/html holds the default configuration. Each
LABEL=PROGRAM is one build of Ombrelle; @EMULATOR (words separated by commas)
runs it through an emulator, e.g. @qemu-arm,-L,/usr/arm-linux-gnueabihf.

For each build, in a temporary root, home and SDK simulation directory:
  - three idle cases, each measured over WINDOW_S seconds once the
    configuration is applied: the feed off (the default configuration); the
    feed on with one channel every 5 minutes; the RS-485 reader on a silent
    pseudo-terminal. Wake-ups per second are the voluntary context switches of
    all threads of the process (/proc/PID/task/*/status); CPU time is user plus
    system time of the process over the window.
  - the reaction to SIGUSR1: the time from kill() to the line
    "[Ombrelle]Handle Configuration Change\\n" in the log (seen through
    inotify), median and 99th percentile over SIGNALS signals, each sent once
    the previous application has ended.
  - peak resident memory (VmHWM) at the end of that run.
Under an emulator the process is the emulator: its own threads and memory are
included.
"""
import ctypes
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

WINDOW_S = 10
SIGNALS = 200
SETTLE_S = 1.0
IN_MODIFY = 0x2
CHANGE_LINE = b"[Ombrelle]Handle Configuration Change\n"
TRIGGERS_DONE = b"[Ombrelle]****RS485 Report UnSubscribed****\n"
CASES = ("feed off", "feed on, 5-minute period", "reader on a silent port")
# The line that shows each case is set up.
READY = {CASES[0]: TRIGGERS_DONE, CASES[1]: b"[Ombrelle] Timer deleted & updated\n",
         CASES[2]: b"[Ombrelle] Serial proc updated\n"}

CONFIG = """<ConfigParams>
  <Input1Enabled>0</Input1Enabled><Input1Name>Input1</Input1Name>
  <MotionDetectionEnabled>0</MotionDetectionEnabled><MotionDetectionName>Motion</MotionDetectionName>
  <DayNightEnabled>0</DayNightEnabled><DayNightName>DayNight</DayNightName>
  <RS485Enabled>0</RS485Enabled><XivelyEnabled>1</XivelyEnabled><AppEnabled>0</AppEnabled>
  <Ext_thread>{ext}</Ext_thread>
</ConfigParams>
"""
FEED = """<XivelyConfigParams>
  <Apikey>KEY</Apikey><FeedID>FEED</FeedID><SensorType>2</SensorType><SensorParam>10</SensorParam>
  <IntervalinMin>5</IntervalinMin><ChannelNumber>1</ChannelNumber>
  <Channel1Enabled>{enabled}</Channel1Enabled><Channel1Name>Temp</Channel1Name><Channel1Param>30</Channel1Param>
</XivelyConfigParams>
"""


class Inotify:
    """Blocks until a watched file is modified, without polling it."""

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(), IN_MODIFY) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def wait(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if ready:
            os.read(self.fd, 65536)
        return bool(ready)

    def close(self):
        os.close(self.fd)


class Camera:
    """One Ombrelle in a temporary root, home and simulation directory."""

    def __init__(self, source, program, emulator, case):
        self.dir = tempfile.mkdtemp(prefix="ombrelle-figures-")
        self.root, self.home, self.sim = (os.path.join(self.dir, d) for d in ("root", "home", "sim"))
        for d in (self.root + "/var/log", self.root + "/dev", self.home + "/html", self.sim):
            os.makedirs(d)
        self.log = self.root + "/var/log/Ombrelle.log"
        open(self.log, "wb").close()
        self.pty_master = None
        self.ready = READY[case]
        if case == CASES[0]:
            for name in ("configparams.xml", "xivelyconfig.xml"):
                shutil.copy(os.path.join(source, "app/html", name), self.home + "/html")
        else:
            reader = case == CASES[2]
            self.write("html/configparams.xml", CONFIG.format(ext=1 if reader else 0))
            self.write("html/xivelyconfig.xml", FEED.format(enabled=0 if reader else 1))
            self.write("coreprobe", "#!/bin/sh\n", 0o755)
            self.write("feed_update", "#!/bin/sh\n", 0o755)
        if case == CASES[2]:
            self.pty_master, slave = pty.openpty()
            os.symlink(os.ttyname(slave), self.root + "/dev/ttyS1")
            os.close(slave)
        env = dict(os.environ, OMBRELLE_ROOT=self.root, TS_APP_HOME=self.home, TSDK_SIM_DIR=self.sim)
        self.proc = subprocess.Popen(emulator + [program], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid

    def write(self, relative, text, mode=0o644):
        path = os.path.join(self.home, relative)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)

    def log_bytes(self):
        with open(self.log, "rb") as f:
            return f.read()

    def wait_ready(self, timeout=60):
        """Until the log shows the case set up."""
        deadline = time.monotonic() + timeout
        while self.ready not in self.log_bytes():
            if time.monotonic() > deadline:
                raise RuntimeError("configuration not applied:\n" + self.log_bytes().decode(errors="replace"))
            time.sleep(0.05)

    def switches(self):
        total = 0
        for task in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{task}/status") as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            total += int(line.split()[1])
            except FileNotFoundError:
                pass
        return total

    def cpu_ms(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")

    def peak_rss_kb(self):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.pty_master is not None:
            os.close(self.pty_master)
        shutil.rmtree(self.dir, ignore_errors=True)


def idle(camera):
    camera.wait_ready()
    time.sleep(SETTLE_S)
    s0, c0 = camera.switches(), camera.cpu_ms()
    time.sleep(WINDOW_S)
    s1, c1 = camera.switches(), camera.cpu_ms()
    return (s1 - s0) / WINDOW_S, c1 - c0


def reaction(camera):
    """Milliseconds from SIGUSR1 to its log line, one per signal; the log is read only where it grew."""
    watch = Inotify(camera.log)
    times = []
    with open(camera.log, "rb") as log:
        log.seek(0, os.SEEK_END)

        def wait_for(line, what):
            seen = b""
            while line not in seen:
                more = log.read()
                if more:
                    seen += more
                elif not watch.wait(10):
                    raise RuntimeError(what)
            return seen

        try:
            for _ in range(SIGNALS):
                log.read()
                start = time.perf_counter()
                os.kill(camera.pid, signal.SIGUSR1)
                seen = wait_for(CHANGE_LINE, "no reaction to SIGUSR1")
                times.append((time.perf_counter() - start) * 1000)
                if TRIGGERS_DONE not in seen.split(CHANGE_LINE, 1)[1]:
                    wait_for(TRIGGERS_DONE, "the application did not end")
                time.sleep(0.002)
        finally:
            watch.close()
    return times


def measure(source, program, emulator):
    figures = {}
    for case in CASES:
        camera = Camera(source, program, emulator, case)
        try:
            figures[case] = idle(camera)
            if case == CASES[0]:
                times = sorted(reaction(camera))
                figures["median"] = statistics.median(times)
                figures["p99"] = times[int(len(times) * 0.99) - 1]
                figures["rss"] = camera.peak_rss_kb()
        finally:
            camera.stop()
    return figures


def main():
    source, builds = sys.argv[1], sys.argv[2:]
    results = []
    for spec in builds:
        label, _, rest = spec.partition("=")
        program, _, emulator = rest.partition("@")
        print(f"measuring {label} ...", file=sys.stderr, flush=True)
        results.append((label, measure(source, program, emulator.split(",") if emulator else [])))

    width = 36
    print(f"{'':<{width}}" + "".join(f"{label:>18}" for label, _ in results))
    for case in CASES:
        print(f"{'wake-ups/s, ' + case:<{width}}" + "".join(f"{r[case][0]:>18.2f}" for _, r in results))
        print(f"{'  CPU ms in ' + str(WINDOW_S) + ' s':<{width}}" + "".join(f"{r[case][1]:>18.0f}" for _, r in results))
    print(f"{'SIGUSR1 reaction median ms':<{width}}" + "".join(f"{r['median']:>18.3f}" for _, r in results))
    print(f"{'SIGUSR1 reaction p99 ms':<{width}}" + "".join(f"{r['p99']:>18.3f}" for _, r in results))
    print(f"{'peak RSS kB':<{width}}" + "".join(f"{r['rss']:>18d}" for _, r in results))


if __name__ == "__main__":
    main()
