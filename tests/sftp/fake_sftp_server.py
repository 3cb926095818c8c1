#!/usr/bin/python3
"""A scripted SFTP server (version 3) on standard input and output, started in
the place of ssh (sftp::SshTarget.program) for faults real servers do not
produce. The arguments ssh would get are ignored but for "-F <file>": that
file (the fixture's) holds the scenario as JSON:

  {"scenario": "...", "source": "<local file served as /srv/file.bin>",
   "state": "<folder for the connection count and the request log>", ...}

Scenarios:
  short-reads     every READ gets less than it asked for (a third, at least 1)
  size-over=N     the sizes given (FSTAT, STAT, LSTAT) are N bytes more than
                  the file gives before EOF; size-under=N: N bytes fewer
  hostile-names   /srv/hostile lists names no local path may be made of,
                  beside a file "fine.txt" and a folder "ok" holding "inner.txt"
  cut-at=N        the first connection ends (the process exits) once N bytes
                  of file data have gone out; later connections serve whole

The server's files: /srv (the login folder), /srv/file.bin (the source). Each
connection appends "<connection> READ <offset> <length>" lines to state/log.
"""
import json
import os
import struct
import sys

SSH_FXP_INIT, SSH_FXP_VERSION, SSH_FXP_OPEN, SSH_FXP_CLOSE, SSH_FXP_READ = 1, 2, 3, 4, 5
SSH_FXP_WRITE, SSH_FXP_LSTAT, SSH_FXP_FSTAT, SSH_FXP_OPENDIR, SSH_FXP_READDIR = 6, 7, 8, 11, 12
SSH_FXP_REALPATH, SSH_FXP_STAT = 16, 17
SSH_FXP_STATUS, SSH_FXP_HANDLE, SSH_FXP_DATA, SSH_FXP_NAME, SSH_FXP_ATTRS = 101, 102, 103, 104, 105
OK, EOF, NO_SUCH_FILE, PERMISSION_DENIED, FAILURE, OP_UNSUPPORTED = 0, 1, 2, 3, 4, 8

ATTR_SIZE, ATTR_PERMISSIONS, ATTR_ACMODTIME = 0x1, 0x4, 0x8
S_IFDIR, S_IFREG = 0o040000, 0o100000
MTIME = 1700000000


def config():
    args = sys.argv[1:]
    for i, a in enumerate(args[:-1]):
        if a == "-F":
            with open(args[i + 1]) as f:
                return json.load(f)
    sys.stderr.write("fake_sftp_server: no scenario file (-F)\n")
    sys.exit(2)


CONF = config()
SCENARIO = CONF.get("scenario", "")
STATE = CONF["state"]
with open(CONF["source"], "rb") as f:
    DATA = f.read()


def option(name):
    """The number after "name=" in the scenario, or None."""
    prefix = name + "="
    return int(SCENARIO[len(prefix):]) if SCENARIO.startswith(prefix) else None


def next_connection():
    path = os.path.join(STATE, "connections")
    try:
        with open(path) as f:
            n = int(f.read().strip() or "0")
    except FileNotFoundError:
        n = 0
    n += 1
    with open(path, "w") as f:
        f.write(str(n))
    return n


CONNECTION = next_connection()
LOG = open(os.path.join(STATE, "log"), "a")
CUT_AT = option("cut-at") if CONNECTION == 1 else None
sent_data = 0


def u32(n):
    return struct.pack(">I", n)


def u64(n):
    return struct.pack(">Q", n)


def string(b):
    if isinstance(b, str):
        b = b.encode("utf-8", "surrogateescape")
    return u32(len(b)) + b


def attrs(size, folder):
    mode = (S_IFDIR | 0o755) if folder else (S_IFREG | 0o644)
    return u32(ATTR_SIZE | ATTR_PERMISSIONS | ATTR_ACMODTIME) + u64(size) + u32(mode) + \
        u32(MTIME) + u32(MTIME)


def shown_size():
    over, under = option("size-over"), option("size-under")
    if over is not None:
        return len(DATA) + over
    if under is not None:
        return max(0, len(DATA) - under)
    return len(DATA)


# The folders and what they hold: name -> (is a folder, size).
FOLDERS = {
    b"/srv": [(b"file.bin", False, None), (b"hostile", True, 0)],
    b"/srv/hostile/ok": [(b"inner.txt", False, 5)],
}
HOSTILE = [b".", b"..", b"a/b", b"../escape", b"/etc/passwd", b"back\\slash", b"..\\up",
           b"cr\rlf\nname", b"", b"fine.txt", b"ok"]
if SCENARIO == "hostile-names":
    FOLDERS[b"/srv/hostile"] = [(n, n in (b".", b"..", b"a/b", b"../escape", b"ok"), 5)
                                for n in HOSTILE]
SMALL = {b"/srv/hostile/fine.txt": b"fine\n", b"/srv/hostile/ok/inner.txt": b"inner"}


def lookup(path):
    """(is a folder, size, bytes) of a path, or None."""
    if path in FOLDERS:
        return True, 0, None
    if path == b"/srv/file.bin":
        return False, shown_size(), DATA
    if path in SMALL:
        return False, len(SMALL[path]), SMALL[path]
    return None


def send(kind, body):
    out = u32(len(body) + 1) + bytes([kind]) + body
    view = memoryview(out)
    while view:
        n = os.write(1, view)
        view = view[n:]


def status(rid, code, message=""):
    send(SSH_FXP_STATUS, u32(rid) + u32(code) + string(message) + string(""))


def read_exact(n):
    buf = b""
    while len(buf) < n:
        chunk = os.read(0, n - len(buf))
        if not chunk:
            sys.exit(0)
        buf += chunk
    return buf


class Reader:
    def __init__(self, body):
        self.body, self.at = body, 0

    def u32(self):
        v = struct.unpack(">I", self.body[self.at:self.at + 4])[0]
        self.at += 4
        return v

    def u64(self):
        v = struct.unpack(">Q", self.body[self.at:self.at + 8])[0]
        self.at += 8
        return v

    def string(self):
        n = self.u32()
        v = self.body[self.at:self.at + n]
        self.at += n
        return v


def normal(path):
    if not path.startswith(b"/"):
        path = b"/srv/" + path
    parts = []
    for p in path.split(b"/"):
        if p in (b"", b"."):
            continue
        if p == b"..":
            if parts:
                parts.pop()
        else:
            parts.append(p)
    return b"/" + b"/".join(parts)


handles = {}  # handle -> ("file", bytes) or ("dir", entries left or None when read)


def serve(kind, r):
    global sent_data
    rid = r.u32()
    if kind == SSH_FXP_REALPATH:
        path = normal(r.string())
        send(SSH_FXP_NAME, u32(rid) + u32(1) + string(path) + string(path) + u32(0))
    elif kind in (SSH_FXP_STAT, SSH_FXP_LSTAT):
        found = lookup(normal(r.string()))
        if found is None:
            status(rid, NO_SUCH_FILE, "No such file")
        else:
            send(SSH_FXP_ATTRS, u32(rid) + attrs(found[1], found[0]))
    elif kind == SSH_FXP_OPEN:
        path = normal(r.string())
        flags = r.u32()
        found = lookup(path)
        if flags != 1:
            status(rid, PERMISSION_DENIED, "Read only")
        elif found is None or found[0]:
            status(rid, NO_SUCH_FILE, "No such file")
        else:
            h = b"h%d" % len(handles)
            handles[h] = ("file", found[2], path)
            send(SSH_FXP_HANDLE, u32(rid) + string(h))
    elif kind == SSH_FXP_OPENDIR:
        path = normal(r.string())
        if path not in FOLDERS:
            status(rid, NO_SUCH_FILE, "No such folder")
        else:
            h = b"h%d" % len(handles)
            handles[h] = ("dir", list(FOLDERS[path]), path)
            send(SSH_FXP_HANDLE, u32(rid) + string(h))
    elif kind == SSH_FXP_READDIR:
        h = handles.get(r.string())
        if h is None or h[0] != "dir":
            status(rid, FAILURE, "Bad handle")
        elif not h[1]:
            status(rid, EOF, "End of folder")
        else:
            entries, body = h[1], b""
            for name, folder, size in entries:
                if size is None:
                    size = shown_size()
                longname = "%s 1 u g %d Jan 1 2024 x" % ("drwxr-xr-x" if folder else "-rw-r--r--",
                                                         size)
                body += string(name) + string(longname) + attrs(size, folder)
            count = len(entries)
            del entries[:]
            send(SSH_FXP_NAME, u32(rid) + u32(count) + body)
    elif kind == SSH_FXP_FSTAT:
        h = handles.get(r.string())
        if h is None or h[0] != "file":
            status(rid, FAILURE, "Bad handle")
        else:
            found = lookup(h[2])
            send(SSH_FXP_ATTRS, u32(rid) + attrs(found[1], False))
    elif kind == SSH_FXP_READ:
        h = handles.get(r.string())
        offset, length = r.u64(), r.u32()
        LOG.write("%d READ %d %d\n" % (CONNECTION, offset, length))
        LOG.flush()
        if h is None or h[0] != "file":
            status(rid, FAILURE, "Bad handle")
            return
        data = h[1]
        if offset >= len(data):
            status(rid, EOF, "End of file")
            return
        n = length
        if SCENARIO == "short-reads":
            n = max(1, length // 3)
        chunk = data[offset:offset + n]
        if CUT_AT is not None and sent_data + len(chunk) > CUT_AT:
            sys.exit(0)  # the connection ends here
        sent_data += len(chunk)
        send(SSH_FXP_DATA, u32(rid) + string(chunk))
    elif kind == SSH_FXP_CLOSE:
        handles.pop(r.string(), None)
        status(rid, OK, "Closed")
    else:
        status(rid, OP_UNSUPPORTED, "Not here")


def main():
    header = read_exact(5)
    length, kind = struct.unpack(">IB", header)
    read_exact(length - 1)
    if kind != SSH_FXP_INIT:
        sys.exit(1)
    send(SSH_FXP_VERSION, u32(3))
    while True:
        length, kind = struct.unpack(">IB", read_exact(5))
        body = read_exact(length - 1)
        serve(kind, Reader(body))


if __name__ == "__main__":
    main()
