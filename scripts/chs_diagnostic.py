#!/usr/bin/env python3
"""Diagnose packages of the call-home service on one node.

Usage:
  chs_diagnostic.py export_command <limit MB> master|slave current <dir>
      Collects this node's diagnose information into <dir> (created when
      missing). Files written, flat in <dir>:
        summary.txt             role, scope, node, time, budget, what was written
        system.txt              uname, uptime, load, memory, disk use of the node root
        processes.txt           daemon and peer processes named by <cluster>/run/*.pid
                                and by this node's transport sockets
        db_summary.txt          row count of each table of the record database
                                (opened read-only)
        collector_listing.txt   names, sizes and times below the collector directory
        config_InfoCollector.txt, config_cluster.json   copies of the configuration
        log_<name>.tail         the end of each <node root>/var/log/chs/*.log,
                                newest first, until the budget is used up
      Everything written stays within <limit> MB; the run stops itself after
      120 seconds at most.

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

Every path argument must lie below <node root>/VXA/coffer_data/omm/export_import/
chs/export/ after symbolic links are resolved and must not contain a ".."
component; anything else is refused with exit status 2 before anything is
written. The daemon passes the real paths below the node root.

The node root is CHS_NODE_ROOT when that is set and not empty; otherwise it is
found from where this script is installed (<node root>/VXA/script/).

Exit status: 0 success; 1 failure; 2 bad usage or a refused path. Every
failure is explained on standard error. No shell and no other program is run.
"""

import errno
import os
import sqlite3
import stat
import sys
import tarfile
import tempfile
import time
import urllib.parse

EXPORT_TREE = "VXA/coffer_data/omm/export_import/chs/export"
COLLECTOR_DIR = "VXA/coffer_data/omm/export_import/chs/collector"
RECORD_DB = COLLECTOR_DIR + "/db/collect.dat"
LOG_DIR = "var/log/chs"
PLUGIN_CONF = "VXA/conf/InfoCollector.txt"

MB = 1024 * 1024
# The daemon waits 540 s for export_command, 15 s for export_node and 6 s for
# export_cluster; each stops well before that.
COMMAND_SECONDS = 120
NODE_SECONDS = 12
CLUSTER_SECONDS = 5
SUMMARY_RESERVE = 64 * 1024  # kept free so that summary.txt always fits
LOG_TAIL_MAX = 8 * MB  # per log file
LOG_TAIL_MIN = 4096  # a smaller tail is not worth a file
LISTING_MAX_ENTRIES = 20000
PROCESS_MAX = 256
CONFIG_MAX = 1 * MB


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


class Package:
    """Writes the files of one package directory within a byte budget."""

    def __init__(self, directory, budget):
        self.directory = directory
        self.budget = budget
        self.used = 0
        self.files = []
        self.notes = []

    def remaining(self):
        return max(0, self.budget - SUMMARY_RESERVE - self.used)

    def write(self, name, data, reserve=False):
        if isinstance(data, str):
            data = data.encode("utf-8", "replace")
        room = self.budget - self.used if reserve else self.remaining()
        if len(data) > room:
            self.notes.append("%s cut to %d of %d bytes by the size budget" % (name, room, len(data)))
            data = data[:room]
        path = os.path.join(self.directory, name)
        # Never write through something already placed under our name.
        try:
            if os.path.lexists(path):
                os.unlink(path)
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o640)
        except OSError as e:
            raise Failed("cannot create %s: %s" % (path, e.strerror)) from None
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        self.used += len(data)
        self.files.append("%s %d" % (name, len(data)))


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
    log_dir = os.path.join(root, LOG_DIR)
    found = []
    try:
        entries = list(os.scandir(log_dir))
    except OSError:
        return found
    for entry in entries:
        if entry.name.endswith(".log") and entry.is_file(follow_symlinks=False):
            try:
                found.append((entry.stat(follow_symlinks=False).st_mtime, entry.name, entry.path))
            except OSError:
                continue
    found.sort(key=lambda f: (-f[0], f[1]))
    return found


def tail(path, size):
    """The last SIZE bytes of a log from a whole line on, and the log's size."""
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
    package = Package(directory, limit * MB)

    package.write("system.txt", system_facts(root, deadline))
    deadline.check("collecting system facts")
    package.write("processes.txt", processes(root))
    package.write("db_summary.txt", db_summary(root, deadline))
    deadline.check("reading the record database")
    package.write("collector_listing.txt", collector_listing(root, deadline))
    for name, path in (("config_InfoCollector.txt", os.path.join(root, PLUGIN_CONF)),
                       ("config_cluster.json", os.path.join(os.path.dirname(root), "cluster.json"))):
        data, err = read_small(path)
        if data is None:
            package.notes.append("%s not copied: %s" % (path, err))
        else:
            if err:
                package.notes.append("%s %s" % (path, err))
            package.write(name, data)

    for _, name, path in log_files(root):
        if deadline.passed():
            package.notes.append("log tails stopped: out of time")
            break
        room = min(LOG_TAIL_MAX, package.remaining())
        if room < LOG_TAIL_MIN:
            package.notes.append("log tails stopped: size budget of %d MB reached" % limit)
            break
        try:
            data, size = tail(path, room)
        except OSError as e:
            package.notes.append("%s not read: %s" % (path, e.strerror))
            continue
        package.write("log_%s.tail" % name, data)
        if size > room and room < LOG_TAIL_MAX:
            # The rest of the budget went to this log; older ones would only get scraps.
            package.notes.append("log tails stopped: size budget of %d MB reached at %s" % (limit, name))
            break

    summary = [
        "role: %s" % role,
        "scope: %s" % scope,
        "node root: %s" % root,
        "node: %s" % os.path.basename(root),
        "host: %s" % os.uname().nodename,
        "started: %s" % fmt_time(started),
        "finished: %s" % fmt_time(time.time()),
        "size budget: %d MB" % limit,
        "bytes written: %d" % package.used,
        "files:",
    ]
    summary += ["  " + f for f in package.files]
    if package.notes:
        summary.append("notes:")
        summary += ["  " + n for n in package.notes]
    package.write("summary.txt", "\n".join(summary) + "\n", reserve=True)
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


COMMANDS = {"export_command": export_command, "export_node": export_node, "export_cluster": export_cluster}


def main(argv):
    if len(argv) < 2 or argv[1] not in COMMANDS:
        sys.stderr.write("usage: chs_diagnostic.py export_command|export_node|export_cluster <limit MB> ...\n")
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
