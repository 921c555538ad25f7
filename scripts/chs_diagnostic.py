#!/usr/bin/env python3
"""Diagnose packages of the call-home service on one node.

Usage:
  chs_diagnostic.py export_command <limit MB> master|slave current <dir>
      Collects this node's diagnose information into <dir> (created when
      missing), in sections, each with its own time-out and share of the size
      budget:
        kernel/     dmesg, loaded modules
        os/         release, uptime, time synchronisation
        hardware/   CPU, memory, block devices
        storage/    mounts, df -h, df -i, /proc/diskstats, /proc/mdstat
        network/    ip -d addr, routes, links, socket summary
        processes/  threads, top memory users
        services/   the collector's systemd units (where systemd runs)
        alarms/     the recent alarms and events of this node
        collector   (flat in <dir>) system.txt, processes.txt (the daemon and
                    peer processes), db_summary.txt and db_rows.txt (the record
                    database, opened read-only), collector_listing.txt,
                    config_InfoCollector.txt and config_cluster.json, cores.txt
                    (core files present), log_<name>.tail (the node's logs,
                    newest first, whole while the budget allows)
      Programs run without a shell, with an argument list, a time-out, bounded
      output and standard input closed. A program missing from PATH is
      skipped with a note; one that fails or overruns its time is noted.
      Everything written passes through one masking function first (values of
      password, secret, token and key settings, credentials in URLs,
      Authorization headers, private-key blocks, the cluster key).
      Also written: summary.txt (for people), summary.json (sections with
      name, status ok/partial/skipped/failed, bytes, seconds, note, and the
      redaction counts) and redaction.txt (per file what kind of value was
      masked and how often, never the values). Everything stays within
      <limit> MB; the run stops itself after 120 seconds at most.

  chs_diagnostic.py export_node <limit MB> <dir> <file>
      Packs <dir> into the gzip tar archive <file>; the members are the
      directory's entries below the directory's base name. Symbolic links and
      special files are left out, so nothing outside <dir> is read. The archive
      is built under a temporary name beside <file> and renamed into place; an
      archive that would exceed <limit> MB is a failure and nothing is left.

  chs_diagnostic.py export_cluster <limit MB> <a> <b>
      Merges the node packages (regular files named *.tgz) found directly in
      directory <a> into the one gzip tar archive <b>, each package a member
      under its own name, with the same temporary-name and size rules as
      export_node. <a> may also be the export directory itself. Having no
      package in <a> is a failure.

  chs_diagnostic.py package_summary <file>
      Prints the summary.json member (directly below the archive's top
      directory, at most 64 KiB, valid JSON object) of the node package <file>
      on standard output. Nothing is extracted to disk.

  chs_diagnostic.py check_secrets <file>
      Reads known secrets, one per line, from standard input and fails when
      any of them appears in <file>, looking inside gzip and tar archives
      nested in it (bounded in depth, members and unpacked bytes). The reason
      names the member, never the value.

Every path argument must lie below <node root>/VXA/coffer_data/omm/export_import/
chs/export/ after symbolic links are resolved and must not contain a ".."
component; anything else is refused with exit status 2 before anything is
written. The daemon passes the real paths below the node root.

The node root is CHS_NODE_ROOT when that is set and not empty; otherwise it is
found from where this script is installed (<node root>/VXA/script/).

Exit status: 0 success; 1 failure (for check_secrets also: a secret was found);
2 bad usage or a refused path. Every failure is explained on standard error.
"""

import errno
import functools
import gzip
import json
import os
import re
import selectors
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.parse
import zlib

EXPORT_TREE = "VXA/coffer_data/omm/export_import/chs/export"
COLLECTOR_DIR = "VXA/coffer_data/omm/export_import/chs/collector"
RECORD_DB = COLLECTOR_DIR + "/db/collect.dat"
LOG_DIR = "var/log/chs"
PLUGIN_CONF = "VXA/conf/InfoCollector.txt"
CLUSTER_KEY = "VXA/conf/kmca/cluster.key"
ALARM_DIR = "remote/alarm"  # below the cluster directory: node<N>.jsonl

MB = 1024 * 1024
KB = 1024
# The daemon waits 540 s for export_command, 15 s for export_node and 6 s for
# export_cluster; each stops well before that.
COMMAND_SECONDS = 120
NODE_SECONDS = 12
CLUSTER_SECONDS = 5
CHECK_SECONDS = 280
SUMMARY_RESERVE = 64 * 1024  # kept free so that the reports always fit
LOG_READ_MAX = 64 * MB  # per log file
LOG_TAIL_MIN = 4096  # a smaller tail is not worth a file
LISTING_MAX_ENTRIES = 20000
PROCESS_MAX = 256
CONFIG_MAX = 1 * MB
DB_ROWS_MAX = 2000  # per table
CORE_SEARCH_MAX = 50000  # entries looked at while searching core files
STDERR_MAX = 4096
SUMMARY_JSON_MAX = 64 * KB
SECRETS_INPUT_MAX = 64 * KB
SECRET_MIN = 4
SCAN_DEPTH_MAX = 4
SCAN_MEMBERS_MAX = 100000
SCAN_BYTES_MAX = 4096 * MB
class Refused(Exception):
    """A path or argument that is not accepted (exit status 2)."""


class Failed(Exception):
    """The work could not be done (exit status 1)."""


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def passed(self):
        return time.monotonic() >= self.end

    def check(self, what):
        if self.passed():
            raise Failed("out of time while " + what)


def node_root():
    root = os.environ.get("CHS_NODE_ROOT", "")
    if not root:
        script_dir = os.path.dirname(os.path.realpath(__file__))
        root = os.path.join(script_dir, "..", "..")
    return os.path.realpath(root)


def parse_limit(text):
    try:
        limit = int(text, 10)
    except ValueError:
        raise Refused("the limit must be a number of MB, not %r" % text) from None
    if limit < 1 or limit > 1024 * 1024:
        raise Refused("the limit must be between 1 and 1048576 MB, not %d" % limit)
    return limit


def checked_path(root, path, tree_itself=False):
    """The resolved form of `path` when it lies strictly below the export tree
    (or is the tree itself, when `tree_itself`)."""
    if not path:
        raise Refused("an empty path is not accepted")
    if "\0" in path:
        raise Refused("a path with a NUL character is not accepted")
    if ".." in path.split("/"):
        raise Refused("a path with '..' is not accepted: %s" % path)
    tree = os.path.realpath(os.path.join(root, EXPORT_TREE))
    resolved = os.path.realpath(path)
    if not (resolved.startswith(tree + os.sep) or (tree_itself and resolved == tree)):
        raise Refused("%s is not below the export directory %s" % (path, tree))
    return resolved


def make_package_dir(root, path):
    resolved = checked_path(root, path)
    try:
        os.makedirs(resolved, mode=0o750, exist_ok=True)
    except OSError as e:
        raise Failed("cannot create %s: %s" % (path, e.strerror)) from None
    # A link put in place while the directories were made must not redirect us.
    if checked_path(root, path) != resolved or not os.path.isdir(resolved):
        raise Refused("%s changed while it was being created" % path)
    return resolved


class Masker:
    """The one masking function every packed byte passes through. Counts what
    it masked per file and kind; the values themselves are never kept."""

    MASK = b"******"
    PEM_BLOCK = re.compile(rb"-----BEGIN ([A-Z0-9 ]*PRIVATE KEY)-----.*?(?:-----END \1-----|\Z)", re.S)
    # The body of a block whose beginning was cut off (the start of a log tail).
    PEM_ORPHAN = re.compile(rb"(?m)^(?:[A-Za-z0-9+/=]{8,}\r?\n)+(?=-----END [A-Z0-9 ]*PRIVATE KEY-----)")
    AUTHORIZATION = re.compile(rb"(?i)\b((?:proxy-)?authorization[\"']?[ \t]*[:=][ \t]*)([^\r\n\"']+)")
    URL_CREDENTIALS = re.compile(rb"(?i)\b([a-z][a-z0-9+.\-]{1,15}://[^\s/@:\"']*):([^\s/@\"']+)@")
    XML_ELEMENT = re.compile(rb"<([A-Za-z_][\w.\-]{0,63})>([^<]{1,4096})</\1>")
    # A command-line option followed by its value: --password VALUE.
    OPTION = re.compile(rb"(?<![\w\-])(--?[A-Za-z][\w\-]{0,63})([ \t]+)([^\s\-][^\s]{0,1023})")
    KEY_SEP = re.compile(rb"(?<![\w.])([A-Za-z_][\w.\-]{0,63}(?: [A-Za-z][\w]{0,31})?)[\"']?[ \t]*[:=][ \t]*")
    VALUE = re.compile(rb"\"(?:[^\"\\\n]|\\.)*\"|'[^'\n]*'|[^\s,;&}\]\"'<]+")
    WORDS = re.compile(r"[A-Z]?[a-z]+|[A-Z]+(?![a-z])|[0-9]+")
    SECRET_SUFFIXES = ("password", "passwd", "pwd", "secret", "token", "apikey", "privatekey", "sessionkey",
                       "accesskey", "passphrase", "credential", "credentials")

    def __init__(self, known):
        # Literal values known to be secret (the cluster key), longest first.
        self.known = sorted({k for k in known if len(k) >= SECRET_MIN}, key=len, reverse=True)
        self.counts = {}  # file -> {kind: count}

    @classmethod
    @functools.lru_cache(maxsize=4096)
    def secret_kind(cls, name):
        text = name.decode("ascii", "replace")
        words = {w.lower() for w in cls.WORDS.findall(text)}
        joined = re.sub(r"[^a-z0-9]", "", text.lower())
        if "proxy" in words and words & {"user", "username", "credential", "credentials", "auth"}:
            return "proxy_credentials"
        if words & {"password", "passwd", "pwd", "pass", "passphrase"}:
            return "password"
        if "secret" in words:
            return "secret"
        if "token" in words:
            return "token"
        if "key" in words:
            return "session_key" if "session" in words else "key"
        for suffix in cls.SECRET_SUFFIXES:
            if joined.endswith(suffix):
                return "password" if suffix.startswith("pass") or suffix == "pwd" else suffix
        return None

    def mask(self, data, where=None):
        """`data` (bytes) with every secret masked; counted under `where`."""
        counts = {}

        def count(kind, n=1):
            counts[kind] = counts.get(kind, 0) + n

        for value in self.known:
            n = data.count(value)
            if n:
                data = data.replace(value, self.MASK)
                count("cluster_key", n)

        def pem(m):
            count("private_key_block")
            return b"-----BEGIN " + m.group(1) + b"-----\n" + self.MASK + b"\n-----END " + m.group(1) + b"-----"

        data = self.PEM_BLOCK.sub(pem, data)
        data = self.PEM_ORPHAN.sub(lambda m: (count("private_key_block"), self.MASK + b"\n")[1], data)
        data = self.AUTHORIZATION.sub(lambda m: (count("authorization"), m.group(1) + self.MASK)[1], data)
        data = self.URL_CREDENTIALS.sub(lambda m: (count("url_credentials"), m.group(1) + b":" + self.MASK + b"@")[1],
                                        data)

        def element(m):
            kind = self.secret_kind(m.group(1))
            if kind is None or m.group(2) == self.MASK:
                return m.group(0)
            count(kind)
            return b"<" + m.group(1) + b">" + self.MASK + b"</" + m.group(1) + b">"

        data = self.XML_ELEMENT.sub(element, data)

        def option(m):
            kind = self.secret_kind(m.group(1).lstrip(b"-"))
            if kind is None or m.group(3) == self.MASK:
                return m.group(0)
            count(kind)
            return m.group(1) + m.group(2) + self.MASK

        data = self.OPTION.sub(option, data)

        out = []
        pos = 0
        while True:
            m = self.KEY_SEP.search(data, pos)
            if m is None:
                break
            out.append(data[pos:m.end()])
            pos = m.end()
            kind = self.secret_kind(m.group(1))
            if kind is None:
                continue
            v = self.VALUE.match(data, pos)
            if v is None:
                continue
            value = v.group(0)
            quote = value[:1] if value[:1] in (b'"', b"'") else b""
            inner = value[1:-1] if quote else value
            if inner and inner != self.MASK:
                out.append(quote + self.MASK + quote)
                count(kind)
            else:
                out.append(value)
            pos = v.end()
        out.append(data[pos:])
        data = b"".join(out)

        if where is not None and counts:
            mine = self.counts.setdefault(where, {})
            for kind, n in counts.items():
                mine[kind] = mine.get(kind, 0) + n
        return data

    def total(self):
        return sum(n for kinds in self.counts.values() for n in kinds.values())

    def by_kind(self):
        kinds = {}
        for per_file in self.counts.values():
            for kind, n in per_file.items():
                kinds[kind] = kinds.get(kind, 0) + n
        return kinds


class Package:
    """Writes the files of one package directory within a byte budget; every
    file is masked first."""

    def __init__(self, directory, budget, masker):
        self.directory = directory
        self.budget = budget
        self.masker = masker
        self.used = 0
        self.files = []
        self.notes = []

    def remaining(self):
        return max(0, self.budget - SUMMARY_RESERVE - self.used)

    def write(self, name, data, cap=None, reserve=False, report=False):
        """Writes `name` (a fixed name of ours, maybe one directory deep);
        returns the bytes written and whether the data was cut. Only the
        package's own reports (built from masked notes) are not masked again:
        they name the kinds of secret masked."""
        if isinstance(data, str):
            data = data.encode("utf-8", "replace")
        if not report:
            data = self.masker.mask(data, name)
        room = self.budget - self.used if reserve else self.remaining()
        if cap is not None:
            room = min(room, cap)
        cut = len(data) > room
        if cut:
            self.notes.append("%s cut to %d of %d bytes by the size budget" % (name, room, len(data)))
            data = data[:room]
        path = os.path.join(self.directory, name)
        parent = os.path.dirname(path)
        try:
            if parent != self.directory:
                if os.path.lexists(parent) and not stat.S_ISDIR(os.lstat(parent).st_mode):
                    os.unlink(parent)
                os.makedirs(parent, mode=0o750, exist_ok=True)
            # Never write through something already placed under our name.
            if os.path.lexists(path):
                os.unlink(path)
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o640)
        except OSError as e:
            raise Failed("cannot create %s: %s" % (path, e.strerror)) from None
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        self.used += len(data)
        self.files.append("%s %d" % (name, len(data)))
        return len(data), cut


def program_env():
    return {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"), "LC_ALL": "C"}


def run_program(argv, seconds, limit):
    """Runs argv (no shell, stdin closed, own process group). Returns
    (exit status or None, output of at most `limit` bytes, error text, timed
    out, cut). A program still writing past `limit` is stopped."""
    try:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                close_fds=True, start_new_session=True, env=program_env())
    except OSError as e:
        return None, b"", "cannot start: %s" % e.strerror, False, False
    out = bytearray()
    err = bytearray()
    timed_out = cut = False
    end = time.monotonic() + max(0.1, seconds)
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        sel.register(proc.stderr, selectors.EVENT_READ)
        while sel.get_map() and not cut:
            left = end - time.monotonic()
            if left <= 0:
                timed_out = True
                break
            for key, _ in sel.select(min(left, 1.0)):
                chunk = os.read(key.fd, 65536)
                if not chunk:
                    sel.unregister(key.fileobj)
                elif key.fileobj is proc.stdout:
                    take = max(0, limit - len(out))
                    out += chunk[:take]
                    cut = cut or len(chunk) > take
                elif len(err) < STDERR_MAX:
                    err += chunk[:STDERR_MAX - len(err)]
    if timed_out or cut:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # the group we made for it
        except OSError:
            pass
    try:
        status = proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        status = proc.wait()
    proc.stdout.close()
    proc.stderr.close()
    return status, bytes(out), err.decode("utf-8", "replace").strip(), timed_out, cut


class Section:
    """One section of the package: its files (in a directory of its own, or
    flat when `subdir` is empty), its share of the budget and its time."""

    def __init__(self, package, name, subdir, cap, seconds, overall):
        self.package = package
        self.name = name
        self.subdir = subdir
        self.cap = cap
        self.end = min(time.monotonic() + seconds, overall.end)
        self.started = time.monotonic()
        self.bytes = 0
        self.ok = self.skipped = self.failed = 0
        self.notes = []

    def left(self):
        return self.end - time.monotonic()

    def room(self):
        return max(0, min(self.cap - self.bytes, self.package.remaining()))

    def note(self, text):
        self.notes.append(self.package.masker.mask(text.encode("utf-8", "replace")).decode("utf-8", "replace"))

    def put(self, name, data):
        written, cut = self.package.write(os.path.join(self.subdir, name) if self.subdir else name, data,
                                          cap=self.room())
        self.bytes += written
        if cut:
            self.note("%s cut to %d bytes by the section's share of the size budget" % (name, written))
        return written

    def run(self, name, argv):
        """Runs a program into the file `name`."""
        what = " ".join(argv)
        if self.left() <= 0:
            self.skipped += 1
            self.note("%s: not run, the section is out of time" % what)
            return
        if self.room() <= 0:
            self.skipped += 1
            self.note("%s: not run, no room left in the size budget" % what)
            return
        path = shutil.which(argv[0], path=program_env()["PATH"])
        if path is None:
            self.skipped += 1
            self.note("%s: %s not found in PATH, skipped" % (what, argv[0]))
            return
        status, out, err, timed_out, cut = run_program([path] + argv[1:], self.left(), self.room())
        if out:
            self.put(name, out)
        if timed_out:
            self.failed += 1
            self.note("%s: timed out" % what)
        elif cut:
            self.ok += 1
            self.note("%s: output cut to %d bytes by the size budget" % (what, len(out)))
        elif status != 0:
            self.failed += 1
            self.note("%s: failed (exit status %s)%s" % (what, status, ": " + err.splitlines()[0] if err else ""))
        else:
            self.ok += 1

    def copy(self, name, path, limit=CONFIG_MAX, system=False):
        """Copies a regular file, not through a link unless it is a `system`
        file (such as /etc/os-release or /proc/mounts, which are links)."""
        if system:
            path = os.path.realpath(path)
        data, err = read_small(path, min(limit, max(1, self.room())))
        if data is None:
            self.skipped += 1
            self.note("%s not read: %s" % (path, err))
            return
        if err:
            self.note("%s %s" % (path, err))
        self.put(name, data)
        self.ok += 1

    def text(self, name, produce):
        """Writes what `produce()` returns; an exception is a failed item."""
        try:
            self.put(name, produce())
            self.ok += 1
        except (OSError, sqlite3.Error, ValueError) as e:
            self.failed += 1
            self.note("%s: %s" % (name, e))

    def status(self):
        if self.ok and not (self.skipped or self.failed):
            return "ok"
        if self.ok:
            return "partial"
        if self.failed:
            return "failed"
        return "skipped"

    def report(self):
        return {"name": self.name, "status": self.status(), "bytes": self.bytes,
                "seconds": round(time.monotonic() - self.started, 3), "note": "; ".join(self.notes)}


def open_regular(path):
    """Opens a regular file for reading without following a link put in its
    place; the checks run on the open descriptor, so nothing can be swapped in
    between the check and the read. Raises OSError."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_small(path, limit=CONFIG_MAX):
    try:
        with open_regular(path) as f:
            data = f.read(limit + 1)
    except OSError as e:
        return None, e.strerror
    if len(data) > limit:
        return data[:limit], "cut to %d bytes" % limit
    return data, None


def fmt_time(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def system_facts(root, deadline):
    lines = []
    u = os.uname()
    lines.append("uname: %s %s %s %s %s" % (u.sysname, u.nodename, u.release, u.version, u.machine))
    for title, path in (("uptime", "/proc/uptime"), ("loadavg", "/proc/loadavg")):
        data, err = read_small(path, 4096)
        lines.append("%s: %s" % (title, err if data is None else data.decode("ascii", "replace").strip()))
    data, err = read_small("/proc/meminfo", 65536)
    lines.append("meminfo:")
    if data is None:
        lines.append("  unavailable: %s" % err)
    else:
        for line in data.decode("ascii", "replace").splitlines():
            if line.split(":")[0] in ("MemTotal", "MemFree", "MemAvailable", "Buffers", "Cached", "SwapTotal",
                                      "SwapFree"):
                lines.append("  " + line)
    try:
        st = os.statvfs(root)
        lines.append("filesystem of node root: total %d KB, free %d KB, available %d KB" %
                     (st.f_blocks * st.f_frsize // 1024, st.f_bfree * st.f_frsize // 1024,
                      st.f_bavail * st.f_frsize // 1024))
    except OSError as e:
        lines.append("filesystem of node root: %s" % e.strerror)
    lines.append("disk use below the node root:")
    for sub in ("VXA/coffer_data", "VXA/lun_data", "VXA/conf", "VXA/script", LOG_DIR):
        total, count, complete = disk_use(os.path.join(root, sub), deadline)
        lines.append("  %s: %d bytes in %d files%s" % (sub, total, count, "" if complete else " (incomplete)"))
    return "\n".join(lines) + "\n"


def disk_use(top, deadline, max_entries=200000):
    total = count = 0
    for dirpath, dirnames, filenames in os.walk(top):
        for name in filenames:
            if count >= max_entries or deadline.passed():
                return total, count, False
            try:
                st = os.lstat(os.path.join(dirpath, name))
            except OSError:
                continue
            if stat.S_ISREG(st.st_mode):
                total += st.st_blocks * 512
            count += 1
    return total, count, True


def process_pids(root):
    """(label, pid) pairs of the daemon and peer processes that can be found."""
    run_dir = os.path.join(os.path.dirname(root), "run")
    node = os.path.basename(root)
    node_id = node[4:] if node.startswith("node") and node[4:].isdigit() else None
    found = []
    try:
        names = sorted(os.listdir(run_dir))
    except OSError:
        return found
    for name in names:
        pid = None
        if name.endswith(".pid"):
            data, _ = read_small(os.path.join(run_dir, name), 64)
            if data and data.strip().isdigit():
                pid = int(data.strip())
        elif node_id is not None and name.startswith("ep-%s-" % node_id) and name.endswith(".sock"):
            tail = name[len("ep-%s-" % node_id):-len(".sock")]
            if tail.isdigit():
                pid = int(tail)
        if pid and pid > 0 and (name, pid) not in found:
            found.append((name, pid))
        if len(found) >= PROCESS_MAX:
            break
    return found


def processes(root):
    lines = []
    pids = process_pids(root)
    if not pids:
        lines.append("no pid files found in %s" % os.path.join(os.path.dirname(root), "run"))
    for label, pid in pids:
        proc = "/proc/%d" % pid
        cmd, err = read_small(proc + "/cmdline", 4096)
        if cmd is None:
            lines.append("%s: pid %d not running (%s)" % (label, pid, err))
            continue
        args = " ".join(a.decode("utf-8", "replace") for a in cmd.split(b"\0") if a)
        lines.append("%s: pid %d: %s" % (label, pid, args))
        status, _ = read_small(proc + "/status", 65536)
        for line in (status or b"").decode("utf-8", "replace").splitlines():
            if line.split(":")[0] in ("State", "PPid", "VmRSS", "VmSize", "Threads"):
                lines.append("  " + line)
        try:
            lines.append("  open files: %d" % len(os.listdir(proc + "/fd")))
        except OSError:
            pass
    return "\n".join(lines) + "\n"


def db_summary(root, deadline):
    path = os.path.join(root, RECORD_DB)
    lines = ["database: %s" % path]
    if not os.path.isfile(path):
        lines.append("absent")
        return "\n".join(lines) + "\n"
    uri = "file:%s?mode=ro" % urllib.parse.quote(path)
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=2.0)
    except sqlite3.Error as e:
        lines.append("cannot open: %s" % e)
        return "\n".join(lines) + "\n"
    try:
        conn.set_progress_handler(lambda: 1 if deadline.passed() else 0, 10000)
        tables = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        for table in tables:
            quoted = '"' + table.replace('"', '""') + '"'
            try:
                count = conn.execute("SELECT count(*) FROM " + quoted).fetchone()[0]
                lines.append("%s: %d rows" % (table, count))
            except sqlite3.Error as e:
                lines.append("%s: %s" % (table, e))
    except sqlite3.Error as e:
        lines.append("cannot read: %s" % e)
    finally:
        conn.close()
    return "\n".join(lines) + "\n"


def collector_listing(root, deadline):
    top = os.path.join(root, COLLECTOR_DIR)
    lines = ["collector directory: %s" % top, "type size modified path"]
    if not os.path.isdir(top):
        lines.append("absent")
        return "\n".join(lines) + "\n"
    count = 0
    for dirpath, dirnames, filenames in os.walk(top):
        dirnames.sort()
        for name in sorted(dirnames + filenames):
            if count >= LISTING_MAX_ENTRIES or deadline.passed():
                lines.append("... listing stopped after %d entries" % count)
                return "\n".join(lines) + "\n"
            full = os.path.join(dirpath, name)
            try:
                st = os.lstat(full)
            except OSError:
                continue
            kind = "d" if stat.S_ISDIR(st.st_mode) else "l" if stat.S_ISLNK(st.st_mode) else \
                "f" if stat.S_ISREG(st.st_mode) else "o"
            lines.append("%s %d %s %s" % (kind, st.st_size, fmt_time(st.st_mtime), os.path.relpath(full, top)))
            count += 1
    return "\n".join(lines) + "\n"


def log_files(root):
    """The node's logs, current and rotated (plain text), newest first."""
    log_dir = os.path.join(root, LOG_DIR)
    found = []
    try:
        entries = list(os.scandir(log_dir))
    except OSError:
        return found
    for entry in entries:
        if re.fullmatch(r"[\w.\-]+\.log(?:\.[0-9]{1,3})?", entry.name) and entry.is_file(follow_symlinks=False):
            try:
                found.append((entry.stat(follow_symlinks=False).st_mtime, entry.name, entry.path))
            except OSError:
                continue
    found.sort(key=lambda f: (-f[0], f[1]))
    return found


def tail(path, size):
    """The last SIZE bytes of a file from a whole line on, and the file's size."""
    with open_regular(path) as f:
        end = os.fstat(f.fileno()).st_size
        start = max(0, end - size)
        f.seek(start)
        data = f.read(size)
    if start > 0:
        # Start at a whole line.
        cut = data.find(b"\n")
        if 0 <= cut < len(data) - 1:
            data = data[cut + 1:]
    return data, end


def db_rows(root, deadline):
    """The rows of every table of the record database (read-only), at most
    DB_ROWS_MAX per table."""
    path = os.path.join(root, RECORD_DB)
    if not os.path.isfile(path):
        return "database %s absent\n" % path
    conn = sqlite3.connect("file:%s?mode=ro" % urllib.parse.quote(path), uri=True, timeout=2.0)
    lines = []
    try:
        conn.set_progress_handler(lambda: 1 if deadline.passed() else 0, 10000)
        tables = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        for table in tables:
            cursor = conn.execute("SELECT * FROM \"%s\" LIMIT %d" % (table.replace('"', '""'), DB_ROWS_MAX + 1))
            lines.append("== %s: %s" % (table, " | ".join(d[0] for d in cursor.description)))
            for i, row in enumerate(cursor):
                if i == DB_ROWS_MAX:
                    lines.append("... more rows left out")
                    break
                lines.append(" | ".join("NULL" if v is None else str(v) for v in row))
    finally:
        conn.close()
    return "\n".join(lines) + "\n"


def core_files(root, deadline):
    """Core files below the node root and where the kernel puts them."""
    lines = []
    data, err = read_small("/proc/sys/kernel/core_pattern", 4096)
    lines.append("core_pattern: %s" % (err if data is None else data.decode("utf-8", "replace").strip()))
    places = [root]
    if data and data.startswith(b"/"):
        places.append(os.path.dirname(data.decode("utf-8", "replace").strip()))
    seen = 0
    found = 0
    for top in places:
        for dirpath, dirnames, filenames in os.walk(top):
            dirnames.sort()
            for name in sorted(filenames):
                seen += 1
                if seen > CORE_SEARCH_MAX or deadline.passed():
                    lines.append("... search stopped after %d entries" % seen)
                    return "\n".join(lines) + "\n"
                if re.fullmatch(r"core(?:[.\-_].*)?|.*\.core", name):
                    full = os.path.join(dirpath, name)
                    try:
                        st = os.lstat(full)
                    except OSError:
                        continue
                    if stat.S_ISREG(st.st_mode):
                        lines.append("%s %d %s" % (full, st.st_size, fmt_time(st.st_mtime)))
                        found += 1
    lines.append("core files found: %d" % found)
    return "\n".join(lines) + "\n"


def kernel_section(s, root):
    s.run("dmesg.txt", ["dmesg"])
    s.copy("modules.txt", "/proc/modules", system=True)


def os_section(s, root):
    s.copy("os-release.txt", "/etc/os-release", system=True)
    s.run("uptime.txt", ["uptime"])
    s.run("timedatectl.txt", ["timedatectl", "status"])
    if shutil.which("chronyc", path=program_env()["PATH"]):
        s.run("chrony.txt", ["chronyc", "tracking"])
    elif shutil.which("ntpq", path=program_env()["PATH"]):
        s.run("ntpq.txt", ["ntpq", "-pn"])
    else:
        s.note("neither chronyc nor ntpq found in PATH")


def hardware_section(s, root):
    s.run("lscpu.txt", ["lscpu"])
    s.copy("meminfo.txt", "/proc/meminfo", system=True)
    s.run("free.txt", ["free", "-m"])
    s.run("lsblk.txt", ["lsblk", "-o", "NAME,SIZE,TYPE,FSTYPE,MOUNTPOINT,MODEL"])


def storage_section(s, root):
    s.copy("mounts.txt", "/proc/mounts", system=True)
    s.run("df_h.txt", ["df", "-h"])
    s.run("df_i.txt", ["df", "-i"])
    s.copy("diskstats.txt", "/proc/diskstats", system=True)
    if os.path.exists("/proc/mdstat"):
        s.copy("mdstat.txt", "/proc/mdstat", system=True)
    else:
        s.note("/proc/mdstat absent: no software RAID here")


def network_section(s, root):
    s.run("ip_addr.txt", ["ip", "-d", "addr"])
    s.run("ip_route.txt", ["ip", "route", "show", "table", "all"])
    s.run("ip_link.txt", ["ip", "-d", "-s", "link"])
    s.run("sockets.txt", ["ss", "-s"])


def processes_section(s, root):
    s.run("top_memory.txt", ["ps", "-eo", "pid,ppid,user,rss,vsz,pcpu,etime,comm", "--sort=-rss"])
    s.run("threads.txt", ["ps", "-eLo", "pid,tid,ppid,stat,pcpu,rss,wchan:24,comm"])


def services_section(s, root):
    if not os.path.isdir("/run/systemd/system"):
        s.note("systemd does not run on this node")
        return
    units = ["infocollector@*", "chs-peers*"]
    s.run("units.txt", ["systemctl", "list-units", "--all", "--no-pager", "--plain"] + units)
    s.run("status.txt", ["systemctl", "status", "--no-pager", "--lines=50"] + units)


def alarms_section(s, root):
    node = os.path.basename(root)
    if not (node.startswith("node") and node[4:].isdigit()):
        s.note("the node number is not known from %s" % root)
        return
    path = os.path.join(os.path.dirname(root), ALARM_DIR, "node%s.jsonl" % node[4:])
    if not os.path.lexists(path):
        s.note("no alarm has been recorded (%s absent)" % path)
        return
    try:
        data, size = tail(path, s.room())
    except OSError as e:
        s.failed += 1
        s.note("%s not read: %s" % (path, e.strerror))
        return
    s.put("alarms.jsonl", data)
    s.ok += 1
    if size > len(data):
        s.note("the latest %d of %d bytes" % (len(data), size))


def collector_section(s, root, deadline):
    s.text("system.txt", lambda: system_facts(root, deadline))
    s.text("processes.txt", lambda: processes(root))
    s.text("db_summary.txt", lambda: db_summary(root, deadline))
    s.text("db_rows.txt", lambda: db_rows(root, deadline))
    s.text("collector_listing.txt", lambda: collector_listing(root, deadline))
    s.text("cores.txt", lambda: core_files(root, deadline))
    s.copy("config_InfoCollector.txt", os.path.join(root, PLUGIN_CONF))
    s.copy("config_cluster.json", os.path.join(os.path.dirname(root), "cluster.json"))
    for _, name, path in log_files(root):
        if s.left() <= 0:
            s.note("logs stopped: out of time")
            break
        room = min(LOG_READ_MAX, s.room())
        if room < LOG_TAIL_MIN:
            s.note("logs stopped: size budget reached before %s" % name)
            break
        try:
            data, size = tail(path, room)
        except OSError as e:
            s.skipped += 1
            s.note("%s not read: %s" % (path, e.strerror))
            continue
        s.put("log_%s.tail" % name, data)
        s.ok += 1
        if size > room:
            # The rest of the budget went to this log; older ones would only get scraps.
            s.note("logs stopped: size budget reached at %s" % name)
            break


# name, directory, share of the budget, seconds. The collector's own state
# comes last and gets whatever the others left.
SECTIONS = (
    ("kernel", "kernel", 0.10, 10, kernel_section),
    ("os", "os", 0.02, 8, os_section),
    ("hardware", "hardware", 0.04, 10, hardware_section),
    ("storage", "storage", 0.04, 15, storage_section),
    ("network", "network", 0.05, 10, network_section),
    ("processes", "processes", 0.08, 10, processes_section),
    ("services", "services", 0.03, 10, services_section),
    ("alarms", "alarms", 0.05, 5, alarms_section),
)
COLLECTOR_SECONDS = 40


def known_values(root):
    """Literal secrets of this node to mask wherever they appear."""
    data, _ = read_small(os.path.join(root, CLUSTER_KEY), 4096)
    key = (data or b"").strip()
    return [key] if key else []


def export_command(root, args):
    if len(args) != 4:
        raise Refused("usage: export_command <limit MB> master|slave current <dir>")
    limit = parse_limit(args[0])
    role, scope, target = args[1], args[2], args[3]
    if role not in ("master", "slave"):
        raise Refused("the role must be master or slave, not %r" % role)
    if scope != "current":
        raise Refused("the scope must be current, not %r" % scope)
    checked_path(root, target)
    deadline = Deadline(COMMAND_SECONDS)
    started = time.time()
    directory = make_package_dir(root, target)
    masker = Masker(known_values(root))
    package = Package(directory, limit * MB, masker)
    share_base = package.remaining()

    reports = []
    for name, subdir, share, seconds, collect in SECTIONS:
        section = Section(package, name, subdir, int(share * share_base), seconds, deadline)
        if deadline.passed():
            section.note("not collected: out of time")
        else:
            collect(section, root)
        reports.append(section.report())
    section = Section(package, "collector", "", package.remaining(), COLLECTOR_SECONDS, deadline)
    collector_section(section, root, deadline)
    reports.append(section.report())

    redaction = ["# Values masked in this package, per file: kind and count (never the values)."]
    for name in sorted(masker.counts):
        for kind, n in sorted(masker.counts[name].items()):
            redaction.append("%s %s %d" % (name, kind, n))
    redaction.append("total %d" % masker.total())
    package.write("redaction.txt", "\n".join(redaction) + "\n", reserve=True, report=True)

    finished = time.time()
    document = {
        "node": os.path.basename(root), "host": os.uname().nodename, "role": role, "scope": scope,
        "started": fmt_time(started), "finished": fmt_time(finished), "budget_bytes": limit * MB,
        "sections": reports,
        "redaction": {"total": masker.total(), "by_kind": masker.by_kind(), "by_file": masker.counts},
    }
    document["bytes"] = package.used
    package.write("summary.json", json.dumps(document, indent=1, sort_keys=True) + "\n", reserve=True,
                  report=True)

    summary = [
        "role: %s" % role,
        "scope: %s" % scope,
        "node root: %s" % root,
        "node: %s" % os.path.basename(root),
        "host: %s" % os.uname().nodename,
        "started: %s" % fmt_time(started),
        "finished: %s" % fmt_time(finished),
        "size budget: %d MB" % limit,
        "bytes written: %d" % package.used,
        "values masked: %d (see redaction.txt)" % masker.total(),
        "sections:",
    ]
    for r in reports:
        summary.append("  %-10s %-8s %9d bytes %7.1f s%s" % (r["name"], r["status"], r["bytes"], r["seconds"],
                                                           "  " + r["note"] if r["note"] else ""))
    summary.append("files:")
    summary += ["  " + f for f in package.files]
    if package.notes:
        summary.append("notes:")
        summary += ["  " + n for n in package.notes]
    package.write("summary.txt", "\n".join(summary) + "\n", reserve=True, report=True)
    return 0


def atomic_archive(root, target, limit, deadline, fill):
    """Builds the gzip tar `target` by `fill(tar)` under a temporary name."""
    resolved = checked_path(root, target)
    parent = os.path.dirname(resolved)
    try:
        os.makedirs(parent, mode=0o750, exist_ok=True)
    except OSError as e:
        raise Failed("cannot create %s: %s" % (parent, e.strerror)) from None
    if os.path.isdir(resolved):
        raise Failed("%s is a directory" % target)
    try:
        fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(resolved) + ".", suffix=".part", dir=parent)
    except OSError as e:
        raise Failed("cannot create a file in %s: %s" % (parent, e.strerror)) from None
    try:
        with os.fdopen(fd, "wb") as raw:
            with tarfile.open(fileobj=raw, mode="w:gz", compresslevel=6) as tar:
                fill(tar, lambda: check_progress(raw, limit, deadline))
            raw.flush()
            os.fsync(raw.fileno())
        if os.path.getsize(temp) > limit * MB:
            raise Failed("the archive exceeds the size limit of %d MB" % limit)
        os.chmod(temp, 0o640)
        os.rename(temp, resolved)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def check_progress(raw, limit, deadline):
    deadline.check("writing the archive")
    if raw.tell() > limit * MB:
        raise Failed("the archive exceeds the size limit of %d MB" % limit)


def export_node(root, args):
    if len(args) != 3:
        raise Refused("usage: export_node <limit MB> <dir> <file>")
    limit = parse_limit(args[0])
    source = checked_path(root, args[1])
    target = checked_path(root, args[2])
    if target == source or target.startswith(source + os.sep):
        raise Refused("the archive %s must not lie inside the directory it packs" % args[2])
    if not os.path.isdir(source):
        raise Failed("%s is not a directory" % args[1])
    deadline = Deadline(NODE_SECONDS)
    base = os.path.basename(source)

    def fill(tar, progress):
        tar.add(source, arcname=base, recursive=False)
        for dirpath, dirnames, filenames in os.walk(source):
            dirnames.sort()
            for name in sorted(dirnames + filenames):
                progress()
                full = os.path.join(dirpath, name)
                try:
                    mode = os.lstat(full).st_mode
                except OSError:
                    continue
                if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
                    continue  # links and special files: nothing outside is read
                arcname = os.path.join(base, os.path.relpath(full, source))
                if stat.S_ISREG(mode):
                    add_regular(tar, full, arcname)
                else:
                    tar.add(full, arcname=arcname, recursive=False)

    atomic_archive(root, args[2], limit, deadline, fill)
    return 0


def add_regular(tar, path, arcname):
    """Adds a regular file, opened without following a link put in its place."""
    try:
        f = open_regular(path)
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ELOOP, errno.EINVAL):
            return  # gone or replaced by a link or something else since it was listed
        raise Failed("cannot read %s: %s" % (path, e.strerror)) from None
    with f:
        info = tar.gettarinfo(arcname=arcname, fileobj=f)
        tar.addfile(info, f)


def export_cluster(root, args):
    if len(args) != 3:
        raise Refused("usage: export_cluster <limit MB> <dir of node packages> <file>")
    limit = parse_limit(args[0])
    source = checked_path(root, args[1], tree_itself=True)
    target = checked_path(root, args[2])
    if not os.path.isdir(source):
        raise Failed("%s is not a directory" % args[1])
    deadline = Deadline(CLUSTER_SECONDS)
    packages = []
    for entry in sorted(os.scandir(source), key=lambda e: e.name):
        if (entry.name.endswith(".tgz") and not entry.name.startswith(".") and entry.path != target
                and entry.is_file(follow_symlinks=False)):
            packages.append(entry)
    if not packages:
        raise Failed("no node package (*.tgz) in %s" % args[1])

    def fill(tar, progress):
        for entry in packages:
            progress()
            add_regular(tar, entry.path, entry.name)

    atomic_archive(root, args[2], limit, deadline, fill)
    return 0


def package_summary(root, args):
    if len(args) != 1:
        raise Refused("usage: package_summary <node package file>")
    path = checked_path(root, args[0])
    try:
        f = open_regular(path)
    except OSError as e:
        raise Failed("cannot open %s: %s" % (args[0], e.strerror)) from None
    with f, tarfile.open(fileobj=f, mode="r|gz") as tar:
        for count, member in enumerate(tar):
            if count >= SCAN_MEMBERS_MAX:
                break
            parts = member.name.strip("/").split("/")
            if len(parts) != 2 or parts[1] != "summary.json" or not member.isreg():
                continue
            if member.size > SUMMARY_JSON_MAX:
                raise Failed("%s: %s is larger than %d bytes" % (args[0], member.name, SUMMARY_JSON_MAX))
            data = tar.extractfile(member).read(SUMMARY_JSON_MAX + 1)
            try:
                document = json.loads(data.decode("utf-8"))
            except (UnicodeDecodeError, ValueError) as e:
                raise Failed("%s: %s is not valid JSON: %s" % (args[0], member.name, e)) from None
            if not isinstance(document, dict):
                raise Failed("%s: %s is not a JSON object" % (args[0], member.name))
            sys.stdout.write(json.dumps(document, sort_keys=True) + "\n")
            return 0
    raise Failed("%s holds no summary.json below its top directory" % args[0])


class SecretFound(Exception):
    pass


class Prepended:
    """A stream that yields `head` before the rest of `stream`."""

    def __init__(self, head, stream):
        self.head = head
        self.stream = stream

    def read(self, size=-1):
        if not self.head:
            return self.stream.read(size)
        if size is None or size < 0:
            data, self.head = self.head + self.stream.read(), b""
            return data
        data, self.head = self.head[:size], self.head[size:]
        if len(data) < size:
            data += self.stream.read(size - len(data))
        return data


def read_upto(stream, size):
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


class SecretScan:
    """Looks for known secrets in a stream, inside nested gzip and tar
    archives, within bounds of depth, members, bytes and time."""

    def __init__(self, secrets):
        self.secrets = secrets
        self.overlap = max(len(s) for s in secrets) - 1
        self.members = 0
        self.bytes = 0
        self.deadline = Deadline(CHECK_SECONDS)

    def look(self, data, where):
        for number, secret in enumerate(self.secrets, 1):
            if secret in data:
                raise SecretFound("known secret %d of %d appears in %s" % (number, len(self.secrets), where))

    def scan(self, stream, where, depth):
        head = read_upto(stream, 2)
        if head == b"\x1f\x8b" and depth < SCAN_DEPTH_MAX:
            self.scan(gzip.GzipFile(fileobj=Prepended(head, stream), mode="rb"), where, depth + 1)
            return
        head += read_upto(stream, 510)
        if len(head) == 512 and head[257:262] == b"ustar" and depth < SCAN_DEPTH_MAX:
            with tarfile.open(fileobj=Prepended(head, stream), mode="r|") as tar:
                for member in tar:
                    self.members += 1
                    if self.members > SCAN_MEMBERS_MAX:
                        raise Failed("more than %d archive members to look through" % SCAN_MEMBERS_MAX)
                    inner = where + "/" + member.name
                    self.look(member.name.encode("utf-8", "surrogateescape"), inner)
                    if member.isreg():
                        self.scan(tar.extractfile(member), inner, depth + 1)
            return
        carry = b""
        data = head
        while data:
            self.bytes += len(data)
            if self.bytes > SCAN_BYTES_MAX:
                raise Failed("more than %d MB to look through" % (SCAN_BYTES_MAX // MB))
            self.deadline.check("looking for known secrets")
            window = carry + data
            self.look(window, where)
            carry = window[-self.overlap:] if self.overlap else b""
            data = stream.read(MB)


def check_secrets(root, args):
    if len(args) != 1:
        raise Refused("usage: check_secrets <file> (known secrets on standard input, one per line)")
    path = checked_path(root, args[0])
    text = sys.stdin.buffer.read(SECRETS_INPUT_MAX + 1)
    if len(text) > SECRETS_INPUT_MAX:
        raise Failed("more than %d bytes of known secrets on standard input" % SECRETS_INPUT_MAX)
    secrets = []
    short = 0
    for line in text.split(b"\n"):
        line = line.rstrip(b"\r").rstrip(b"\0")
        if len(line) >= SECRET_MIN:
            secrets.append(line)
        elif line:
            short += 1
    if short:
        sys.stderr.write("chs_diagnostic.py check_secrets: %d known secret(s) shorter than %d bytes not looked "
                         "for\n" % (short, SECRET_MIN))
    if not secrets:
        return 0
    try:
        f = open_regular(path)
    except OSError as e:
        raise Failed("cannot open %s: %s" % (args[0], e.strerror)) from None
    try:
        with f:
            SecretScan(secrets).scan(f, os.path.basename(path), 0)
    except SecretFound as e:
        sys.stderr.write("chs_diagnostic.py check_secrets: refused: %s\n" % e)
        return 1
    except (EOFError, gzip.BadGzipFile, tarfile.TarError, zlib.error) as e:
        raise Failed("cannot look through %s: %s" % (args[0], e)) from None
    return 0


COMMANDS = {"export_command": export_command, "export_node": export_node, "export_cluster": export_cluster,
            "package_summary": package_summary, "check_secrets": check_secrets}


def main(argv):
    if len(argv) < 2 or argv[1] not in COMMANDS:
        sys.stderr.write("usage: chs_diagnostic.py %s ...\n" % "|".join(COMMANDS))
        return 2
    try:
        return COMMANDS[argv[1]](node_root(), argv[2:])
    except Refused as e:
        sys.stderr.write("chs_diagnostic.py %s: refused: %s\n" % (argv[1], e))
        return 2
    except (Failed, OSError, tarfile.TarError) as e:
        sys.stderr.write("chs_diagnostic.py %s: %s\n" % (argv[1], e))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
