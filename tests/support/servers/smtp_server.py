#!/usr/bin/python3
"""An SMTP server for the delivery tests: every accepted message becomes one
file in the mail folder, its first line the envelope ("From: ... To: ...
Auth: ..."), then the message as received. AUTH LOGIN accepts one user."""
import asyncio
import os
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

USER, PASSWORD = b"reporter", b"s3cret"


class Handler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        auth = session.authenticated and "login" or "none"
        head = "Envelope-From: %s\r\nEnvelope-To: %s\r\nAuth: %s\r\n\r\n" % (
            envelope.mail_from, ",".join(envelope.rcpt_tos), auth)
        name = "%d-%d.eml" % (time.time_ns(), self.count)
        temporary = os.path.join(self.folder, "." + name)
        with open(temporary, "wb") as f:
            f.write(head.encode() + envelope.original_content)
        os.rename(temporary, os.path.join(self.folder, name))
        return "250 Message accepted"


def authenticate(server, session, envelope, mechanism, data):
    ok = isinstance(data, LoginPassword) and data.login == USER and data.password == PASSWORD
    # handled=False: the server itself answers 535 to a wrong password.
    return AuthResult(success=ok, handled=False)


def main():
    host, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    controller = Controller(Handler(folder), hostname=host, port=port, authenticator=authenticate,
                            auth_require_tls=False, auth_required=False, decode_data=False)
    controller.start()
    try:
        asyncio.get_event_loop().run_until_complete(asyncio.Event().wait())
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
