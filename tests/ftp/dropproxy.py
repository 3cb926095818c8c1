#!/usr/bin/python3
"""An FTP proxy that loses connections on purpose, between the client and a
real server on 127.0.0.1. It forwards the control connection line by line and
every passive data connection byte by byte (PASV and EPSV replies are rewritten
to data ports of its own), counts what it moves, and drops:

  drop_at=N   a file's data connection after N bytes of it (listings never)
  drops=K     at most K times in all (default 1)
  mode=data   only the data connection (default)
  mode=both   the data and the control connection
  mode=421    the data connection, then "421" to the client and the control
              connection closed
  idle_ms=M   a logged-in control connection idle for M ms (no transfer under
              way) is closed by the proxy, as a server's idle timeout would
  idle_421=1  ... after a "421 Timeout." reply
  refuse_after_drop=1  once it has dropped, every new control connection is
              greeted with 421 and closed (a server that went away)

Usage: dropproxy.py <server port> <stats file> [key=value ...]. Prints
"PORT <n>" once it listens. The stats file holds one "key value" line each:
data_bytes (all data connections), file_bytes (file transfers only), drops,
logins, idle_closes, refused, and the number of each command sent (RETR, STOR, APPE, REST, SIZE).
It is rewritten before any reply reaches the client, after the bytes of a
transfer whose final reply it is."""
import os
import re
import socket
import sys
import threading

UPSTREAM = int(sys.argv[1])
STATS_FILE = sys.argv[2]
OPTS = dict(a.split("=", 1) for a in sys.argv[3:])
DROP_AT = int(OPTS.get("drop_at", "0"))
MODE = OPTS.get("mode", "data")
IDLE_MS = int(OPTS.get("idle_ms", "0"))
IDLE_421 = OPTS.get("idle_421", "0") == "1"
REFUSE_AFTER_DROP = OPTS.get("refuse_after_drop", "0") == "1"

lock = threading.Lock()
stats = {"data_bytes": 0, "file_bytes": 0, "drops": 0, "logins": 0, "idle_closes": 0,
         "refused": 0,
         "RETR": 0, "STOR": 0, "APPE": 0, "REST": 0, "SIZE": 0}
drops_left = [int(OPTS.get("drops", "1"))]
BUF = 1 << 20


write_lock = threading.Lock()


def write_stats():
    with write_lock:
        with lock:
            text = "".join("%s %d\n" % kv for kv in stats.items())
        tmp = STATS_FILE + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, STATS_FILE)


def close(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


class Session:
    def __init__(self, client):
        self.client = client
        self.server = socket.create_connection(("127.0.0.1", UPSTREAM))
        self.send_lock = threading.Lock()
        self.last_verb = ""
        self.relays = []
        self.closed = False
        self.logged_in = False

    def to_client(self, data):
        with self.send_lock:
            try:
                self.client.sendall(data)
            except OSError:
                pass

    def drop_control(self, reply=None):
        if reply:
            self.to_client(reply)
        self.closed = True
        close(self.client)
        close(self.server)

    def active_relays(self):
        return [t for t in self.relays if t.is_alive()]

    # Client to server: commands, watched for the transfer in flight.
    def commands(self):
        f = self.client.makefile("rb")
        while True:
            if IDLE_MS and self.logged_in:
                self.client.settimeout(IDLE_MS / 1000.0)
            try:
                line = f.readline()
            except (socket.timeout, TimeoutError):
                if self.active_relays():
                    continue
                self.drop_control(b"421 Timeout.\r\n" if IDLE_421 else None)
                with lock:
                    stats["idle_closes"] += 1
                write_stats()
                return
            except OSError:
                line = b""
            if not line:
                break
            self.client.settimeout(None)
            verb = line.split(b" ", 1)[0].strip().upper().decode("latin-1")
            with lock:
                if verb in stats:
                    stats[verb] += 1
            self.last_verb = verb
            try:
                self.server.sendall(line)
            except OSError:
                break
        self.drop_control()

    # Server to client: replies, passive ones rewritten to our own ports.
    def replies(self):
        f = self.server.makefile("rb")
        while True:
            try:
                line = f.readline()
            except OSError:
                line = b""
            if not line:
                break
            text = line.decode("latin-1")
            if text.startswith("227 "):
                m = re.search(r"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", text)
                port = int(m.group(5)) * 256 + int(m.group(6))
                mine = self.relay(port)
                line = ("227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n"
                        % (mine // 256, mine % 256)).encode()
            elif text.startswith("229 "):
                m = re.search(r"\|\|\|(\d+)\|", text)
                mine = self.relay(int(m.group(1)))
                line = ("229 Entering Extended Passive Mode (|||%d|).\r\n" % mine).encode()
            elif text.startswith("230 "):
                self.logged_in = True
                with lock:
                    stats["logins"] += 1
            elif text[:1] in "2345" and text[3:4] == " " and self.last_verb in (
                    "RETR", "STOR", "APPE", "LIST", "MLSD", "NLST"):
                # A transfer's final reply: its bytes are counted first.
                for t in list(self.relays):
                    t.join(10)
                self.relays = [t for t in self.relays if t.is_alive()]
            write_stats()
            self.to_client(line)
        self.drop_control()

    def relay(self, server_port):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(30)
        t = threading.Thread(target=self.data, args=(listener, server_port), daemon=True)
        self.relays.append(t)
        t.start()
        return listener.getsockname()[1]

    def data(self, listener, server_port):
        try:
            client, _ = listener.accept()
        except OSError:
            listener.close()
            return
        listener.close()
        try:
            server = socket.create_connection(("127.0.0.1", server_port))
        except OSError:
            close(client)
            return
        state = {"bytes": 0, "dropped": False}
        pumps = [threading.Thread(target=self.pump, args=(a, b, state), daemon=True)
                 for a, b in ((server, client), (client, server))]
        for p in pumps:
            p.start()
        for p in pumps:
            p.join()
        close(client)
        close(server)
        write_stats()

    def pump(self, src, dst, state):
        buf = bytearray(BUF)
        view = memoryview(buf)
        while True:
            try:
                n = src.recv_into(buf)
            except OSError:
                n = 0
            if n <= 0:
                break
            is_file = self.last_verb in ("RETR", "STOR", "APPE")
            cut = n
            drop = False
            with lock:
                if is_file and DROP_AT and drops_left[0] > 0 and state["bytes"] + n >= DROP_AT:
                    cut = DROP_AT - state["bytes"]
                    drops_left[0] -= 1
                    stats["drops"] += 1
                    drop = True
                state["bytes"] += cut
                stats["data_bytes"] += cut
                if is_file:
                    stats["file_bytes"] += cut
            try:
                if cut:
                    dst.sendall(view[:cut])
            except OSError:
                break
            if drop:
                state["dropped"] = True
                write_stats()
                close(src)
                close(dst)
                if MODE == "both":
                    self.drop_control()
                elif MODE == "421":
                    self.drop_control(b"421 Service not available, closing control connection.\r\n")
                return
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    write_stats()
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        if REFUSE_AFTER_DROP and stats["drops"] > 0:
            try:
                client.sendall(b"421 Service not available.\r\n")
            except OSError:
                pass
            close(client)
            with lock:
                stats["refused"] += 1
            write_stats()
            continue
        try:
            s = Session(client)
        except OSError:
            close(client)
            continue
        threading.Thread(target=s.commands, daemon=True).start()
        threading.Thread(target=s.replies, daemon=True).start()


if __name__ == "__main__":
    main()
