#!/usr/bin/python3
"""The demo session's FTP server: pyftpdlib on 127.0.0.1 at a fixed port,
serving one folder to the user "demo" (password "demo") and to anonymous
users, with every right. Prints "PORT <n>" once it listens.
Usage: demo_server.py ROOT PORT"""
import logging
import sys
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port = sys.argv[1], int(sys.argv[2])
    logging.basicConfig(level=logging.WARNING)
    warnings.filterwarnings("ignore", message="write permissions assigned to anonymous user")
    auth = DummyAuthorizer()
    auth.add_user("demo", "demo", root, perm="elradfmwMT")
    auth.add_anonymous(root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    handler.permit_foreign_addresses = False
    handler.passive_ports = range(60000, 60400)
    handler.banner = "Orvane demo server ready"
    server = FTPServer(("127.0.0.1", port), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
