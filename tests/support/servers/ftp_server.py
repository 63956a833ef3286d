#!/usr/bin/python3
"""An FTP server for the delivery tests: user reporter, password s3cret,
may write into the folder given (and folders below it)."""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

host, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
authorizer = DummyAuthorizer()
authorizer.add_user("reporter", "s3cret", folder, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.passive_ports = range(60000, 60100)
FTPServer((host, port), handler).serve_forever()
