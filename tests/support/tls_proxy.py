#!/usr/bin/python3
"""The HTTPS side of the tests' update servers.

An HTTP proxy on 127.0.0.1: it answers CONNECT for the hosts it has a
certificate for, speaks TLS with the client itself and relays what the client
sends, now plain HTTP, to the test server on 127.0.0.1:UPSTREAM, which records
the requests and injects the faults as it does for plain HTTP. Plain requests
are relayed as they arrive.

    tls_proxy.py --lifeline PORT --upstream PORT --key KEY [--cert HOST=CERT]...

The test that starts it listens on 127.0.0.1:LIFELINE. Under Wine a Unix
program started from a Windows one has no process handle to wait for or end,
so the proxy connects there, sends its own port as the first line, reports one
line per CONNECT ("tls HOST ok", "tls HOST failed: REASON", "refused HOST"),
and ends as soon as that connection closes; it also ends on its own after
--lifetime seconds, whatever happens to the test.
"""
import argparse
import os
import socket
import ssl
import sys
import threading
import time

HEAD_LIMIT = 65536
HANDSHAKE_SECONDS = 20


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > HEAD_LIMIT:
            return None
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data


def copy(source, sink):
    try:
        while True:
            chunk = source.recv(65536)
            if not chunk:
                break
            sink.sendall(chunk)
    except OSError:
        pass


def relay(client, upstream):
    """Copies both ways until the test server ends its reply by closing."""
    forward = threading.Thread(target=copy, args=(client, upstream), daemon=True)
    forward.start()
    copy(upstream, client)
    # Ends the copy of the request too, wherever it waits; the client sees the
    # end of the connection as it would with the server itself.
    for sock in (client, upstream):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except (OSError, ValueError):
            pass
    forward.join(HANDSHAKE_SECONDS)


class Proxy:
    def __init__(self, args, lifeline):
        self.upstream = args.upstream
        self.lifeline = lifeline
        self.report_lock = threading.Lock()
        self.contexts = {}
        for pair in args.cert:
            host, _, cert = pair.partition("=")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, args.key)
            self.contexts[host.lower()] = context

    def report(self, line):
        with self.report_lock:
            try:
                self.lifeline.sendall(line.encode("utf-8", "replace") + b"\n")
            except OSError:
                os._exit(0)

    def serve(self, client):
        try:
            client.settimeout(HANDSHAKE_SECONDS)
            head = read_head(client)
            if head is None:
                return
            method, _, rest = head.partition(b" ")
            if method == b"CONNECT":
                client = self.tunnel(client, rest.split(b" ", 1)[0].decode("latin-1"))
                if client is None:
                    return
                head = b""
            client.settimeout(None)
            upstream = socket.create_connection(("127.0.0.1", self.upstream), timeout=HANDSHAKE_SECONDS)
            upstream.settimeout(None)
            upstream.sendall(head)
            relay(client, upstream)
            upstream.close()
        except OSError as error:
            self.report("error %s" % error)
        finally:
            client.close()

    def tunnel(self, client, target):
        host = target.rsplit(":", 1)[0].lower()
        context = self.contexts.get(host)
        if context is None:
            self.report("refused %s" % host)
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return None
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        try:
            secure = context.wrap_socket(client, server_side=True)
        except (OSError, ssl.SSLError) as error:
            self.report("tls %s failed: %s" % (host, error))
            return None
        self.report("tls %s ok" % host)
        return secure


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifeline", type=int, required=True)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--cert", action="append", default=[], metavar="HOST=CERT")
    parser.add_argument("--lifetime", type=float, default=900)
    args = parser.parse_args()

    # Started from Wine, the standard handles may be the test runner's pipe:
    # holding it open would keep the runner waiting.
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)

    lifeline = socket.create_connection(("127.0.0.1", args.lifeline), timeout=HANDSHAKE_SECONDS)
    lifeline.settimeout(None)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    try:
        proxy = Proxy(args, lifeline)
    except (OSError, ssl.SSLError) as error:
        lifeline.sendall(("0 %s\n" % error).encode())
        return 1
    lifeline.sendall(b"%d\n" % listener.getsockname()[1])

    def watch():
        try:
            while lifeline.recv(256):
                pass
        except OSError:
            pass
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()
    deadline = time.monotonic() + args.lifetime
    listener.settimeout(1)
    while time.monotonic() < deadline:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=proxy.serve, args=(client,), daemon=True).start()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
