#!/usr/bin/python3
"""A scripted FTP server for what real TLS servers do not do: answer AUTH TLS
and then speak plain text or drop the connection, refuse AUTH TLS after
offering it in FEAT, refuse PROT P. One scenario per run; prints "PORT <n>"
once it listens. Every command received is appended to the file named by
ORVANE_SCRIPT_RECORD, one line each, with "(tls)" after a command that came
over TLS; a PASS line keeps only its verb."""
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

SCENARIO = sys.argv[1]
#   "auth-then-plain"  answers AUTH TLS with 234 and goes on in plain text
#   "auth-then-close"  answers AUTH TLS with 234 and closes the connection
#   "auth-refused"     offers AUTH TLS in FEAT but refuses the command itself
#   "prot-refused"     TLS and login work, PROT P is refused with 536
#   "data-plain"       takes PROT P, then sends listings and files in plain text


def make_context():
    folder = tempfile.mkdtemp()
    pem = os.path.join(folder, "server.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=scripted-tls", "-keyout", pem, "-out", pem + ".crt"],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pem + ".crt", pem)
    return context


def main():
    context = make_context()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_and_close, args=(conn, context), daemon=True).start()


def serve_and_close(conn, context):
    try:
        serve(conn, context)
    except (OSError, ValueError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def record(line, tls):
    path = os.environ.get("ORVANE_SCRIPT_RECORD")
    if path:
        if line.upper().startswith("PASS"):
            line = "PASS"
        with open(path, "a", encoding="latin-1") as out:
            out.write(line + (" (tls)" if tls else "") + "\n")


def serve(conn, context):
    tls = False
    f = conn.makefile("rb")

    def send(text):
        conn.sendall(text.encode() + b"\r\n")

    send("220 scripted TLS server")
    data_listener = None
    while True:
        raw = f.readline()
        if not raw:
            return
        line = raw.decode("latin-1").rstrip("\r\n")
        record(line, tls)
        verb, _, arg = line.partition(" ")
        verb = verb.upper()
        if verb == "AUTH":
            if SCENARIO == "auth-refused":
                send("500 AUTH not understood")
                continue
            send("234 Proceed with negotiation.")
            if SCENARIO == "auth-then-close":
                conn.shutdown(socket.SHUT_RDWR)
                return
            if SCENARIO == "auth-then-plain":
                continue
            conn = context.wrap_socket(conn, server_side=True)
            f = conn.makefile("rb")
            tls = True
        elif verb == "USER":
            send("331 password please")
        elif verb == "PASS":
            send("230 logged in")
        elif verb == "PBSZ":
            send("200 PBSZ=0")
        elif verb == "PROT":
            if SCENARIO == "prot-refused" and arg.upper() != "C":
                send("536 PROT P not supported")
            else:
                send("200 ok")
        elif verb == "PWD":
            send('257 "/" is the current directory')
        elif verb == "FEAT":
            send("211-Features:")
            send(" AUTH TLS")
            send(" PBSZ")
            send(" PROT")
            send("211 End")
        elif verb in ("CWD", "TYPE"):
            send("250 ok")
        elif verb == "EPSV":
            data_listener = socket.socket()
            data_listener.bind(("127.0.0.1", 0))
            data_listener.listen(1)
            send("229 Entering Extended Passive Mode (|||%d|)" % data_listener.getsockname()[1])
        elif verb in ("LIST", "RETR") and data_listener is not None:
            data_listener.settimeout(10)
            send("150 opening data connection")
            data, _ = data_listener.accept()
            data_listener.close()
            data_listener = None
            data.sendall(b"-rw-r--r-- 1 u g 5 Jan 01 2020 clear.txt\r\n" if verb == "LIST"
                         else b"clear")
            data.close()
            send("226 done")
        elif verb == "QUIT":
            send("221 bye")
            return
        else:
            send("502 not implemented")


if __name__ == "__main__":
    main()
