#!/usr/bin/env bash
# patch-deps.sh DIR: applies the project's patches of miniupnpc 2.2.4
# (patches/miniupnpc-2.2.4/*.patch) to its source in DIR. A patch already
# there is left as it is, so the script may run again on the same tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/session.sh"
tree=$1
for p in "$root"/patches/miniupnpc-2.2.4/*.patch; do
  [ -f "$p" ] || continue
  if patch -d "$tree" -p1 -R --dry-run -s -f <"$p" >/dev/null 2>&1; then
    continue
  fi
  patch -d "$tree" -p1 -N -s -f --no-backup-if-mismatch <"$p" >/dev/null || die "patch ${p##*/} does not apply to $tree; remove that folder and run 'make setup' again"
done
