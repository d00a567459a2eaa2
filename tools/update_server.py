#!/usr/bin/env python3
"""A local update server: an offline mirror for users, the server side for tests.

It answers HTTP GET on /cgi/u with the five operations of the update
protocol. Parameters arrive as percent-encoded "key=value&" pairs and are
read as they come: the values the server needs are hexadecimal or decimal,
and the fingerprint carries "%20" between its four words.

    op=hi&rv=2&                    -> ok
    op=qu&sn=SERIAL&               -> ok, latest build, firmware text
    op=bird&bld=B&fw=F&no_cal=N&sn=SERIAL&
                                   -> ok, the BIRD file in Base64 on one line
    op=builds&sn=SERIAL&           -> ok, then one "build;version" line per build
    op=fix&brief=true&fp=W0%20W1%20W2%20W3&
                                   -> ok, serial number (hex), build

A request that cannot be answered (unknown serial number, build, fingerprint
or operation, a missing parameter, a file that cannot be read) gets status
200 and the body "error\\n<reason>\\n": the first line is not "ok", so the
client takes it as a failed request. Any other path gets 404.

Units and builds come from a JSON catalog (see update_server.example.json)
or, without one, from a directory laid out like the local store:
DIR/<SERIAL>/<build>.bird.

Tests change its behaviour through fault switches, given at start
(--fault SPEC) or at run time with GET /control?fault=SPEC (see FAULT_HELP).
Every request line except those to /control is appended to the --log file
exactly as received, one per line.

In-process use: UpdateServer(load_catalog(path), port=0, log_path=...),
serve_forever() on a thread, stop() and server_close() when done.
"""

import argparse
import base64
import dataclasses
import json
import os
import re
import select
import signal
import sys
import threading
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import birdtool  # noqa: E402

OPERATIONS = ("hi", "qu", "bird", "builds", "fix")
NOT_BIRD = b"This is not a BIRD file.\n"

FAULT_HELP = """\
Fault switches, SPEC = NAME[=VALUE][@OP[,OP...]] (OP: hi qu bird builds fix;
without @ the switch applies to every operation). VALUE takes the escapes
\\n \\r \\t \\\\ and \\xNN.
  status=CODE        answer with HTTP status CODE (500, 404, ...) and "error\\n"
  first_line=TEXT    first line TEXT instead of "ok" (default "error")
  delay=SECONDS      wait that long before answering
  hang               never answer; hold the connection until the client closes it
  trickle=BYTES      send the answer BYTES (default 2) a second
  base64_cr          end the Base64 line with "\\r\\n" (bird)
  base64_bad_char=C  put C (default "*") in the middle of the Base64 text (bird)
  not_bird           deliver Base64 of bytes that are not a BIRD file (bird)
  bird_corrupt=KIND  deliver the file with a broken zlib stream (zlib) or a
                     block count one too high (count) (bird)
  truncated_body     cut the Base64 text in half (whole 4-character groups) and
                     send the body without Content-Length, ended by closing
                     the connection (bird)
  build_text=TEXT    build number text TEXT (default "abc") (qu line 2, fix line 3)
  messy_builds       build list with blank lines, a duplicate, a short line "x"
                     and a line without a version (builds)
  body=TEXT          the whole body is TEXT
  only_newlines      the body is "\\n\\n\\n"
  empty_body         the body is empty
Overrides of the whole body rank empty_body, only_newlines, body.

Control path (not logged, never subject to faults), values percent-encoded:
  GET /control?fault=SPEC[&fault=SPEC...]   switch faults on (a name set again
                                            replaces its earlier setting)
  GET /control?clear=NAME  or  ?clear=all   switch one or all faults off
  GET /control?reload=1                     read the catalog (or --dir) again
  GET /control                              show the state
Each answers JSON {"faults": {NAME: {"value", "ops"}}, "requests": N}; a bad
request gets 400. Several keys in one request run as clear, fault, reload."""

FAULTS = {
    # name: (default value, value parser); None as default means "required".
    "status": (None, int),
    "first_line": ("error", str),
    "delay": (None, float),
    "hang": ("", str),
    "trickle": ("2", int),
    "base64_cr": ("", str),
    "base64_bad_char": ("*", str),
    "not_bird": ("", str),
    "bird_corrupt": (None, str),
    "truncated_body": ("", str),
    "build_text": ("abc", str),
    "messy_builds": ("", str),
    "body": (None, str),
    "only_newlines": ("", str),
    "empty_body": ("", str),
}


class ServerError(Exception):
    """A catalog, fault or option that cannot be used."""


def unescape(text):
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in simple:
            out.append(simple[text[i + 1]])
            i += 2
        elif text[i] == "\\" and re.match(r"x[0-9A-Fa-f]{2}", text[i + 1:i + 4]):
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def parse_fault(spec):
    """(name, value, operations or None) from NAME[=VALUE][@OP,...]."""
    ops = None
    head, at, tail = spec.rpartition("@")
    if at and tail and all(op in OPERATIONS for op in tail.split(",")):
        spec, ops = head, frozenset(tail.split(","))
    name, eq, value = spec.partition("=")
    if name not in FAULTS:
        raise ServerError("unknown fault %r" % name)
    default, convert = FAULTS[name]
    if not eq:
        if default is None:
            raise ServerError("fault %r needs a value" % name)
        value = default
    try:
        value = convert(unescape(value))
    except ValueError:
        raise ServerError("fault %r: bad value %r" % (name, value)) from None
    if name == "base64_bad_char" and len(value) != 1:
        raise ServerError("base64_bad_char takes one character")
    if name == "bird_corrupt" and value not in ("zlib", "count"):
        raise ServerError("bird_corrupt takes zlib or count")
    if name == "trickle" and value < 1:
        raise ServerError("trickle takes at least one byte a second")
    return name, value, ops


# --- catalog ------------------------------------------------------------------

@dataclasses.dataclass
class Build:
    number: int
    version: str
    path: str = None      # read at every request, so tests may replace the file
    data: bytes = None    # built from an inline description


@dataclasses.dataclass
class Unit:
    serial: int
    firmware: str
    latest: int
    builds: list


@dataclasses.dataclass
class Catalog:
    units: dict
    fingerprints: dict    # 4-tuple of words -> (serial, build or None)


def _serial(text, what="serial number"):
    if not re.fullmatch(r"[0-9A-Fa-f]{1,8}", str(text)):
        raise ServerError("%s %r is not 1-8 hexadecimal digits" % (what, text))
    return int(str(text), 16)


def _number(value, what):
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 0xFFFFFFFF:
        return value
    if isinstance(value, str) and value.isdigit() and int(value) <= 0xFFFFFFFF:
        return int(value)
    raise ServerError("%s %r is not a build number" % (what, value))


def _fingerprint(text):
    words = str(text).replace("%20", " ").split()
    if len(words) != 4:
        raise ServerError("fingerprint %r is not four words" % text)
    return tuple(_serial(w, "fingerprint word") for w in words)


def _object(entry, where, keys):
    if not isinstance(entry, dict):
        raise ServerError("%s is not an object" % where)
    unknown = set(entry) - keys
    if unknown:
        raise ServerError("%s: unknown keys %s" % (where, sorted(unknown)))


def _catalog_build(entry, bird_dir, where):
    _object(entry, where, {"build", "version", "file", "bird"})
    build = Build(_number(entry.get("build"), where + " build"), str(entry.get("version", "")))
    if ("file" in entry) == ("bird" in entry):
        raise ServerError("%s: give exactly one of file and bird" % where)
    if "file" in entry:
        build.path = os.path.join(bird_dir, entry["file"])
    else:
        try:
            build.data = birdtool.build_description(entry["bird"], bird_dir)
        except birdtool.BirdError as e:
            raise ServerError("%s: %s" % (where, e)) from None
    return build


def _catalog_unit(key, entry, bird_dir):
    where = "unit %s" % key
    _object(entry, where, {"firmware", "latest", "builds"})
    builds = [_catalog_build(b, bird_dir, "%s build %d" % (where, i))
              for i, b in enumerate(entry.get("builds", []))]
    latest = entry.get("latest")
    if latest is None:
        latest = max((b.number for b in builds), default=0)
    return Unit(_serial(key), str(entry.get("firmware", "main")),
                _number(latest, where + " latest"), builds)


def catalog_from_json(doc, bird_dir):
    _object(doc, "the catalog", {"units", "fingerprints", "comment"})
    _object(doc.get("units", {}), "units", set(doc.get("units", {})))
    _object(doc.get("fingerprints", {}), "fingerprints", set(doc.get("fingerprints", {})))
    units = {}
    for key, entry in doc.get("units", {}).items():
        unit = _catalog_unit(key, entry, bird_dir)
        units[unit.serial] = unit
    fingerprints = {}
    for key, entry in doc.get("fingerprints", {}).items():
        _object(entry, "fingerprint %s" % key, {"serial", "build"})
        words = _fingerprint(key)
        build = entry.get("build")
        fingerprints[words] = (
            _serial(entry.get("serial", ""), "fingerprint %s serial" % key),
            None if build is None else _number(build, "fingerprint %s build" % key))
    return Catalog(units, fingerprints)


def load_catalog(path, bird_dir=None):
    bird_dir = bird_dir or os.path.dirname(os.path.abspath(path))
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        raise ServerError("cannot read the catalog %s: %s" % (path, e)) from None
    return catalog_from_json(doc, bird_dir)


def scan_directory(bird_dir):
    """A catalog from a store-like tree DIR/<SERIAL>/<build>.bird; versions
    come from the identity blocks."""
    units = {}
    for name in sorted(os.listdir(bird_dir)):
        unit_dir = os.path.join(bird_dir, name)
        if not (re.fullmatch(r"[0-9A-Fa-f]{8}", name) and os.path.isdir(unit_dir)):
            continue
        builds = []
        for file_name in sorted(os.listdir(unit_dir)):
            match = re.fullmatch(r"([0-9]+)\.bird", file_name)
            if not match:
                continue
            path = os.path.join(unit_dir, file_name)
            with open(path, "rb") as f:
                info, _ = birdtool.parse(f.read())
            version = (info["identity"] or {}).get("version", "")
            builds.append(Build(int(match.group(1)), version, path=path))
        builds.sort(key=lambda b: b.number)
        if builds:
            units[int(name, 16)] = Unit(int(name, 16), "main", builds[-1].number, builds)
    return Catalog(units, {})


# --- answers ------------------------------------------------------------------

class Refusal(Exception):
    """A request that gets the failure answer."""


def parse_query(query):
    """The raw query as sent: "k=v&" pairs, nothing percent-decoded. The
    first occurrence of a key wins."""
    params = {}
    for item in query.split("&"):
        if item:
            key, _, value = item.partition("=")
            params.setdefault(key, value)
    return params


def _need(params, key):
    if key not in params:
        raise Refusal("missing parameter %s" % key)
    return params[key]


def _unit(catalog, params):
    text = _need(params, "sn")
    try:
        serial = _serial(text)
    except ServerError:
        raise Refusal("bad serial number %s" % text) from None
    if serial not in catalog.units:
        raise Refusal("unknown serial number %s" % text)
    return catalog.units[serial]


def _bird_bytes(unit, params):
    text = _need(params, "bld")
    number = int(text) if text.isdigit() else None
    for build in unit.builds:
        if build.number == number:
            if build.data is not None:
                return build.data
            try:
                with open(build.path, "rb") as f:
                    return f.read()
            except OSError as e:
                raise Refusal("cannot read build %s: %s" % (text, e.strerror)) from None
    raise Refusal("unknown build %s for %08X" % (text, unit.serial))


def _corrupt_bird(data, kind):
    """The file with its zlib stream broken, or with a block image that
    reports one block more than it holds."""
    header, stream = data[:6], data[6:]
    if kind == "zlib":
        return header + birdtool.corrupt_stream(stream, "adler")
    image = zlib.decompress(stream)
    count = int.from_bytes(image[:4], "big") + 1
    return header + zlib.compress(count.to_bytes(4, "big") + image[4:])


def _messy(builds):
    """Blank lines, a duplicate with another version, a short line and a
    line without a version, around the real list."""
    lines = [b""]
    for build in builds:
        lines += [b"%d;%s" % (build.number, build.version.encode("latin-1")), b""]
    first = builds[0].number if builds else 1
    extra = max((b.number for b in builds), default=0) + 1
    return lines + [b"%d;duplicate" % first, b"x", b"%d" % extra]


def _bad_char(text, char):
    middle = max(0, (len(text.rstrip(b"=")) - 1) // 2)
    return text[:middle] + char + text[middle + 1:]


def answer_lines(catalog, op, params, faults):
    """The lines of the answer (without line feeds) to one request."""
    if op == "hi":
        return [b"ok"]
    if op == "fix":
        try:
            fingerprint = _fingerprint(_need(params, "fp"))
        except ServerError:
            raise Refusal("bad fingerprint %s" % params["fp"]) from None
        if fingerprint not in catalog.fingerprints:
            raise Refusal("unknown fingerprint %s" % params["fp"])
        serial, build = catalog.fingerprints[fingerprint]
        if build is None:
            build = catalog.units[serial].latest if serial in catalog.units else 0
        build_text = faults.get("build_text", "%d" % build).encode("latin-1")
        return [b"ok", b"%08X" % serial, build_text]
    unit = _unit(catalog, params)
    if op == "qu":
        build_text = faults.get("build_text", "%d" % unit.latest).encode("latin-1")
        return [b"ok", build_text, unit.firmware.encode("latin-1")]
    if op == "builds":
        if "messy_builds" in faults:
            return [b"ok"] + _messy(unit.builds)
        return [b"ok"] + [b"%d;%s" % (b.number, b.version.encode("latin-1"))
                          for b in unit.builds]
    data = NOT_BIRD if "not_bird" in faults else _bird_bytes(unit, params)
    if "bird_corrupt" in faults:
        data = _corrupt_bird(data, faults["bird_corrupt"])
    text = base64.b64encode(data)
    if "truncated_body" in faults:
        text = text[:len(text) // 8 * 4]
    if "base64_bad_char" in faults:
        text = _bad_char(text, faults["base64_bad_char"].encode("latin-1"))
    if "base64_cr" in faults:
        text += b"\r"
    return [b"ok", text]


def answer_body(catalog, op, params, faults):
    if op not in OPERATIONS:
        lines = [b"error", b"unknown operation %s" % op.encode("latin-1")]
    else:
        try:
            lines = answer_lines(catalog, op, params, faults)
        except Refusal as e:
            lines = [b"error", str(e).encode("latin-1", "replace")]
    if "first_line" in faults:
        lines[0] = faults["first_line"].encode("latin-1")
    body = b"".join(line + b"\n" for line in lines)
    for name, fixed in (("body", None), ("only_newlines", b"\n\n\n"), ("empty_body", b"")):
        if name in faults:
            body = faults[name].encode("latin-1") if fixed is None else fixed
    return body


# --- server -------------------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "update_server/1"

    def parse_request(self):
        if not self.raw_requestline.startswith(b"GET /control"):
            self.server.log_request_line(self.raw_requestline)
        return super().parse_request()

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def _send(self, status, body, content_type="text/plain", length=True, trickle=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if not trickle:
            self.wfile.write(body)
            return
        for at in range(0, len(body), trickle):
            try:
                self.wfile.write(body[at:at + trickle])
                self.wfile.flush()
            except OSError:
                return  # the client gave up
            if self.server.stopping.wait(1.0):
                return

    def do_GET(self):
        path, _, query = self.path.partition("?")
        if path == "/control":
            self._control(query)
        elif path == "/cgi/u":
            self._update(query)
        else:
            self._send(404, b"not found\n")

    def _update(self, query):
        params = parse_query(query)
        op = params.get("op", "")
        faults = self.server.faults_for(op)
        if "hang" in faults:
            self._hold()
            return
        if "delay" in faults:
            self.server.stopping.wait(faults["delay"])
        if "status" in faults:
            self._send(faults["status"], b"error\n", trickle=faults.get("trickle"))
            return
        self._send(200, answer_body(self.server.catalog, op, params, faults),
                   length="truncated_body" not in faults, trickle=faults.get("trickle"))

    def _hold(self):
        """Sends nothing until the client goes away or the server stops."""
        self.close_connection = True
        while not self.server.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return

    def _control(self, query):
        try:
            self.server.control(urllib.parse.parse_qsl(query, keep_blank_values=True,
                                                        encoding="latin-1"))
        except (ServerError, OSError) as e:
            self._send(400, ("%s\n" % e).encode("latin-1", "replace"))
            return
        self._send(200, self.server.describe().encode(), "application/json")


class UpdateServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, catalog, bind="127.0.0.1", port=0, log_path=None, faults=(),
                 verbose=False, reload=None):
        super().__init__((bind, port), Handler)
        self.catalog = catalog
        self.reload = reload
        self.verbose = verbose
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.faults = {}
        self.requests = 0
        self.log = open(log_path, "ab") if log_path else None
        for spec in faults:
            self.set_fault(spec)

    @property
    def port(self):
        return self.server_address[1]

    @property
    def url(self):
        return "http://%s:%d/cgi/u" % (self.server_address[0], self.port)

    def log_request_line(self, raw):
        with self.lock:
            self.requests += 1
            if self.log:
                self.log.write(raw.rstrip(b"\r\n") + b"\n")
                self.log.flush()

    def set_fault(self, spec):
        name, value, ops = parse_fault(spec)
        with self.lock:
            self.faults[name] = (value, ops)

    def clear_faults(self, name="all"):
        with self.lock:
            if name == "all":
                self.faults.clear()
            elif name in FAULTS:
                self.faults.pop(name, None)
            else:
                raise ServerError("unknown fault %r" % name)

    def faults_for(self, op):
        with self.lock:
            return {name: value for name, (value, ops) in self.faults.items()
                    if ops is None or op in ops}

    def control(self, pairs):
        """clear=NAME|all, then fault=SPEC, then reload; in that order
        whatever the order of the parameters."""
        for key, _ in pairs:
            if key not in ("clear", "fault", "reload"):
                raise ServerError("unknown control %r" % key)
        for key, value in pairs:
            if key == "clear":
                self.clear_faults(value or "all")
        for key, value in pairs:
            if key == "fault":
                self.set_fault(value)
        if any(key == "reload" for key, _ in pairs) and self.reload:
            self.catalog = self.reload()

    def describe(self):
        with self.lock:
            faults = {name: {"value": value, "ops": sorted(ops) if ops else None}
                      for name, (value, ops) in self.faults.items()}
            return json.dumps({"faults": faults, "requests": self.requests}) + "\n"

    def stop(self):
        self.stopping.set()
        self.shutdown()

    def server_close(self):
        super().server_close()
        if self.log:
            self.log.close()
            self.log = None


def write_ready_file(path, server):
    """Written whole and then renamed, so a reader never sees half of it."""
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump({"host": server.server_address[0], "port": server.port, "url": server.url,
                   "pid": os.getpid()}, f)
        f.write("\n")
    os.replace(temporary, path)


def _parser():
    parser = argparse.ArgumentParser(
        prog="update_server.py", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Local update server for the Updater tool.", epilog=FAULT_HELP)
    parser.add_argument("--catalog", help="JSON catalog (default: scan --dir)")
    parser.add_argument("--dir", help="directory of BIRD files (default: the catalog's)")
    parser.add_argument("--bind", default="127.0.0.1", help="address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port (default 8080); 0 picks a free one")
    parser.add_argument("--ready-file", help="write {host, port, url, pid} here when ready")
    parser.add_argument("--log", help="append every request line here")
    parser.add_argument("--fault", action="append", default=[], metavar="SPEC",
                        help="switch a fault on (see below); repeatable")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    if not args.catalog and not args.dir:
        print("update_server: give --catalog or --dir", file=sys.stderr)
        return 2

    def load():
        if args.catalog:
            return load_catalog(args.catalog, args.dir)
        return scan_directory(args.dir)

    try:
        server = UpdateServer(load(), args.bind, args.port, args.log, args.fault,
                              args.verbose, load)
    except (ServerError, OSError) as e:
        print("update_server: %s" % e, file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.stop).start())
    signal.signal(signal.SIGINT, lambda *_: threading.Thread(target=server.stop).start())
    if args.ready_file:
        write_ready_file(args.ready_file, server)
    print("update_server: serving %s" % server.url, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
