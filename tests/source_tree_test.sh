#!/usr/bin/env bash
# The tests write nothing into the source tree: `before` records git's view of SOURCE (its
# untracked and ignored files too, each new folder as one line) into RECORD before the tests
# that run Python or install, and `after` compares git's view once they have all run.
# Usage: source_tree_test.sh before|after SOURCE RECORD
# Exit status: 0 when nothing changed, 1 otherwise; 77 (skipped, with the reason) where SOURCE
# is not a git checkout of its own or git is missing.
set -euo pipefail
mode=$1 source=$2 record=$3
view() { git -C "$source" --no-optional-locks status --porcelain --ignored; }

if [ "$mode" = before ]; then
  # The record says why the comparison can't be made; `before` itself always passes, so that
  # the tests after it run.
  if ! command -v git >/dev/null; then
    echo "skip: git not found" >"$record"
  elif ! top=$(git -C "$source" rev-parse --show-toplevel 2>&1) ||
    [ "$(cd "$top" && pwd -P)" != "$(cd "$source" && pwd -P)" ]; then
    echo "skip: $source is not a git checkout of its own (${top:-no checkout})" >"$record"
  else
    view >"$record"
  fi
  exit 0
fi

reason=$(sed -n 's/^skip: //p' "$record")
if [ -n "$reason" ]; then
  echo "$reason: nothing to compare the source tree with"
  exit 77
fi
if ! view | diff "$record" - >&2; then
  echo "FAIL: the tests changed the source tree $source (above: before, after)" >&2
  exit 1
fi
