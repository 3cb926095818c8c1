#!/usr/bin/python3
"""A pyftpdlib server for the tests: 127.0.0.1 on a free port, one user with a
password and anonymous access, both with every right on the given root.
Prints "PORT <n>" once it listens. A fourth argument above 0 is how many
control connections one address may hold at once (more get 421).

ORVANE_PYFTPD_HIDE_DOTS makes LIST hide names that begin with "." as many
servers do: "1" unless LIST is given "-a", "always" even then. MLSD shows
every name either way (and, as pyftpdlib does, a link to a folder as the
folder)."""
import logging
import os
import warnings
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


HIDE_DOTS = os.environ.get("ORVANE_PYFTPD_HIDE_DOTS", "")


class Handler(FTPHandler):
    list_all = False

    def pre_process_command(self, line, cmd, arg):
        self.list_all = cmd == "LIST" and arg.lower() in ("-a", "-al", "-la")
        return FTPHandler.pre_process_command(self, line, cmd, arg)

    def ftp_LIST(self, path):
        if not HIDE_DOTS or (self.list_all and HIDE_DOTS != "always"):
            return FTPHandler.ftp_LIST(self, path)
        listdir = self.fs.listdir
        self.fs.listdir = lambda p: [n for n in listdir(p) if not n.startswith(".")]
        try:
            return FTPHandler.ftp_LIST(self, path)
        finally:
            del self.fs.listdir


def main():
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    logging.basicConfig(level=logging.WARNING)
    warnings.filterwarnings("ignore", message="write permissions assigned to anonymous user")
    auth = DummyAuthorizer()
    auth.add_user(user, password, root, perm="elradfmwMT")
    auth.add_anonymous(root, perm="elradfmwMT")
    handler = Handler
    handler.authorizer = auth
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib test server ready"
    server = FTPServer(("127.0.0.1", 0), handler)
    if len(sys.argv) > 4 and int(sys.argv[4]) > 0:
        server.max_cons_per_ip = int(sys.argv[4])
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
