"""Debian's mosquitto as the MQTT tests use it, shared by the tests of feed_mqtt, of
feed_update's MQTT transport, and the simulated camera.

Mosquitto   a broker on 127.0.0.1 with a configuration of its own in a given directory:
            one anonymous listener and one that wants USER and PASSWORD (a password
            file made with mosquitto_passwd), each on a free port; stop() and start()
            again keep the ports.
Subscriber  mosquitto_sub on every topic at QoS 1, recording QoS, retain flag, topic
            and payload of each message; options (such as --cafile for a TLS listener)
            go to it and to its readiness probe.
retained()  the retained message of a topic, as a new subscriber receives it.
"""
import os
import shutil
import socket
import subprocess
import time

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
HOST = "127.0.0.1"
USER = "camera"
PASSWORD = "s3cret pass"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def accepts(port):
    try:
        with socket.create_connection((HOST, port), timeout=0.5):
            return True
    except OSError:
        return False


class Mosquitto:
    """The real broker: one anonymous listener and one that wants USER and PASSWORD."""

    def __init__(self, directory):
        self.dir = directory
        self.open_port = free_port()
        self.auth_port = free_port()
        self.process = None
        passwords = self.passwords = os.path.join(directory, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True,
                       capture_output=True)
        # Started as root, mosquitto would drop to its own user, who cannot read this directory.
        stay = "user root\n" if os.geteuid() == 0 else ""
        with open(os.path.join(directory, "mosquitto.conf"), "w") as f:
            f.write(stay + "per_listener_settings true\npersistence false\n"
                    "log_dest file %s\nlog_type all\n"
                    "listener %d %s\nallow_anonymous true\n"
                    "listener %d %s\nallow_anonymous false\npassword_file %s\n"
                    % (os.path.join(directory, "mosquitto.log"), self.open_port, HOST,
                       self.auth_port, HOST, passwords))

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", os.path.join(self.dir, "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: accepts(self.open_port) and accepts(self.auth_port), 10):
            raise RuntimeError("mosquitto did not start: " + self.log())

    def add_user(self, name, password):
        """Another user of the password listener; a running broker restarts to read it."""
        running = self.process is not None
        self.stop()
        subprocess.run(["mosquitto_passwd", "-b", self.passwords, name, password], check=True, capture_output=True)
        if running:
            self.start()

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
            self.process = None

    def log(self):
        path = os.path.join(self.dir, "mosquitto.log")
        return read_bytes(path).decode(errors="replace") if os.path.exists(path) else ""


class Subscriber:
    """mosquitto_sub on every topic at QoS 1, one line per message: QoS, retain, topic, hex payload."""

    def __init__(self, directory, port, topic="#", name="sub", options=()):
        self.path = os.path.join(directory, name + ".out")
        self.output = open(self.path, "wb")
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-h", HOST, "-p", str(port), "-q", "1", "-t", topic, "-i", name,
             "-F", r"%q\t%r\t%t\t%x"] + list(options), stdout=self.output, stderr=subprocess.DEVNULL)
        # Subscribed once a message published after the start comes through.
        ready = lambda: subprocess.run(["mosquitto_pub", "-h", HOST, "-p", str(port), "-q", "1",
                                        "-t", "ready/" + name, "-m", "x"] + list(options), capture_output=True) and \
            any(m[2] == b"ready/" + name.encode() for m in self.all_messages())
        if not wait_until(ready, 10):
            raise RuntimeError("mosquitto_sub did not subscribe")

    def all_messages(self):
        found = []
        data = read_bytes(self.path)
        # Whole lines only: mosquitto_sub may be writing the next one.
        for line in data[:data.rfind(b"\n") + 1].splitlines():
            qos, retain, topic, payload = line.split(b"\t")
            found.append((int(qos), int(retain), topic, bytes.fromhex(payload.decode())))
        return found

    def messages(self):
        """(QoS, retain, topic, payload) of what arrived, the readiness probes left out."""
        return [m for m in self.all_messages() if not m[2].startswith(b"ready/")]

    def wait_for(self, count, seconds=10):
        wait_until(lambda: len(self.messages()) >= count, seconds)
        return self.messages()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.output.close()


def retained(port, topic):
    """The retained message of topic, as a new subscriber receives it, or None."""
    done = subprocess.run(["mosquitto_sub", "-h", HOST, "-p", str(port), "-t", topic, "-C", "1", "-W", "2",
                           "-F", r"%r\t%x"], capture_output=True, timeout=20)
    if done.returncode != 0 or not done.stdout:
        return None
    flag, payload = done.stdout.strip().split(b"\t")
    return int(flag), bytes.fromhex(payload.decode())
