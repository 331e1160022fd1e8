#!/bin/sh
# keldar where glibc's converter folder is empty, as for a statically linked keldar on a machine
# without glibc's converter files: it must refuse with the one line in EXPECTED and status 1,
# and print nothing else. The same run with the folder in place must detect (status 0), so
# that the hiding is what makes the difference. Needs root for the mount namespace; skipped
# (status 77) otherwise.
#   no_converters_test.sh KELDAR EXPECTED
keldar=$1 expected=$2
gconv=/usr/lib/x86_64-linux-gnu/gconv
[ "$(id -u)" = 0 ] && [ -d "$gconv" ] || { echo "needs root and $gconv"; exit 77; }
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/empty"

"$keldar" --demo --json >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 0 ] || { echo "with the converters: status $status"; cat "$scratch/err"; exit 1; }

unshare -m sh -c 'mount --bind "$1" "$2" && exec "$3" --demo --json' sh "$scratch/empty" \
  "$gconv" "$keldar" >"$scratch/out" 2>"$scratch/err"
status=$?
fail=0
[ $status -eq 1 ] || { echo "without the converters: status $status, expected 1"; fail=1; }
[ ! -s "$scratch/out" ] || { echo "without the converters: standard output not empty:"; head -5 "$scratch/out"; fail=1; }
diff "$expected" "$scratch/err" || { echo "standard error differs from $expected"; fail=1; }
exit $fail
