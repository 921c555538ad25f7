#!/usr/bin/env python3
"""The upload back end of the local remote support service.

nginx terminates TLS on loopback and hands every request to this server over
plain HTTP on 127.0.0.1. It answers:

  POST /upload/[SUB/]   multipart/form-data; every file part is stored as
                        DIR/SUB/<file name> (written under a hidden temporary
                        name, renamed into place when complete). 201 with
                        {"saved": [{"name": ..., "size": ...}]}.
  POST /echo            the JSON body back, as application/json.
  GET  /files/PATH      a stored file.
  GET  /bigheader?n=N   an empty answer with one header line of N bytes.

SUB and file names are single path components of letters, digits, ".", "_"
and "-", not starting with "."; anything else is refused with 400, and no
symbolic link below DIR is followed.
"""
import argparse
import json
import os
import re
import sys
import tempfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

NAME = re.compile(r"^[A-Za-z0-9_-][A-Za-z0-9._-]{0,254}$")
CHUNK = 1 << 20
MAX_PART_HEADERS = 16384
MAX_ECHO = 1 << 20


class BadRequest(Exception):
    pass


class Body:
    """Reads exactly Content-Length bytes of the request body, in chunks."""

    def __init__(self, rfile, length):
        self.rfile, self.left = rfile, length

    def read(self):
        if self.left <= 0:
            return b""
        data = self.rfile.read(min(CHUNK, self.left))
        if not data:
            raise BadRequest("the body ended early")
        self.left -= len(data)
        return data


def safe_dir(root, sub):
    """DIR or DIR/SUB as a real directory of ours (created when missing)."""
    if sub == "":
        return root
    if not NAME.match(sub):
        raise BadRequest("bad directory name")
    path = os.path.join(root, sub)
    try:
        os.mkdir(path, 0o755)
    except FileExistsError:
        pass
    if os.path.islink(path) or not os.path.isdir(path):
        raise BadRequest("the directory is not a plain directory")
    return path


def file_name(headers):
    disposition = headers.get("content-disposition", "")
    match = re.search(r'filename="([^"]*)"', disposition) or re.search(r"filename=([^;]+)", disposition)
    if not match:
        return None
    name = match.group(1).strip().replace("\\", "/").rsplit("/", 1)[-1]
    if not NAME.match(name):
        raise BadRequest("bad file name")
    return name


def save_parts(body, boundary, directory):
    """Streams every part of a multipart body; file parts land in `directory`."""
    delimiter = b"\r\n--" + boundary
    buffer = b"\r\n"  # so that the first boundary looks like every other
    saved = []
    while delimiter not in buffer:
        data = body.read()
        if not data:
            raise BadRequest("no multipart boundary")
        buffer = (buffer + data)[-(len(delimiter) + CHUNK):]
    buffer = buffer[buffer.index(delimiter) + len(delimiter):]
    while True:
        while len(buffer) < 2:
            buffer += body.read()
        if buffer.startswith(b"--"):
            return saved
        while b"\r\n\r\n" not in buffer:
            if len(buffer) > MAX_PART_HEADERS:
                raise BadRequest("part headers too long")
            data = body.read()
            if not data:
                raise BadRequest("the part headers are cut off")
            buffer += data
        head, buffer = buffer[2:].split(b"\r\n\r\n", 1)
        headers = {}
        for line in head.decode("latin-1").split("\r\n"):
            key, _, value = line.partition(":")
            headers[key.strip().lower()] = value.strip()
        name = file_name(headers)
        out, temp = None, None
        if name is not None:
            fd, temp = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=directory)
            out = os.fdopen(fd, "wb")
        size = 0
        try:
            while True:
                at = buffer.find(delimiter)
                if at >= 0:
                    if out:
                        out.write(buffer[:at])
                    size += at
                    buffer = buffer[at + len(delimiter):]
                    break
                keep = len(delimiter) - 1
                if len(buffer) > keep:
                    if out:
                        out.write(buffer[:-keep])
                    size += len(buffer) - keep
                    buffer = buffer[-keep:]
                data = body.read()
                if not data:
                    raise BadRequest("the part is cut off")
                buffer += data
            if out:
                out.close()
                out = None
                os.replace(temp, os.path.join(directory, name))
                temp = None
                saved.append({"name": name, "size": size})
        finally:
            if out:
                out.close()
            if temp:
                os.unlink(temp)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "chs-remote"

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.log_date_time_string(), fmt % args))

    def answer(self, code, value, extra=()):
        data = json.dumps(value).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for key, text in extra:
            self.send_header(key, text)
        self.end_headers()
        self.wfile.write(data)

    def length(self):
        try:
            return int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise BadRequest("a body needs a Content-Length")

    def do_POST(self):
        path = urlsplit(self.path).path
        try:
            if path == "/echo":
                length = self.length()
                if length > MAX_ECHO:
                    raise BadRequest("too long")
                self.answer(200, json.loads(self.rfile.read(length) or b"null"))
                return
            parts = [p for p in path.split("/") if p]
            if not parts or parts[0] != "upload" or len(parts) > 2:
                self.close_connection = True
                self.answer(404, {"error": "no such endpoint"})
                return
            match = re.search(r"boundary=\"?([^\";]+)\"?", self.headers.get("Content-Type", ""))
            if not match:
                raise BadRequest("not a multipart body")
            directory = safe_dir(self.server.root, parts[1] if len(parts) == 2 else "")
            saved = save_parts(Body(self.rfile, self.length()), match.group(1).encode(), directory)
            self.answer(201, {"saved": saved})
        except (BadRequest, ValueError, OSError) as error:
            self.close_connection = True
            self.answer(400, {"error": str(error)})

    def do_GET(self):
        url = urlsplit(self.path)
        if url.path == "/bigheader":
            n = int(parse_qs(url.query).get("n", ["0"])[0])
            self.send_response(200)
            self.send_header("X-Big", "a" * max(0, min(n, 1 << 20)))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        parts = [p for p in url.path.split("/") if p]
        if len(parts) < 2 or parts[0] != "files" or not all(NAME.match(p) for p in parts[1:]):
            self.answer(404, {"error": "no such file"})
            return
        path = os.path.join(self.server.root, *parts[1:])
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            self.answer(404, {"error": "no such file"})
            return
        with os.fdopen(fd, "rb") as source:
            size = os.fstat(source.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            while True:
                data = source.read(CHUNK)
                if not data:
                    break
                self.wfile.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True, help="where uploads are stored")
    parser.add_argument("--port-file", required=True, help="the port chosen on 127.0.0.1 is written here")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.dir)
    temp = args.port_file + ".tmp"
    with open(temp, "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.replace(temp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
