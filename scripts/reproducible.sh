#!/usr/bin/env bash
# scripts/reproducible.sh [COMMIT]: builds KelSetup.exe of COMMIT (default HEAD) twice, from
# two clean copies of its sources in two different folders, and compares the programs byte
# for byte. Prints size and SHA-256 of each; exits 1 when they differ.
# Set CCACHE_DISABLE=1 to compile everything afresh instead of through the shared cache.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse "${1:-HEAD}")
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")
work=$(mktemp -d /tmp/kel_reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Different names and depths: any absolute path left in the program would show.
sources=("$work/a/kel" "$work/second/copy/kel-setup-sources")
for src in "${sources[@]}"; do
  mkdir -p "$src"
  git -C "$root" archive "$commit" | tar -x -C "$src"
  echo "building $commit in $src"
  KEL_BUILD_DIR="$src/build" "$src/scripts/build.sh" KelSetup >"$src.log" 2>&1 ||
    { tail -n 30 "$src.log"; exit 1; }
done
status=0
for src in "${sources[@]}"; do
  exe="$src/build/bin/KelSetup.exe"
  printf '%s  %s bytes  %s\n' "$(sha256sum "$exe" | cut -d' ' -f1)" "$(stat -c %s "$exe")" "$exe"
  printf '%s  %s bytes  %s\n' "$(sha256sum "$exe.debug" | cut -d' ' -f1)" \
    "$(stat -c %s "$exe.debug")" "$exe.debug"
done
if cmp "${sources[0]}/build/bin/KelSetup.exe" "${sources[1]}/build/bin/KelSetup.exe"; then
  echo "reproducible: the two builds of $commit are byte-identical"
else
  echo "NOT reproducible: the two builds of $commit differ (kept in $work)" >&2
  trap - EXIT
  status=1
fi
exit $status
