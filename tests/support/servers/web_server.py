#!/usr/bin/python3
"""An HTTP server for the delivery tests. A POST to /upload is stored whole
(request line, headers, body) as one file in the folder and answered 200;
/private wants Basic credentials reporter:s3cret (401 otherwise); any other
path is 404. With a certificate and key file after the folder, it speaks
HTTPS."""
import base64
import http.server
import os
import ssl
import sys
import time

FOLDER = sys.argv[3]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.path == "/private":
            expected = "Basic " + base64.b64encode(b"reporter:s3cret").decode()
            if self.headers.get("Authorization") != expected:
                return self.answer(401, "Unauthorized")
        elif self.path != "/upload":
            return self.answer(404, "Not Found")
        name = "%d.post" % time.time_ns()
        temporary = os.path.join(FOLDER, "." + name)
        with open(temporary, "wb") as f:
            f.write(self.requestline.encode() + b"\r\n" + bytes(self.headers) + body)
        os.rename(temporary, os.path.join(FOLDER, name))
        self.answer(200, "OK")

    def answer(self, code, text):
        payload = text.encode()
        self.send_response(code, text)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), Handler)
if len(sys.argv) > 5:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[4], sys.argv[5])
    server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
