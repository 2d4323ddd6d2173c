"""What the exporter's black-box tests share: the program inside the simulated host, a server
started there on a loopback port, plain HTTP exchanges, and a strict reader of the exposition
format."""

import os
import re
import signal
import socket
import subprocess
import tempfile
import time

from harness.sandbox import BUILD_DIR, SANITIZED
from sim.simhost import _ENTER

BUILT = os.path.join(BUILD_DIR, "exporter", "ryx_exporter")
INSTALLED = "/usr/bin/ryx_exporter"


def exporter_in(host):
    """Where the simulated host has the exporter: installed beside ryxps, else the build's."""
    return INSTALLED if host.run(["test", "-x", INSTALLED]).returncode == 0 else BUILT


class Server:
    """ryx_exporter serving inside a simulated host on 127.0.0.1 and a free port. Use as a
    context manager; stop() returns the exit status."""

    def __init__(self, host, *args, uid=None):
        self.log_file = tempfile.NamedTemporaryFile(prefix="ryx-exporter-", suffix=".log")
        argv = [exporter_in(host), "--web.listen-address=127.0.0.1:0", *args]
        if uid is not None:
            argv = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--", *argv]
        env = dict(os.environ)
        if SANITIZED:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        self.proc = subprocess.Popen(
            ["nsenter", "--mount", f"--target={host.pid}", "--", "/bin/sh", "-c", _ENTER, "sh",
             *argv], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log_file,
            env=env)
        deadline = time.monotonic() + 30
        while True:
            found = re.search(r"listening on 127\.0\.0\.1:(\d+)", self.log())
            if found:
                self.port = int(found.group(1))
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                log = self.log()
                self.log_file.close()
                raise RuntimeError(f"ryx_exporter did not start: {log}")
            time.sleep(0.05)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.log_file.close()

    def log(self):
        with open(self.log_file.name, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=10)

    def exchange(self, request):
        """Sends raw request bytes; returns (status, headers, body) of the answer, status None
        when the server closed without one."""
        with self.connect() as s:
            s.sendall(request)
            data = b""
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            except ConnectionResetError:
                pass
        return parse_response(data)

    def get(self, path="/metrics", method="GET", headers=(), body=b""):
        lines = [f"{method} {path} HTTP/1.1", "Host: localhost", "Connection: close", *headers]
        if body:
            lines.append(f"Content-Length: {len(body)}")
        return self.exchange(("\r\n".join(lines) + "\r\n\r\n").encode() + body)


def parse_response(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    match = re.match(r"HTTP/1\.[01] (\d{3}) ", lines[0] + " ")
    if not match:
        return None, {}, data
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(match.group(1)), headers, body


_NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
_SAMPLE = re.compile(rf"^({_NAME})(?:\{{(.*)\}})? (\S+)$")
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"')
_UNESCAPE = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}


def parse_exposition(text):
    """{(name, frozenset of label pairs): value} and {family: type}. Fails on anything the text
    format does not allow: a sample before its family's HELP and TYPE, a family split in two,
    a series given twice, a malformed line."""
    samples, types, helps, finished = {}, {}, set(), set()
    current = None
    assert text.endswith("\n"), "the exposition ends with a newline"
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split(" ")[2]
            assert name not in helps, f"second HELP for {name}"
            helps.add(name)
            continue
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert name in helps and name not in types, f"TYPE of {name} without HELP or twice"
            assert kind in ("counter", "gauge"), line
            if current:
                finished.add(current)
            types[name], current = kind, name
            continue
        match = _SAMPLE.match(line)
        assert match, f"malformed line: {line!r}"
        name, raw_labels, value = match.groups()
        assert name == current and name not in finished, f"{name} outside its family"
        labels = []
        if raw_labels:
            pos = 0
            while pos < len(raw_labels):
                m = _LABEL.match(raw_labels, pos)
                assert m, f"malformed labels: {raw_labels!r}"
                value_text = re.sub(r'\\[\\"n]', lambda e: _UNESCAPE[e.group(0)], m.group(2))
                labels.append((m.group(1), value_text))
                pos = m.end()
                if pos < len(raw_labels):
                    assert raw_labels[pos] == ",", raw_labels
                    pos += 1
        key = (name, frozenset(labels))
        assert key not in samples, f"series given twice: {line}"
        samples[key] = float(value)
    return samples, types


def series(samples, name, **only):
    """{container id: (labels, value)} of one per-container family, the samples whose labels
    include those of only."""
    out = {}
    for (n, labels), value in samples.items():
        d = dict(labels)
        if n == name and all(d.get(k) == v for k, v in only.items()):
            assert int(d["id"]) not in out, f"two {name} samples of container {d['id']}"
            out[int(d["id"])] = (d, value)
    return out
