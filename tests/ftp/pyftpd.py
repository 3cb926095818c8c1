#!/usr/bin/python3
"""A pyftpdlib server for the tests: 127.0.0.1 on a free port, one user with a
password and anonymous access, both with every right on the given root.
Prints "PORT <n>" once it listens."""
import logging
import warnings
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    logging.basicConfig(level=logging.WARNING)
    warnings.filterwarnings("ignore", message="write permissions assigned to anonymous user")
    auth = DummyAuthorizer()
    auth.add_user(user, password, root, perm="elradfmwMT")
    auth.add_anonymous(root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib test server ready"
    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
