#!/usr/bin/env bash
# The Debian package: built from the tested program, lintian reports no error, the man page
# formats without a warning, and the program unpacked into a throw-away root runs.
#   deb_test.sh KELDAR VERSION   (VERSION: CMake's project version)
set -euo pipefail
keldar=$1
version=$2
source_dir=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

package=$("$source_dir/scripts/make-deb" "$keldar" "$work")
[[ $(basename "$package") == "keldar_${version}-1_$(dpkg --print-architecture).deb" ]] ||
  { echo "unexpected package name: $package"; exit 1; }

expected=(./lib/systemd/system/keldar-watch.service ./usr/bin/keldar ./usr/share/doc/keldar/README.md
          ./usr/share/doc/keldar/changelog.Debian.gz ./usr/share/doc/keldar/copyright
          ./usr/share/doc/keldar/fleet.md ./usr/share/keldar/prometheus/keldar-rules.yml
          ./usr/share/man/man1/keldar.1.gz)
listed=$(dpkg-deb --fsys-tarfile "$package" | tar -t | grep -v '/$' | sort)
[[ $listed == "$(printf '%s\n' "${expected[@]}")" ]] || { echo "package holds:"; echo "$listed"; exit 1; }

lintian --fail-on error "$package"

warnings=$(man --warnings -l "$source_dir/packaging/keldar.1" 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "man page warnings:"; echo "$warnings"; exit 1; }

dpkg -x "$package" "$work/root"
printed=$("$work/root/usr/bin/keldar" --version)
[[ $printed == "keldar $version" ]] || { echo "--version printed: $printed"; exit 1; }
# The unit's command, as the package holds it, runs the packaged program: on the demo topology and
# into a file of this test instead of the node exporter's folder, it writes the metrics file.
command=$(sed -n 's/^ExecStart=//p' "$work/root/lib/systemd/system/keldar-watch.service")
[[ $command == "/usr/bin/keldar "*" --prometheus /var/lib/prometheus/node-exporter/keldar.prom" ]] ||
  { echo "the unit runs: $command"; exit 1; }
read -r -a argv <<<"${command% --prometheus *}"
"$work/root${argv[0]}" "${argv[@]:1}" --demo --prometheus "$work/keldar.prom" >"$work/watch.log" 2>&1 &
watch=$!
for _ in $(seq 100); do [[ -s $work/keldar.prom ]] && break; sleep 0.1; done
kill "$watch" 2>/dev/null || true; wait "$watch" || { echo "the unit's watch failed:"; cat "$work/watch.log"; exit 1; }
grep -q '^keldar_key_present{' "$work/keldar.prom" || { echo "the unit's watch wrote no key"; exit 1; }
echo "ok: $(basename "$package")"
