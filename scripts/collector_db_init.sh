#!/bin/sh
# Creates the collector's record database with the tables the daemon fills:
#   <root>/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat
#
# The node root is CHS_NODE_ROOT when set, else found from where this script is
# installed (<root>/VXA/script/). A database that passes SQLite's integrity
# check keeps its records and only gets the tables it lacks; any other file
# (missing, empty, damaged, not a database) is replaced by a new one, built
# beside it and renamed over it, so that no reader ever sees half a database.
# The log table is created by the daemon itself.
#
# Exit status 0 on success; otherwise a message on standard error and 1.

set -u

fail() {
    echo "collector_db_init.sh: $*" >&2
    [ -n "${tmp_file:-}" ] && rm -f "$tmp_file" "$tmp_file-journal"
    exit 1
}

trap 'fail "interrupted"' HUP INT TERM

command -v sqlite3 >/dev/null 2>&1 || fail "sqlite3 command not found"

if [ -n "${CHS_NODE_ROOT:-}" ]; then
    root=$CHS_NODE_ROOT
else
    script_dir=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd -P) || fail "cannot find the script directory"
    root=$(CDPATH= cd -- "$script_dir/../.." && pwd -P) || fail "cannot find the node root"
fi
root=${root%/}  # "/" becomes "", so that paths do not start with "//"

db_dir="$root/VXA/coffer_data/omm/export_import/chs/collector/db"
db_file="$db_dir/collect.dat"

schema="
CREATE TABLE IF NOT EXISTS tbl_plugin_record (id integer PRIMARY KEY AUTOINCREMENT, file_name varchar (256),
    is_collect int DEFAULT 0, file_time datetime, file_size integer, file_type integer);
CREATE TABLE IF NOT EXISTS tbl_node_record (id integer PRIMARY KEY AUTOINCREMENT, file_name varchar (256),
    is_collect int DEFAULT 0, file_time datetime, file_size integer);
CREATE TABLE IF NOT EXISTS tbl_alarm_record (id integer PRIMARY KEY AUTOINCREMENT, node_id integer,
    alarm_id integer, alarm_time datetime, is_handled int DEFAULT 0);
"

mkdir -p -- "$db_dir" || fail "cannot create $db_dir"

if [ -s "$db_file" ] &&
    [ "$(sqlite3 -batch -bail "$db_file" 'pragma integrity_check;' 2>/dev/null)" = "ok" ]; then
    sqlite3 -batch -bail "$db_file" "$schema" || fail "cannot add the tables to $db_file"
    exit 0
fi

tmp_file=$(mktemp "$db_dir/.collect.dat.XXXXXX") || fail "cannot create a file in $db_dir"
sqlite3 -batch -bail "$tmp_file" "$schema" || fail "cannot create the tables in $tmp_file"
[ "$(sqlite3 -batch -bail "$tmp_file" 'pragma integrity_check;' 2>/dev/null)" = "ok" ] ||
    fail "the new database $tmp_file does not pass its integrity check"
chmod 640 "$tmp_file" || fail "cannot set the mode of $tmp_file"
# A journal left by the damaged file would be rolled back into the new one.
rm -f -- "$db_file-journal" "$db_file-wal" "$db_file-shm" || fail "cannot remove the old journal of $db_file"
mv -f -- "$tmp_file" "$db_file" || fail "cannot move the new database to $db_file"
tmp_file=
exit 0
