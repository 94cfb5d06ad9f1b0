#!/usr/bin/env bash
# Formats every tracked C++ file with the repository's .clang-format, or with
# --check only lists the files that are not formatted and exits 1 if any.
# Usage: scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."

mode=fix
case "${1:-}" in
  --check) mode=check ;;
  -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  '') ;;
  *) echo "format.sh: unknown argument '$1'; try --help" >&2; exit 2 ;;
esac

if ! command -v clang-format >/dev/null; then
  echo "format.sh: clang-format is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if [ "$mode" = fix ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -r -n 50 clang-format -i
  exit 0
fi

bad=()
for f in "${files[@]}"; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "format.sh: ${#bad[@]} file(s) are not formatted; run scripts/format.sh:" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format.sh: all ${#files[@]} C++ files are formatted"
