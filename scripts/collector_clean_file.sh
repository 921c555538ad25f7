#!/bin/bash
# collector_clean_file.sh DIR KEEP KEPT_NAMES
#
# Bounds the number of collected files in one collector directory: deletes the
# oldest regular files directly in DIR until at most KEEP of them are left.
#
#   DIR         a directory strictly below one of this node's collector trees,
#               <root>/VXA/coffer_data/omm/export_import/chs/ or
#               <root>/VXA/lun_data/omm/chs/, given as a real path (the daemon
#               maps its system paths below the node root before calling).
#               Any other directory is refused, also when it only reaches a
#               tree through "..", or leaves it through a symbolic link.
#   KEEP        how many of the newest files to keep: a decimal number, 0 and up.
#   KEPT_NAMES  '|'-separated words; a file whose name contains one of them
#               ("alarm|running|filelist.txt") is left alone and not counted.
#
# Only regular files directly in DIR are candidates: subdirectories (temp/),
# symbolic links and what they point to are never touched. "Oldest" is by
# modification time. Names may hold blanks, quotes or new lines.
#
# The node root is where the script is installed: <root>/VXA/script/.
#
# Exit status: 0 done (also when there was nothing to delete), 1 bad arguments,
# 2 directory refused, 3 at least one file could not be removed.

set -u
export LC_ALL=C

fail() {
    local status=$1
    shift
    echo "collector_clean_file.sh: $*" >&2
    exit "$status"
}

[ $# -eq 3 ] || fail 1 "usage: collector_clean_file.sh DIR KEEP KEPT_NAMES"
dir_arg=$1
keep=$2
kept_names=$3

case $keep in
    '' | *[!0-9]*) fail 1 "KEEP '$keep' is not a number" ;;
esac
[ ${#keep} -le 9 ] || fail 1 "KEEP '$keep' is too large"
keep=$((10#$keep))

# The logical directory of the script as it was invoked: the daemon calls it by
# its path below the node root, and that path names the root even where parts
# of it are symbolic links.
case $0 in
    */*) script_dir=${0%/*} ;;
    *) script_dir=. ;;
esac
script_dir=$(cd -- "$script_dir" && pwd) || fail 2 "cannot find the script's own directory"
case $script_dir in
    */VXA/script) root=${script_dir%/VXA/script} ;;
    *) fail 2 "not installed below a node root (<root>/VXA/script/): $script_dir" ;;
esac

dir=$(realpath -e -- "$dir_arg" 2>/dev/null) || fail 2 "'$dir_arg' does not exist"
[ -d "$dir" ] || fail 2 "'$dir_arg' is not a directory"

allowed=
for tree in "$root/VXA/coffer_data/omm/export_import/chs" "$root/VXA/lun_data/omm/chs"; do
    tree_real=$(realpath -m -- "$tree") || continue
    case $dir in
        "$tree_real"/?*) allowed=yes ;;
    esac
done
[ -n "$allowed" ] || fail 2 "'$dir_arg' is not below a collector directory"

IFS='|' read -r -a kept_words <<<"$kept_names"

is_kept() {
    local name=$1 word
    for word in "${kept_words[@]}"; do
        if [ -n "$word" ] && [[ $name == *"$word"* ]]; then
            return 0
        fi
    done
    return 1
}

# Newest first; a record is "<mtime> <name>" ended by a NUL, so that any name
# travels whole. -P (the default) never follows a link, and -type f skips links.
status=0
seen=0
while IFS= read -r -d '' record; do
    name=${record#* }
    is_kept "$name" && continue
    seen=$((seen + 1))
    [ "$seen" -gt "$keep" ] || continue
    if rm -f -- "$dir/$name"; then
        printf 'removed %s\n' "$dir/$name"
    else
        status=3
    fi
done < <(find "$dir/" -mindepth 1 -maxdepth 1 -type f -printf '%T@ %f\0' | sort -z -s -k1,1nr)

exit "$status"
