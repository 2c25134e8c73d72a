#!/usr/bin/env python3
"""A client of the Tesmira link protocol, using only the standard library.

    link_client.py request SERVICE TOPIC ITEM
    link_client.py advise SERVICE TOPIC ITEM      (until Ctrl-C)
    link_client.py poke SERVICE TOPIC ITEM VALUE
    link_client.py list SERVICE [TOPIC]   (topics; or items, names, values)
    link_client.py --tcp PORT request SERVICE TOPIC ITEM

See docs/link-protocol.md for the protocol.
"""
import os
import socket
import sys

PAYLOAD_VERBS = {b"VALUE", b"DATA"}


class LinkError(Exception):
    def __init__(self, token, text):
        super().__init__(f"{token}: {text}")
        self.token = token


def service_folder():
    runtime = (os.environ.get("TESMIRA_RUNTIME_DIR")
               or os.environ.get("RUNTIME_DIRECTORY", "").split(":")[0]
               or os.environ.get("XDG_RUNTIME_DIR")
               or f"/tmp/tesmira-runtime-{os.getuid()}")
    return os.path.join(runtime, "dde")


def tcp_token(port):
    """The token a TCP client shows first; only the server's user can read it."""
    try:
        with open(os.path.join(service_folder(), f"tcp-{port}.token"), "rb") as f:
            return f.readline().strip()
    except OSError as e:
        raise LinkError("NO_SERVICE", f"no server of this user listens on TCP port {port} ({e})")


def find_socket(service):
    """Path of the service's socket; names compare without regard to case."""
    folder = service_folder()
    exact = os.path.join(folder, service)
    if os.path.exists(exact):
        return exact
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        if name.lower() == service.lower():
            return os.path.join(folder, name)
    raise LinkError("NO_SERVICE", f"no service {service} is running")


class LinkClient:
    def __init__(self, service, topic, tcp_port=None, timeout=5.0):
        if tcp_port is None:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            address = find_socket(service)
        else:
            token = tcp_token(tcp_port)
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            address = ("127.0.0.1", tcp_port)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(address)
        except OSError as e:
            raise LinkError("NO_SERVICE", f"{service} is not running ({e})")
        self.buf = b""
        self.pushed = []  # (item, value or None) kept while waiting for replies
        if tcp_port is not None:
            self._call(b"AUTH %s\n" % token)
        self._call(b"CONNECT %s %s\n" % (service.encode(), topic.encode()))

    def _read_message(self):
        while b"\n" not in self.buf:
            self._fill()
        line, self.buf = self.buf.split(b"\n", 1)
        fields = line.rstrip(b"\r").split()
        verb, args, payload = fields[0], fields[1:], None
        if verb in PAYLOAD_VERBS:
            n = int(args.pop())
            while len(self.buf) < n:
                self._fill()
            payload, self.buf = self.buf[:n], self.buf[n:]
        return verb, args, line, payload

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise LinkError("CLOSED", "the server closed the link")
        self.buf += chunk

    def _call(self, message):
        """Sends one message and returns (verb, payload) of its reply."""
        self.sock.sendall(message)
        while True:
            verb, args, line, payload = self._read_message()
            if verb == b"DATA":
                self.pushed.append((args[0].decode(), payload))
            elif verb == b"CHANGED":
                self.pushed.append((args[0].decode(), None))
            elif verb in (b"ERR", b"CLOSED"):
                text = line.split(None, 2)[2].decode() if len(line.split(None, 2)) > 2 else ""
                raise LinkError(args[0].decode(), text)
            else:
                return verb, payload

    def request(self, item):
        return self._call(b"REQUEST %s\n" % item.encode())[1]

    def advise(self, item, hot=True):
        self._call(b"ADVISE %s %s\n" % (item.encode(), b"HOT" if hot else b"WARM"))

    def poke(self, item, value: bytes):
        self._call(b"POKE %s %d\n" % (item.encode(), len(value)) + value)

    def next_push(self):
        """Next (item, value) of an advise link; value is None for a warm notice."""
        while not self.pushed:
            self.sock.settimeout(None)
            verb, args, line, payload = self._read_message()
            if verb == b"DATA":
                self.pushed.append((args[0].decode(), payload))
            elif verb == b"CHANGED":
                self.pushed.append((args[0].decode(), None))
            elif verb == b"CLOSED":
                raise LinkError("CLOSED", line.decode())
        return self.pushed.pop(0)


def list_service(service, topic, tcp):
    """Prints the topics of the service (System!Topics), or the items of one
    topic (TopicItemList) with their names (TopicItemNames) and values."""
    if topic is None:
        link = LinkClient(service, "System", tcp)
        for name in link.request("Topics").decode().split("\t"):
            print(name)
        return
    link = LinkClient(service, topic, tcp)
    items = link.request("TopicItemList").decode().split("\t")
    names = link.request("TopicItemNames").decode().split("\t")
    for item, name in zip(items, names + [""] * len(items)):
        value = link.request(item).decode("utf-8", "replace")
        print(f"{item:8} {name:12} {value!r}")


def main(argv):
    tcp = None
    if len(argv) > 2 and argv[0] == "--tcp":
        tcp, argv = int(argv[1]), argv[2:]
    if len(argv) in (2, 3) and argv[0] == "list":
        try:
            list_service(argv[1], argv[2] if len(argv) == 3 else None, tcp)
        except LinkError as e:
            print(f"link_client: {e}", file=sys.stderr)
            return 1
        return 0
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    command, service, topic, item = argv[:4]
    try:
        link = LinkClient(service, topic, tcp)
        if command == "request":
            print(repr(link.request(item).decode("utf-8", "replace")))
        elif command == "poke" and len(argv) == 5:
            link.poke(item, argv[4].encode())
        elif command == "advise":
            link.advise(item)
            while True:
                name, value = link.next_push()
                print(name, repr(value.decode("utf-8", "replace")), flush=True)
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except LinkError as e:
        print(f"link_client: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
