#!/bin/sh
# keldar where glibc's converter folder is empty, as for a statically linked keldar on a machine
# without glibc's converter files: it must refuse with the one line in EXPECTED and status 1,
# and print nothing else. The same run with the folder in place must detect (status 0), so
# that the hiding is what makes the difference. Then where the folder holds only the
# program's own converter (GBK) and UTF-32: a topology in another code page (WESTERN, 1252)
# is refused as EXPECTED_WESTERN says, status 1. Needs root for the mount namespace; skipped
# (status 77) otherwise.
#   no_converters_test.sh KELDAR EXPECTED WESTERN EXPECTED_WESTERN
keldar=$1 expected=$2 western=$3 expected_western=$4
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

mkdir "$scratch/partial"
cp "$gconv/GBK.so" "$gconv/UTF-32.so" "$scratch/partial/"
cat "$gconv/gconv-modules" "$gconv"/gconv-modules.d/*.conf 2>/dev/null |
  grep -E '^(alias|module)[[:space:]].*[[:space:]](GBK|UTF-32)[[:space:]]+1$|^alias[[:space:]]+(CP936|UTF32[LB]?E?)//' \
  >"$scratch/partial/gconv-modules"
unshare -m sh -c 'mount --bind "$1" "$2" && exec "$3" --topology "$4"' sh "$scratch/partial" \
  "$gconv" "$keldar" "$western" >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 1 ] || { echo "without CP1252: status $status, expected 1"; cat "$scratch/err"; fail=1; }
sed "s#{western}#$western#" "$expected_western" | diff - "$scratch/err" ||
  { echo "standard error differs from $expected_western"; fail=1; }
exit $fail
