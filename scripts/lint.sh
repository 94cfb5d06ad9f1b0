#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over the tree's C++ sources
# (all of them, or those under the given folders and files) and prints every
# finding once, also one in a header that many sources include. Exits 1 when
# there is any finding, 0 when there is none.
# Usage: scripts/lint.sh [-j JOBS] [PATH...]   (default: every source, one job per core)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

jobs=$(nproc)
paths=()
while [ $# -gt 0 ]; do
  case "$1" in
    -j) [ $# -ge 2 ] || { echo "lint.sh: -j needs a number" >&2; exit 2; }
        jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "lint.sh: unknown option '$1'; try --help" >&2; exit 2 ;;
    *) paths+=("$1"); shift ;;
  esac
done
case "$jobs" in
  ''|*[!0-9]*|0) echo "lint.sh: -j needs a positive number, not '$jobs'" >&2; exit 2 ;;
esac

if ! command -v clang-tidy >/dev/null; then
  echo "lint.sh: clang-tidy is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

# The default preset's compile commands; configuring takes seconds and builds nothing.
build=build/default
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset default >/dev/null
fi

mapfile -t sources < <(git ls-files -- "${paths[@]}" | grep -E '\.cpp$' || true)
if [ ${#sources[@]} -eq 0 ]; then
  echo "lint.sh: no C++ sources under ${paths[*]:-the tree}" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One compile command per source: a source built into several targets would
# otherwise be checked once for each of them.
printf '%s\n' "${sources[@]}" > "$work/sources"
python3 - "$root" "$build/compile_commands.json" "$work" <<'EOF'
import json, os, sys
root, database, work = sys.argv[1:4]
wanted = [os.path.join(root, line.strip()) for line in open(os.path.join(work, "sources")) if line.strip()]
commands = {}
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    commands.setdefault(path, entry)
chosen = [commands[os.path.realpath(p)] for p in wanted if os.path.realpath(p) in commands]
missing = [os.path.relpath(p, root) for p in wanted if os.path.realpath(p) not in commands]
json.dump(chosen, open(os.path.join(work, "compile_commands.json"), "w"))
with open(os.path.join(work, "checked"), "w") as out:
    for entry in chosen:
        out.write(os.path.realpath(os.path.join(entry["directory"], entry["file"])) + "\n")
if missing:
    print("lint.sh: not in %s, so not checked (configure again?): %s"
          % (sys.argv[2], " ".join(missing)), file=sys.stderr)
EOF

# Warnings in the tree's own headers, never in system or third-party ones.
header_filter="^${root}/(platform|midiframework|orvalis|kestravion|tools|tests|bench|fuzz|examples|python)/"

start=$(date +%s)
mapfile -t checked < "$work/checked"
export work header_filter
# Each source's findings go to a file of their own, numbered in source order.
i=0
for f in "${checked[@]}"; do
  printf '%d\0%s\0' "$i" "$f"
  i=$((i + 1))
done | xargs -0 -n 2 -P "$jobs" sh -c '
  clang-tidy -p "$work" --quiet --header-filter="$header_filter" "$1" >"$work/$0.out" 2>"$work/$0.err"
  echo $? >"$work/$0.rc"
' || true
elapsed=$(( $(date +%s) - start ))

python3 - "$root" "$work" "$elapsed" <<'EOF'
import os, re, sys
root, work, elapsed = sys.argv[1:4]
checked = [line.rstrip("\n") for line in open(os.path.join(work, "checked"))]
start = re.compile(r"^[^\s:][^:]*:\d+:\d+: (warning|error): ")
seen, findings, failed = set(), [], []
for i, source in enumerate(checked):
    block, errors = None, False
    with open(os.path.join(work, "%d.out" % i), errors="replace") as out:
        for line in out:
            line = line.replace(root + "/", "")
            found = start.match(line)
            if found:
                errors = errors or found.group(1) == "error"
                block = None if line in seen else [line]
                if block:
                    seen.add(line)
                    findings.append(block)
            elif block:
                block.append(line)
    # A non-zero exit with no error shown (a crash, a bad option) is a failure of its own.
    if open(os.path.join(work, "%d.rc" % i)).read().strip() != "0" and not errors:
        err = open(os.path.join(work, "%d.err" % i), errors="replace").read()
        failed.append((os.path.relpath(source, root), err))
for block in findings:
    sys.stdout.write("".join(block))
for source, err in failed:
    sys.stderr.write("lint.sh: clang-tidy failed on %s:\n%s" % (source, err))
summary = "%d source(s) checked in %s s" % (len(checked), elapsed)
if findings or failed:
    print("lint.sh: %d finding(s); %s" % (len(findings), summary), file=sys.stderr)
    sys.exit(1)
print("lint.sh: no findings; %s" % summary, file=sys.stderr)
EOF
