#!/usr/bin/env python3
# Stands in for ssh: speaks the server's side of SFTP version 3 on standard
# input and output, and misbehaves in the one way its host name chooses (the
# last but one argument, as ssh gets it: "... -s -- HOST sftp").
#
# What it serves: "/f", a file of 300000 bytes; "/d", a folder whose names
# are hostile ("a/b", "..\\x", CR/LF, bytes that are not UTF-8, 300 bytes
# long), each a file of 5 bytes.
#
# Ways to misbehave:
#   short     FSTAT and STAT say 300000 bytes; reads end (EOF) at 100000
#   extra     a read gets more bytes than it asked for
#   unasked   a read is answered with an id that was never asked
#   huge      a read is answered with a packet announced at 4 GiB
#   statusok  a read is answered "OK" with no data
#   endless   a folder read never ends: names come for ever
#   names     (none: the hostile folder is served as it is)
import os
import struct
import sys

SIZE = 300000
SHORT = 100000


def pattern(n):
    return bytes((i * 131 + i // 251) & 0xFF for i in range(n))


FILE = pattern(SIZE)
HOSTILE = [
    b"a/b",
    b"../escaped",
    b"..\\escaped",
    b"\\",
    b"line\r\nbreak",
    b"\xff\xfe not utf-8",
    b"n" * 300,
    b"plain",
]

mode = sys.argv[-2] if len(sys.argv) >= 2 else "names"
inp = sys.stdin.buffer
out = sys.stdout.buffer


def u32(n):
    return struct.pack(">I", n)


def u64(n):
    return struct.pack(">Q", n)


def sstr(b):
    return u32(len(b)) + b


def send(ptype, payload):
    out.write(u32(len(payload) + 1) + bytes([ptype]) + payload)
    out.flush()


def attrs(size=None, folder=False):
    flags = 0x4 | 0x8
    body = b""
    if size is not None:
        flags |= 0x1
        body += u64(size)
    body += u32(0o40755 if folder else 0o100644)
    body += u32(1600000000) + u32(1600000000)
    return u32(flags) + body


def status(rid, code, msg=b""):
    send(101, u32(rid) + u32(code) + sstr(msg) + sstr(b""))


def read_exact(n):
    data = b""
    while len(data) < n:
        chunk = inp.read(n - len(data))
        if not chunk:
            sys.exit(0)
        data += chunk
    return data


class Reader:
    def __init__(self, body):
        self.b = body
        self.at = 0

    def u32(self):
        v = struct.unpack(">I", self.b[self.at:self.at + 4])[0]
        self.at += 4
        return v

    def u64(self):
        v = struct.unpack(">Q", self.b[self.at:self.at + 8])[0]
        self.at += 8
        return v

    def str(self):
        n = self.u32()
        v = self.b[self.at:self.at + n]
        self.at += n
        return v


def lookup(path):
    if path in (b"/", b"/d"):
        return ("folder", None)
    if path == b"/f":
        return ("file", FILE)
    if path.startswith(b"/d/") and path[3:] in HOSTILE:
        return ("file", b"evil\n")
    return None


def announced(content):
    return SIZE if mode == "short" and content is FILE else len(content)


ENDLESS = b"".join(sstr(b"e%d" % i) + sstr(b"-rw-r--r-- e") + attrs(size=1) for i in range(1000))
handles = {}
listed = set()

while True:
    length = struct.unpack(">I", read_exact(4))[0]
    body = read_exact(length)
    ptype = body[0]
    r = Reader(body[1:])
    if ptype == 1:  # INIT
        send(2, u32(3))
        continue
    rid = r.u32()
    if ptype == 16:  # REALPATH
        p = r.str()
        p = os.path.normpath(b"/" + p if not p.startswith(b"/") else p)
        p = b"/" if p == b"//" else p
        send(104, u32(rid) + u32(1) + sstr(p) + sstr(p) + attrs())
    elif ptype in (7, 17):  # LSTAT, STAT
        found = lookup(r.str())
        if not found:
            status(rid, 2, b"No such file")
        elif found[0] == "folder":
            send(105, u32(rid) + attrs(folder=True))
        else:
            send(105, u32(rid) + attrs(size=announced(found[1])))
    elif ptype in (3, 11):  # OPEN, OPENDIR
        p = r.str()
        found = lookup(p)
        want = "file" if ptype == 3 else "folder"
        if not found or found[0] != want:
            status(rid, 2, b"No such file")
        else:
            h = b"h%d" % len(handles)
            handles[h] = (p, found[1])
            send(102, u32(rid) + sstr(h))
    elif ptype == 8:  # FSTAT
        h = r.str()
        send(105, u32(rid) + attrs(size=announced(handles[h][1])))
    elif ptype == 12:  # READDIR
        h = r.str()
        if mode == "endless":
            send(104, u32(rid) + u32(1000) + ENDLESS)
        elif h in listed:
            status(rid, 1, b"End of file")
        else:
            listed.add(h)
            names = b"".join(sstr(n) + sstr(b"-rw-r--r-- x") + attrs(size=5) for n in HOSTILE)
            send(104, u32(rid) + u32(len(HOSTILE)) + names)
    elif ptype == 5:  # READ
        h = r.str()
        offset = r.u64()
        want = r.u32()
        content = handles[h][1]
        end = SHORT if mode == "short" and content is FILE else len(content)
        if offset >= end:
            status(rid, 1, b"End of file")
        elif mode == "extra" and content is FILE:
            send(103, u32(rid) + sstr(content[offset:offset + want] + b"x" * 100))
        elif mode == "unasked" and content is FILE:
            send(103, u32(rid + 1000) + sstr(content[offset:offset + want]))
        elif mode == "huge" and content is FILE:
            out.write(u32(0xFFFFFFFF) + bytes([103]) + u32(rid) + b"x" * 1000)
            out.flush()
        elif mode == "statusok" and content is FILE:
            status(rid, 0, b"OK")
        else:
            send(103, u32(rid) + sstr(content[offset:min(offset + want, end)]))
    elif ptype == 4:  # CLOSE
        r.str()
        status(rid, 0)
    else:
        status(rid, 8, b"Not supported")
