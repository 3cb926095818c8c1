#!/usr/bin/python3
"""A scripted FTP server that produces the faults real servers do not: a
dropped connection mid-download, 421 in mid-session, a REST taken and ignored, hostile listings, a PASV
reply pointing elsewhere, silence, refused uploads, short downloads, late
replies, trickling data. One scenario per run; prints "PORT <n>" once it
listens. Serves each connection on a thread of its own. Folders whose path
holds "missing" do not exist; LIST refuses arguments that look like options.
When ORVANE_SCRIPT_RECORD names a file, every command received is appended to
it, one line each, so a test can see what was (not) sent."""
import os
import socket
import sys
import threading
import time

SCENARIO = sys.argv[1]
PAYLOAD = bytes(range(256)) * 4096  # 1 MiB
# 1 MiB that repeats nowhere: each 4-byte word is its own index.
COUNTED = b"".join(i.to_bytes(4, "big") for i in range(1 << 18))
# Scenarios whose file is cut at its first download (at half, or after its
# last byte) and is another file at the next: what it is then. REST is honoured.
HALF = len(COUNTED) // 2
CHANGING = {
    "shrinks": COUNTED[: HALF - 1000],           # shorter than the part kept
    "shrinks-to-rest": COUNTED[: HALF - 65536],  # exactly where the next try begins
    "grows": COUNTED + COUNTED[:1000],           # longer, the same beginning
    "drop-at-end": COUNTED,                      # the same, cut after its last byte
}

# What each file uploaded in this run holds (by name): SIZE answers it.
STORED = {}

GARBAGE = (
    b"total 12\r\n"
    b"\x00\x01\x02\xff\xfe garbage line\r\n"
    b"-rw-r--r-- 1 user group 10 Jan 01 2020 ok.txt\r\n"
    b"drwxr-xr-x 2 user group 4096 Jan 01 2020 ..\r\n"
    b"drwxr-xr-x 2 user group 4096 Jan 01 2020 .\r\n"
    b"-rw-r--r-- 1 user group 10 Jan 01 2020 ../../etc/passwd\r\n"
    b"-rw-r--r-- 1 user group 10 Jan 01 2020 dir\\evil\r\n"
    b"-rw-r--r-- 1 user group 99999999999999999999999 Jan 01 2020 huge\r\n"
    b"drwxr-xr-x\r\n"
    b"-rw-r--r-- 1 user group 10 Jan 01 2020 \r\n"
    + b"x" * 70000 + b"\r\n"
)


# Scenarios that serve a tree: each maps a folder path (as entered by CWD) to
# its listing lines, or None when the path is no folder. Files are served for
# any RETR with SMALL as their bytes.
SMALL = b"0123456789abcdef"
LONG_NAME = "n" * 300


def ls_file(name, size=len(SMALL)):
    return "-rw-r--r-- 1 u g %d Jan 01 2020 %s" % (size, name)


def ls_dir(name):
    return "drwxr-xr-x 2 u g 4096 Jan 01 2020 %s" % name


def hostile_tree(path, listing=False):
    # Names from a stranger: every way out of the target, and two fine files.
    if path == "/":
        return [ls_dir("top")]
    if path == "/top":
        return [ls_file("../x"), ls_file("/tmp/x"), ls_file("a/b"), ls_dir(".."), ls_dir("."),
                ls_dir("../up"), ls_file("back\\slash"), ls_file("nul\0name"),
                ls_file(LONG_NAME), ls_file("ok.txt"), ls_dir("sub"),
                "lrwxrwxrwx 1 u g 1 Jan 01 2020 lnk -> /"]
    if path == "/top/sub":
        return [ls_file("inner.txt"), ls_file("../../escape")]
    return None


def selfloop_tree(path, listing=False):
    # A folder that lists itself: /top/self/self/... never ends.
    if path == "/":
        return [ls_dir("top")]
    if path.startswith("/top"):
        return [ls_file("f.txt"), ls_dir("self")]
    return None


def deep_tree(path, listing=False):
    # 120 nested levels under /top.
    if path == "/":
        return [ls_dir("top")]
    if path == "/top" or path.startswith("/top/"):
        depth = path.count("/d")
        return [ls_file("f.txt")] + ([ls_dir("d")] if depth < 120 else [])
    return None


CHANGES = {"n": 0}


def changing_tree(path, listing=False):
    # Each listing of /top differs from the one before.
    if path == "/":
        return [ls_dir("top")]
    if path == "/top":
        CHANGES["n"] += listing
        n = CHANGES["n"]
        return [ls_file("gen%d.txt" % n), ls_dir("sub%d" % n)]
    if path.startswith("/top/sub"):
        return [ls_file("x.txt")]
    return None


def unlistable_tree(path, listing=False):
    # /top/locked is entered but its listing is refused (a folder the
    # server's user may not read).
    if path == "/":
        return [ls_dir("top")]
    if path == "/top":
        return [ls_file("ok.txt"), ls_dir("locked")]
    if path == "/top/locked":
        return [ls_file("secret.txt")]
    return None


def rmd_refused_tree(path, listing=False):
    # /top lists one file; its RMD is refused (it holds what the listing hid).
    if path == "/":
        return [ls_dir("top")]
    if path == "/top":
        return [ls_file("f.txt")]
    return None


# "size-shrinks-later": 4 MiB at every RETR that begins at the start (announced,
# the first cut at half); from then on SIZE says 100,000 bytes less, and a RETR
# after REST announces the rest of the 4 MiB but ends where SIZE says.
BIG = b"".join(i.to_bytes(4, "big") for i in range(1 << 20))
SHRUNK = BIG[:len(BIG) - 100000]
# "mdtm-changes": the same size at every try, other first bytes after the
# first RETR (cut at half), and another MDTM.
CHANGED = b"\xff" * 1000 + COUNTED[1000:]
CHANGING["mdtm-changes"] = CHANGED
# "resume-long": the same file at every try, but the first RETR after the cut
# (after REST) sends 5,000 bytes past its end, which SIZE then counts too.
CHANGING["resume-long"] = COUNTED
OVERRUN = b"\xee" * 5000


def dash_a_tree(path, listing=False):
    # LIST reads every argument as a name, "-a" too, and /top holds a folder
    # of that name; its folder "lnk" has the name of /top's link to /keep.
    if path == "/":
        return [ls_dir("top"), ls_dir("keep")]
    if path == "/top":
        return [ls_dir("-a"), ls_file("f.txt"), "lrwxrwxrwx 1 u g 5 Jan 01 2020 lnk -> /keep"]
    if path == "/top/-a":
        return [ls_dir("lnk")]
    if path == "/top/-a/lnk":
        return [ls_file("own.txt")]
    if path in ("/keep", "/top/lnk"):
        return [ls_file("precious.txt")]
    return None


# "quiet-changes": gives no size anywhere (SIZE refused, none in 150); the
# file is COUNTED until the first RETR and QUIET_CHANGED after it (other bytes
# just before its middle). RETRs 1 and 3 are cut at half, RETR 4 ends 1,000
# bytes short with 226; the others send what was asked.
QUIET_CHANGED = COUNTED[:HALF - 100] + b"\xee" * 100 + COUNTED[HALF:]


def twin_tree(path, listing=False):
    # /top lists a file and a folder of one name, the file first.
    if path == "/":
        return [ls_dir("top")]
    if path == "/top":
        return [ls_file("d"), ls_dir("d"), ls_file("after.txt")]
    if path == "/top/d":
        return [ls_file("inner.txt")]
    return None


TREES = {"hostile-tree": hostile_tree, "dash-a-tree": dash_a_tree, "rmd-refused": rmd_refused_tree, "selfloop-tree": selfloop_tree,
         "deep-tree": deep_tree, "changing-tree": changing_tree,
         "unlistable-tree": unlistable_tree, "twin-tree": twin_tree}


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    state = {"gave421": False, "retr": 0}
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_and_close, args=(conn, state), daemon=True).start()


def serve_and_close(conn, state):
    try:
        serve(conn, state)
    except (OSError, ValueError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def serve(conn, state):
    if SCENARIO == "silent":
        time.sleep(3600)
        return
    if SCENARIO == "slow-greeting":
        time.sleep(1.5)
    # Replies go out at once: waiting for an acknowledgement of the one before
    # (Nagle) would add tens of milliseconds to every data transfer.
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    f = conn.makefile("rb")

    def send(line):
        conn.sendall(line.encode() + b"\r\n")

    if SCENARIO == "huge-greeting":
        # A greeting of 100 MB in 400,000 continuation lines.
        conn.sendall((b"220-" + b"g" * 246 + b"\r\n") * 400000)
    state["connections"] = state.get("connections", 0) + 1
    if SCENARIO == "relogin-421" and state["connections"] > 1:
        # Gone for good after the first connection: a two-line 421 greeting.
        send("421-Too many connections")
        send("421 closing")
        return
    send("220 scripted server")
    data_listener = None
    password = ""
    tree = TREES.get(SCENARIO)
    cwd = "/"
    rest = 0

    def current():
        return COUNTED if state["retr"] == 0 else CHANGING[SCENARIO]
    while True:
        raw = f.readline()
        if not raw:
            return
        line = raw.decode("latin-1").rstrip("\r\n")
        record = os.environ.get("ORVANE_SCRIPT_RECORD")
        if record and not line.upper().startswith("PASS"):
            with open(record, "a", encoding="latin-1") as out:
                out.write(line + "\n")
        verb, _, arg = line.partition(" ")
        verb = verb.upper()
        if verb == "USER":
            send("331 password please")
        elif verb == "PASS":
            password = arg
            if SCENARIO == "relogin-refused" and state["connections"] > 1:
                send("530 Login incorrect")
            elif SCENARIO == "echo-password":
                send("530 Login incorrect: password %s rejected" % password)
            else:
                send("230 logged in")
        elif verb == "PWD":
            send('257 "%s" is the current directory' % cwd if tree else '257 "/" is the current directory')
        elif verb == "FEAT":
            send("211-Features:")
            send(" SIZE")
            if SCENARIO in ("mlsd-fails", "many-entries"):
                send(" MLST type*;size*;modify*;")
            if SCENARIO == "mdtm-changes":
                send(" MDTM")
            send("211 End")
        elif verb == "CWD" and tree:
            target = arg if arg.startswith("/") else cwd.rstrip("/") + "/" + arg
            target = "/" + "/".join(p for p in target.split("/") if p)
            if tree(target) is None:
                send("550 no such folder")
            else:
                cwd = target
                send("250 ok")
        elif verb == "MLSD" and SCENARIO == "mlsd-fails":
            send("500 MLSD not understood")
        elif (verb in ("LIST", "MLSD", "NLST") and SCENARIO.startswith("list-425")
              and (SCENARIO != "list-425-later" or state.get("listed"))):
            # The data connection of a listing never comes about.
            data_listener = None
            send("425 Can't open data connection")
        elif verb == "SIZE" and SCENARIO == "list-425-slow-size":
            time.sleep(3)
            send("550 No such file")
        elif verb == "SIZE" and SCENARIO == "list-425-nosize":
            send("502 SIZE not implemented")
        elif verb == "SIZE" and SCENARIO == "list-425":
            name = arg.rsplit("/", 1)[-1]
            if name in STORED:
                send("213 %d" % STORED[name])
            elif name == "exists.bin":
                send("213 5")
            else:
                send("550 No such file")
        elif verb == "MDTM" and SCENARIO == "mdtm-changes":
            send("213 2020010100000%d" % min(state["retr"], 1))
        elif verb == "RMD" and SCENARIO == "rmd-refused":
            send("550 Directory not empty")
        elif verb == "SIZE" and SCENARIO == "quiet-changes":
            send("502 SIZE not implemented")
        elif verb == "REST" and SCENARIO == "quiet-changes":
            rest = int(arg)
            send("350 Restarting at %d" % rest)
        elif verb == "RETR" and SCENARIO == "quiet-changes":
            if data_listener is None:
                send("425 no data connection")
                continue
            state["retr"] += 1
            n = state["retr"]
            body = (COUNTED if n == 1 else QUIET_CHANGED)[rest:]
            rest = 0
            send("150 opening data connection")
            data_listener.settimeout(10)
            data, _ = data_listener.accept()
            data_listener.close()
            data_listener = None
            if n in (1, 3):
                data.sendall(body[:HALF])
                data.close()
                conn.shutdown(socket.SHUT_RDWR)
                return
            data.sendall(body[:-1000] if n == 4 else body)
            data.close()
            send("226 done")
        elif verb == "REST" and SCENARIO == "size-shrinks-later":
            rest = int(arg)
            send("350 Restarting at %d" % rest)
        elif verb == "SIZE" and SCENARIO == "size-shrinks-later":
            send("213 %d" % (len(BIG) if state["retr"] == 0 else len(SHRUNK)))
        elif verb == "RETR" and SCENARIO == "size-shrinks-later":
            if data_listener is None:
                send("425 no data connection")
                continue
            first = state["retr"] == 0
            state["retr"] += 1
            send("150 Opening BINARY mode data connection for f (%d bytes)." % (len(BIG) - rest))
            data_listener.settimeout(10)
            data, _ = data_listener.accept()
            data_listener.close()
            data_listener = None
            if first:
                data.sendall(BIG[: len(BIG) // 2])
                data.close()
                conn.shutdown(socket.SHUT_RDWR)
                return
            # After REST it ends where SIZE says; a whole RETR sends it all.
            data.sendall(SHRUNK[rest:] if rest else BIG)
            rest = 0
            data.close()
            send("226 done")
        elif verb == "LIST" and arg and SCENARIO == "dash-a-tree":
            # The argument names what is listed, whatever it begins with.
            lines = tree(cwd.rstrip("/") + "/" + arg)
            if lines is None or data_listener is None:
                send("550 no such file")
                continue
            send("150 opening data connection")
            data_listener.settimeout(10)
            data, _ = data_listener.accept()
            data_listener.close()
            data_listener = None
            data.sendall("".join(l + "\r\n" for l in lines).encode("latin-1"))
            data.close()
            send("226 done")
        elif verb == "LIST" and arg.startswith("-"):
            send("501 LIST takes no options here")
        elif verb in ("EPRT", "PORT"):
            send("200 ok")  # and never connects back
        elif verb == "CWD" and "missing" in arg:
            send("550 no such folder")
        elif verb == "CWD":
            if SCENARIO == "421" and not state["gave421"]:
                state["gave421"] = True
                send("421 Service not available, closing control connection")
                return
            send("250 ok")
        elif verb == "TYPE":
            send("200 ok")
        elif verb == "REST" and SCENARIO in CHANGING:
            rest = int(arg)
            send("350 Restarting at %d" % rest)
        elif verb == "SIZE" and SCENARIO in CHANGING:
            overrun = SCENARIO == "resume-long" and state["retr"] == 1
            send("213 %d" % (len(current()) + (len(OVERRUN) if overrun else 0)))
        elif verb == "REST" and SCENARIO == "rest-ignored":
            send("350 Restarting at %s" % arg)
        elif verb == "EPSV":
            if SCENARIO == "pasv-elsewhere":
                send("500 no EPSV here")
                continue
            data_listener = socket.socket()
            data_listener.bind(("127.0.0.1", 0))
            data_listener.listen(1)
            send("229 Entering Extended Passive Mode (|||%d|)" % data_listener.getsockname()[1])
        elif verb == "PASV":
            data_listener = socket.socket()
            data_listener.bind(("127.0.0.1", 0))
            data_listener.listen(1)
            p = data_listener.getsockname()[1]
            send("227 Entering Passive Mode (10,255,255,1,%d,%d)" % (p // 256, p % 256))
        elif verb in ("DELE", "RMD") and tree:
            send("250 removed")
        elif verb == "SIZE" and SCENARIO == "stor-cut-slow-size":
            time.sleep(3)
            send("213 65536")
        elif verb == "SIZE" and arg.rsplit("/", 1)[-1] in STORED:
            # ORVANE_SIZE_REPLY words the reply as servers do ("%d" the size).
            form = os.environ.get("ORVANE_SIZE_REPLY", "213 %d")
            n = STORED[arg.rsplit("/", 1)[-1]]
            send(form % n if "%d" in form else form)
        elif verb == "SIZE" and tree:
            send("213 %d" % len(SMALL))
        elif verb == "SIZE":
            if SCENARIO == "short-retr-quiet":
                send("502 SIZE not implemented")
            else:
                send("213 %d" % len(PAYLOAD))
        elif verb in ("LIST", "RETR", "STOR", "APPE", "NLST", "MLSD"):
            if verb == "LIST" and SCENARIO == "unlistable-tree" and cwd == "/top/locked":
                send("550 Permission denied")
                continue
            if verb == "STOR" and SCENARIO == "stor-452":
                send("452 Insufficient storage space")
                continue
            if data_listener is None:
                if SCENARIO == "no-connect-back":
                    send("150 opening data connection")
                    time.sleep(3600)
                send("425 no data connection")
                continue
            data_listener.settimeout(10)
            if verb == "RETR" and SCENARIO == "short-retr":
                send("150 Opening BINARY mode data connection (%d bytes)." % len(PAYLOAD))
            else:
                send("150 opening data connection")
            data, _ = data_listener.accept()
            data_listener.close()
            data_listener = None
            if verb == "RETR":
                if SCENARIO in ("short-retr", "short-retr-quiet"):
                    data.sendall(PAYLOAD[: len(PAYLOAD) // 2])
                    data.close()
                    send("226 done")
                    continue
                if SCENARIO == "late-226":
                    data.sendall(PAYLOAD)
                    data.close()
                    time.sleep(1.5)
                    send("226 done")
                    continue
                if SCENARIO in CHANGING:
                    body = current()[rest:]
                    rest = 0
                    state["retr"] += 1
                    if state["retr"] == 1:
                        # Cut: the control connection goes before any reply.
                        data.sendall(body if SCENARIO == "drop-at-end" else body[:HALF])
                        data.close()
                        conn.shutdown(socket.SHUT_RDWR)
                        return
                    if SCENARIO == "resume-long" and state["retr"] == 2:
                        body += OVERRUN
                    data.sendall(body)
                    data.close()
                    send("226 done")
                    continue
                state["retr"] += 1
                if SCENARIO == "rest-ignored":
                    # Cut once; later RETRs send the whole file whatever REST said.
                    if state["retr"] == 1:
                        data.sendall(COUNTED[: len(COUNTED) // 2])
                        data.close()
                        conn.shutdown(socket.SHUT_RDWR)
                        return
                    data.sendall(COUNTED)
                    data.close()
                    send("226 done")
                    continue
                if SCENARIO in ("drop-retr", "relogin-refused", "relogin-421"):
                    data.sendall(PAYLOAD[: len(PAYLOAD) // 2])
                    data.close()
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                data.sendall(SMALL if tree else PAYLOAD)
                data.close()
                send("226 done")
            elif verb == "STOR" and SCENARIO == "stor-cut-slow-size":
                got = 0
                while got < 65536:
                    chunk = data.recv(65536 - got)
                    if not chunk:
                        break
                    got += len(chunk)
                data.close()
                conn.shutdown(socket.SHUT_RDWR)
                return
            elif verb in ("STOR", "APPE"):
                got = 0
                while True:
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    got += len(chunk)
                data.close()
                # "stor-short" keeps half of what came and still reports the
                # transfer complete, as a server does whose data connection
                # was cut cleanly on the way.
                # "stor-short-once" keeps all but 1,000 bytes of the first
                # upload only. APPE adds to what the file holds.
                name = arg.rsplit("/", 1)[-1]
                if SCENARIO == "stor-short":
                    got //= 2
                elif SCENARIO == "stor-short-once" and not state.get("shortened"):
                    state["shortened"] = True
                    got -= 1000
                STORED[name] = got + (STORED.get(name, 0) if verb == "APPE" else 0)
                if SCENARIO == "stor-552":
                    send("552 Exceeded storage allocation")
                else:
                    send("226 stored")
            else:
                if tree:
                    lines = tree(cwd, listing=True) or []
                    data.sendall("".join(l + "\r\n" for l in lines).encode("latin-1"))
                elif SCENARIO == "garbage-list":
                    data.sendall(GARBAGE)
                elif SCENARIO == "trickle":
                    for byte in b"-rw-r--r-- 1 u g 1 Jan 01 2020 slow\r\n" * 100000:
                        data.sendall(bytes([byte]))
                        time.sleep(0.2)
                elif SCENARIO == "many-entries":
                    data.sendall(b" x\r\n" * 1100000)
                elif SCENARIO in ("list-cut", "list-cut-always") and not state.get("cut"):
                    # Half a listing, then the control connection goes.
                    state["cut"] = SCENARIO == "list-cut"
                    data.sendall(b"".join(b"-rw-r--r-- 1 u g 1 Jan 01 2020 f%d\r\n" % i
                                          for i in range(500)))
                    data.close()
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                elif SCENARIO == "list-cut":
                    data.sendall(b"".join(b"-rw-r--r-- 1 u g 1 Jan 01 2020 f%d\r\n" % i
                                          for i in range(1000)))
                elif SCENARIO == "dash-name":
                    data.sendall(b"-rw-r--r-- 1 u g 3 Jan 01 2020 -la\r\n")
                elif SCENARIO == "list-425-later":
                    state["listed"] = True
                    data.sendall(b"-rw-r--r-- 1 u g 5 Jan 01 2020 exists.bin\r\n"
                                 b"drwxr-xr-x 2 u g 4096 Jan 01 2020 sub\r\n")
                else:
                    data.sendall(b"-rw-r--r-- 1 u g 1048576 Jan 01 2020 file.bin\r\n"
                                 b"drwxr-xr-x 2 u g 4096 Jan 01 2020 sub\r\n")
                data.close()
                send("226 done")
        elif verb == "QUIT":
            send("221 bye")
            return
        else:
            send("502 not implemented")


if __name__ == "__main__":
    main()
