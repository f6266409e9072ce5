#!/usr/bin/env bash
# Checks the Debian package that `make package` left in the build folder
# (default build/package): exactly one package, named and versioned as the
# program's own version text says; the program and its manual page and
# nothing else; dependencies on the C and C++ run-times only (every Debian
# system has them), in the control file and in the binary; the unpacked
# program runs; the manual page renders without warnings.
# With QUILLON_PACKAGE_INSTALL=1 (as root, on a machine where installing is
# fine) it also installs the package with apt-get, runs the installed
# program, shows its manual page and removes the package again.
set -euo pipefail
build=${1:-build/package}
fail() {
  echo "package_check: $*" >&2
  exit 1
}

shopt -s nullglob
debs=("$build"/quillon_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package in $build, found ${#debs[@]}"
deb=${debs[0]}
field() { dpkg-deb -f "$deb" "$1"; }

version=$("$build/quillon" -v | sed -n 's/^Version: //p')
[ -n "$version" ] || fail "$build/quillon -v printed no version"
[ "$(field Package)" = quillon ] || fail "package name $(field Package)"
[ "$(field Version)" = "$version" ] || fail "package version $(field Version), program $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(field Architecture)"
case "$(basename "$deb")" in
  "quillon_${version}_$(dpkg --print-architecture).deb") ;;
  *) fail "file name $(basename "$deb")" ;;
esac

allowed_package() {
  case $1 in libc6 | libgcc-s1 | libstdc++6) return 0 ;; *) return 1 ;; esac
}
depends=$(field Depends)
for name in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | sort -u); do
  allowed_package "$name" || fail "unexpected dependency $name in: $depends"
done
echo "$depends" | grep -q 'libc6 (>=' || fail "no versioned dependency on libc6: $depends"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort)
expected=$'./usr/bin/quillon\n./usr/share/man/man1/quillon.1'
[ "$contents" = "$expected" ] || fail "unexpected contents:"$'\n'"$contents"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
program="$scratch/usr/bin/quillon"
"$program" -v | grep -qx "Version: $version" || fail "the unpacked program does not run"
for lib in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
  case $lib in
    libc.so.6 | libm.so.6 | libstdc++.so.6 | libgcc_s.so.1) ;;
    *) fail "the program links to $lib" ;;
  esac
done
MANWIDTH=80 man --warnings -l "$scratch/usr/share/man/man1/quillon.1" >"$scratch/page" \
  2>"$scratch/warnings" || fail "the manual page does not render"
[ ! -s "$scratch/warnings" ] || fail "manual page warnings: $(cat "$scratch/warnings")"
grep -q "EXIT STATUS" "$scratch/page" || fail "the manual page lacks its exit statuses"

if [ "${QUILLON_PACKAGE_INSTALL:-0}" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y "$(realpath "$deb")"
  [ "$(command -v quillon)" = /usr/bin/quillon ] || fail "quillon is not on the path"
  quillon -v | grep -qx "Version: $version" || fail "the installed program does not run"
  man -w quillon | grep -q '^/usr/share/man/man1/quillon.1' || fail "man does not find the page"
  apt-get remove -y quillon
  [ ! -e /usr/bin/quillon ] && [ ! -e /usr/share/man/man1/quillon.1 ] ||
    fail "files left after removal"
fi
echo "package_check: $(basename "$deb") good (Depends: $depends)"
