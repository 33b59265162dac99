#!/usr/bin/env bash
# Fails when a C++ file of the tree differs from what clang-format makes of it under the tree's
# .clang-format; prints the first differences. Fix with:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$1"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
[ ${#files[@]} -gt 0 ] || { echo "no C++ files found under $1"; exit 1; }
clang-format --dry-run --Werror "${files[@]}" 2>&1 | head -40
exit "${PIPESTATUS[0]}"
