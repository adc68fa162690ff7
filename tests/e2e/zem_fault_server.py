"""An HTTPS server of the tests' own that serves one archive with single
"bytes=a-b" range requests and misbehaves on cue, for the faults nginx
cannot make: a connection that goes silent, headers that never come, a 206
for another range, a whole-file 200 for one request, another archive from
some request on.

A test serves a file and scripts rules; each request is answered by the
first rule that matches it and has uses left, or normally. Every request is
recorded (number, range, when it came, how it was answered). Every silence
is bounded (SILENCE_SECONDS, or until the client closes or the server
stops), and stop() ends every thread."""

import os
import select
import socket
import ssl
import threading
import time

SILENCE_SECONDS = 15
PORTS = range(48800, 48900)
PIECE = 64 * 1024


class Request:
    """One request as the server saw it. first, last: the asked range
    (None without a Range header; last None for "a-"). at: when its headers
    had come (time.monotonic). size: that of the file it was answered from.
    answer: how it was answered. silent_at: when the server went silent on
    it, after the last byte it sent."""

    def __init__(self, number, first, last, at, size):
        self.number, self.first, self.last, self.at = number, first, last, at
        self.size = size  # of the file it was answered from
        self.answer = None
        self.silent_at = None

    def covers(self, offset):
        return self.first is not None and self.first <= offset and (self.last is None or offset <= self.last)

    def __repr__(self):
        return f"#{self.number} {self.first}-{self.last} {self.answer}"


# When a rule applies: predicates of a Request.
def probe(request):
    return (request.first, request.last) == (0, 0)


def every(request):
    return True


def covering(offset):
    """The requests whose range holds the byte at offset (the probe only
    for offset 0)."""
    return lambda request: request.covers(offset)


class Rule:
    """What to do with the requests that `when` matches, for the first
    `times` of them (None: all)."""

    def __init__(self, action, when, times=None, value=None):
        self.action, self.when, self.times, self.value = action, when, times, value

    def takes(self, request):
        if self.times == 0 or not self.when(request):
            return False
        if self.times is not None:
            self.times -= 1
        return True


def whole_file(when, times=None):
    """Answers 200 with the whole file, the Range ignored."""
    return Rule("whole file", when, times)


def silent_mid_body(when, after_bytes, times=1):
    """Sends the headers and after_bytes of the body, then nothing."""
    return Rule("silent mid-body", when, times, after_bytes)


def headers_never_come(when, times=1):
    """Reads the request and sends nothing."""
    return Rule("no headers", when, times)


def another_range(when, shift, times=1):
    """Answers 206 with the range shifted by shift bytes, its
    Content-Range naming the bytes sent."""
    return Rule("another range", when, times, shift)


def silent_from(offset, times=None):
    """For a range that holds offset and begins before it: sends the body
    up to (not including) offset, then nothing."""
    return Rule("silent from offset", lambda r: r.first is not None and r.first < offset and r.covers(offset),
                times, offset)


def hang_up(when, times=1):
    """Reads the request and closes the connection without an answer (a
    network or a cache that drops the first connections)."""
    return Rule("hang up", when, times)


def switch_file(when, path):
    """From the first request `when` matches on, serves the file at path
    instead (that request included)."""
    return Rule("switch file", when, 1, path)


class FaultServer:
    """The server on 127.0.0.1 at the first free port of PORTS, with the
    certificate of ca (a zem_e2e.TestCA) for localhost."""

    def __init__(self, ca, name="frolix-rewrite.zip"):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(ca.cert, ca.key)
        self.name = name
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.threads = []
        self.connections = set()
        self.listener = self._listen()
        self.port = self.listener.getsockname()[1]
        self.url = f"https://localhost:{self.port}/{name}"
        self.serve(None)
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def _listen(self):
        for port in PORTS:
            listener = socket.socket()
            # Connections of an earlier server left in TIME_WAIT do not
            # keep the port; another listener still does.
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                listener.bind(("127.0.0.1", port))
                listener.listen(64)
                return listener
            except OSError:
                listener.close()
        raise RuntimeError(f"no free port in {PORTS.start}-{PORTS.stop - 1} for the fault server")

    def serve(self, path, *rules, beside=None):
        """Serves the file at path from now on, under rules; forgets the
        requests seen so far. beside: {URL ending: bytes} answered whole,
        with 200 and unrecorded (a signed release's manifest)."""
        with self.lock:
            self.data = read_file(path) if path else b""
            self.rules = list(rules)
            self.requests = []
            self.beside = dict(beside or {})

    def seen(self):
        """The requests so far, once every connection has ended (for a
        bounded time): called when the client has ended, so that none of
        its requests is missed."""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and any(thread.is_alive() for thread in self.threads):
            time.sleep(0.01)
        with self.lock:
            return list(self.requests)

    def stop(self):
        self.stopping.set()
        self.listener.close()
        with self.lock:
            connections = list(self.connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in [self.acceptor, *self.threads]:
            thread.join(timeout=5)

    def _accept(self):
        while not self.stopping.is_set():
            try:
                ready, _, _ = select.select([self.listener], [], [], 0.1)
                if ready:
                    connection, _ = self.listener.accept()
                    thread = threading.Thread(target=self._connection, args=(connection,), daemon=True)
                    self.threads = [t for t in self.threads if t.is_alive()] + [thread]
                    thread.start()
            except (OSError, ValueError):
                return

    def _connection(self, raw):
        with self.lock:
            self.connections.add(raw)
        connection = raw
        try:
            raw.settimeout(SILENCE_SECONDS)
            connection = self.context.wrap_socket(raw, server_side=True)
            pending = b""
            while not self.stopping.is_set():
                while b"\r\n\r\n" not in pending:
                    more = connection.recv(PIECE)
                    if not more:
                        return
                    pending += more
                head, pending = pending.split(b"\r\n\r\n", 1)
                if not self._answer(connection, head):
                    return
        except (OSError, ValueError):
            pass
        finally:
            with self.lock:
                self.connections.discard(raw)
            connection.close()
            raw.close()

    def _record(self, head):
        """The request's Request, recorded, and the rule that takes it."""
        first = last = None
        for line in head.decode("latin-1").split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "range":
                value = value.strip()
                if value.startswith("bytes=") and "," not in value:
                    a, _, b = value[6:].partition("-")
                    if a.isdigit():
                        first, last = int(a), (int(b) if b.isdigit() else None)
        with self.lock:
            request = Request(len(self.requests) + 1, first, last, time.monotonic(), len(self.data))
            self.requests.append(request)
            rule = next((r for r in self.rules if r.takes(request)), None)
            if rule is not None and rule.action == "switch file":
                self.data = read_file(rule.value)
                request.size = len(self.data)
                rule = None
            return request, rule, self.data

    def _answer(self, connection, head):
        """Answers one request; False when the connection is done."""
        target = head.split(b" ", 2)[1].decode("latin-1") if head.count(b" ") >= 2 else ""
        body = next((body for ending, body in self.beside.items() if target.endswith(ending)), None)
        if body is not None:
            return self._send(connection, None, "200 OK", [], body, 0, len(body))
        request, rule, data = self._record(head)
        action = rule.action if rule else "normal"
        request.answer = action
        size = len(data)
        if action == "no headers":
            return self._silence(connection, request)
        if action == "hang up":
            return False
        if action == "whole file" or request.first is None:
            return self._send(connection, request, "200 OK", [], data, 0, size)
        first = request.first
        last = size - 1 if request.last is None else min(request.last, size - 1)
        if first >= size:
            return self._send(connection, request, "416 Range Not Satisfiable", [f"Content-Range: bytes */{size}"],
                              data, 0, 0)
        if action == "another range":
            first, last = (max(0, min(at + rule.value, size - 1)) for at in (first, last))
        end = last + 1  # what the headers announce
        stop = end
        if action == "silent mid-body":
            stop = min(end, first + rule.value)
        elif action == "silent from offset":
            stop = rule.value
        headers = [f"Content-Range: bytes {first}-{last}/{size}"]
        if not self._send(connection, request, "206 Partial Content", headers, data, first, end, stop):
            return False
        return stop == end or self._silence(connection, request)

    def _send(self, connection, request, status, headers, data, first, end, stop=None):
        """Sends the status, headers and data[first:stop] of a body that
        the headers say is data[first:end]."""
        stop = end if stop is None else stop
        head = [f"HTTP/1.1 {status}", f"Content-Length: {end - first}", "Content-Type: application/zip",
                "Accept-Ranges: bytes", *headers]
        connection.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
        for at in range(first, stop, PIECE):
            if self.stopping.is_set():
                return False
            connection.sendall(data[at:min(at + PIECE, stop)])
        return True

    def _silence(self, connection, request):
        """Sends nothing more on the connection for SILENCE_SECONDS, or
        until the client closes it or the server stops; then it is closed."""
        request.silent_at = time.monotonic()
        deadline = request.silent_at + SILENCE_SECONDS
        raw = connection.fileno()
        while not self.stopping.is_set() and time.monotonic() < deadline:
            ready, _, _ = select.select([raw], [], [], 0.1)
            if ready:
                try:
                    if not connection.recv(PIECE):
                        break  # the client has closed it
                except (OSError, ValueError):
                    break
        return False


def read_file(path):
    with open(path, "rb") as f:
        return f.read()
