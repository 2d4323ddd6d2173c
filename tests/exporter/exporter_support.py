"""What the exporter's black-box tests share: a server inside the simulated host on a loopback
port, plain HTTP exchanges with it, and a strict reader of the exposition format."""

import ctypes
import os
import re
import signal
import socket
import ssl
import subprocess
import tempfile
import time

from harness.sandbox import BUILD_DIR, SANITIZED
from sim.simhost import _ENTER


def exporter_in(host):
    """Where the simulated host has the exporter: installed beside ryxps, else the build's."""
    installed = "/usr/bin/ryx_exporter"
    if host.run(["test", "-x", installed]).returncode == 0:
        return installed
    return os.path.join(BUILD_DIR, "exporter", "ryx_exporter")


class Server:
    """ryx_exporter serving inside a simulated host, on 127.0.0.1 and a port of its choice."""

    def __init__(self, host, uid=None, args=(), tls=None):
        self.log, self.tls = tempfile.TemporaryFile(), tls  # tls: an ssl.SSLContext to connect
        argv = [exporter_in(host), "--web.listen-address=127.0.0.1:0", *args]
        if uid is not None:
            argv = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *argv]
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1") if SANITIZED else None
        self.proc = subprocess.Popen(["nsenter", "--mount", f"--target={host.pid}", "--",
                                      "/bin/sh", "-c", _ENTER, "sh", *argv],
                                     stdin=subprocess.DEVNULL, stderr=self.log, env=env)
        deadline = time.monotonic() + 30
        while not (m := re.search(r"listening on 127\.0\.0\.1:(\d+)", self.messages())):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"ryx_exporter did not start: {self.messages()}")
            time.sleep(0.05)
        self.port = int(m.group(1))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def messages(self):
        if not self.log.closed:
            self.log.seek(0)
            self.said = self.log.read().decode(errors="replace")
        return self.said

    def stop(self):
        """Ends the server as its service manager would; its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=30)
        self.messages()
        self.log.close()
        return self.proc.returncode

    def connect(self, timeout=10):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        return self.tls.wrap_socket(s, server_hostname="127.0.0.1") if self.tls else s

    def get(self, path="/metrics", method="GET", headers=(), body=b"", timeout=10):
        """(status, headers, body) of one request; status None when closed unanswered."""
        head = [f"{method} {path} HTTP/1.1", "Host: localhost", "Connection: close", *headers]
        head += [f"Content-Length: {len(body)}"] if body else []
        data = b""
        with self.connect(timeout) as s:
            s.sendall(("\r\n".join(head) + "\r\n\r\n").encode() + body)
            try:
                while chunk := s.recv(65536):
                    data += chunk
            except ConnectionResetError:
                pass
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        if not re.match(r"HTTP/1\.1 \d{3} ", lines[0]):
            return None, {}, data
        fields = {k.lower(): v for k, v in (line.split(": ", 1) for line in lines[1:])}
        return int(lines[0].split()[1]), fields, body


def web_config(directory, users=None, client_ca=False):
    """A web configuration file in directory: TLS with a new self-signed certificate for
    127.0.0.1 (cert.pem, key.pem), users {name: password} by bcrypt hash; with client_ca, client
    certificates verified against that same certificate. Its path."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", f"{directory}/key.pem", "-out", f"{directory}/cert.pem",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    text = "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
    if client_ca:
        text += "  client_ca_file: cert.pem\n  client_auth_type: RequireAndVerifyClientCert\n"
    text += "basic_auth_users:\n" + "".join(f"  {u}: {bcrypt(p)}\n" for u, p in (users or {}).items())
    with open(f"{directory}/web.yml", "w") as f:
        f.write(text)
    return f"{directory}/web.yml"


def bcrypt(password):
    """A bcrypt hash of password, by libcrypt as the exporter checks it (cost 4: quick)."""
    lib = ctypes.CDLL("libcrypt.so.1")
    lib.crypt_gensalt.restype = lib.crypt.restype = ctypes.c_char_p
    salt = lib.crypt_gensalt(b"$2b$", 4, None, 0)
    return lib.crypt(password.encode(), salt).decode()


_SAMPLE = re.compile(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)")
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(?:,|$)')


def parse_exposition(text):
    """({(name, frozenset of label pairs): value}, {family: type}); fails on what the text
    format forbids: a sample outside its family's block, a family without HELP and TYPE or
    given twice, a series given twice, a malformed line."""
    samples, types, current = {}, {}, None
    for line in text.splitlines():
        if line.startswith("# HELP "):
            current = line.split(" ")[2]
            assert current not in types, f"{current} given twice"
        elif line.startswith("# TYPE "):
            _, _, name, types[name] = line.split(" ")
            assert name == current and types[name] in ("counter", "gauge"), line
        else:
            m = _SAMPLE.fullmatch(line)
            assert m and m.group(1) == current and current in types, f"stray line {line!r}"
            labels = _LABEL.findall(m.group(2) or "")
            assert "".join(f'{k}="{v}",' for k, v in labels) == (m.group(2) or "") + (
                "," if m.group(2) else ""), f"malformed labels in {line!r}"
            key = (current, frozenset((k, re.sub(r"\\(.)", lambda e: {"n": "\n"}.get(
                e.group(1), e.group(1)), v)) for k, v in labels))
            assert key not in samples, f"series given twice: {line}"
            samples[key] = float(m.group(3))
    return samples, types


def series(samples, name, **only):
    """{container id: (labels, value)} of one family, the samples whose labels include only's."""
    out = {}
    for (n, labels), value in samples.items():
        d = dict(labels)
        if n == name and all(d.get(k) == v for k, v in only.items()):
            assert int(d["id"]) not in out, f"two {name} samples of container {d['id']}"
            out[int(d["id"])] = (d, value)
    return out
