#!/usr/bin/env python3
"""HTTP server of the media tests, on 127.0.0.1 only.

Serves the files of a folder (404 for anything missing) and logs every request
as one JSON line (path, Range and User-Agent headers). Special paths:
  /stall...        accepts the request and never answers
  /endless.wav     a WAV stream that never ends (a 440 Hz tone)

Arguments: root folder, port (0: a free one), log file. Prints
"Serving HTTP on 127.0.0.1 port N" once the socket listens.
"""
import http.server
import json
import math
import os
import struct
import sys
import time

ROOT, PORT, LOG = sys.argv[1], int(sys.argv[2]), sys.argv[3]


def endless_wav_chunks():
    rate = 48000
    header = b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, rate, rate * 4, 4, 16)
    header += b"data" + struct.pack("<I", 0xFFFFFFFF)
    yield header
    second = bytearray()
    for i in range(rate):
        v = int(12000 * math.sin(2 * math.pi * 440 * i / rate))
        second += struct.pack("<hh", v, v)
    second = bytes(second)
    while True:
        yield second


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(LOG, "a", encoding="utf-8") as log:
            log.write(json.dumps({"path": self.path, "range": self.headers.get("Range"),
                                  "agent": self.headers.get("User-Agent")}) + "\n")
        path = self.path.split("?", 1)[0]
        if path.startswith("/stall"):
            time.sleep(3600)
            return
        if path == "/endless.wav":
            self.send_response(200)
            self.send_header("Content-Type", "audio/wav")
            self.end_headers()
            try:
                for chunk in endless_wav_chunks():
                    self.wfile.write(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass
            return
        file = os.path.join(ROOT, os.path.basename(path))
        if not os.path.isfile(file):
            self.send_error(404)
            return
        with open(file, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", PORT), Handler)
print(f"Serving HTTP on 127.0.0.1 port {server.server_address[1]}", flush=True)
server.serve_forever()
