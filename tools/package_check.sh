#!/usr/bin/env bash
# Checks the Debian package that `make package` left in the build folder
# (default build/package): exactly one package, named and versioned as the
# program's own version text says; the program, its manual page, the bash
# completion, the copyright file and the changelog (and the lintian
# overrides, while there are any) and nothing else; dependencies on the C and C++ run-times only (every
# Debian system has them), in the control file and in the binary; the
# unpacked program runs; the manual page renders without warnings; lintian,
# Debian's own package checker, finds no error and no warning that is not
# overridden with its reason, and every override is still needed.
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
  case $1 in libc6 | libgcc-s1 | libstdc++6 | libzstd1 | zlib1g) return 0 ;; *) return 1 ;; esac
}
depends=$(field Depends)
for name in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | sort -u); do
  allowed_package "$name" || fail "unexpected dependency $name in: $depends"
done
echo "$depends" | grep -q 'libc6 (>=' || fail "no versioned dependency on libc6: $depends"

source_dir=$(cd "$(dirname "$0")/.." && pwd)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort)
expected=$(
  sort <<'EOF'
./usr/bin/quillon
./usr/share/bash-completion/completions/quillon
./usr/share/doc/quillon/changelog.gz
./usr/share/doc/quillon/copyright
./usr/share/man/man1/quillon.1.gz
EOF
)
# The overrides go in only while there is a warning to override.
if [ -f "$source_dir/packaging/debian/lintian-overrides" ]; then
  expected=$(sort <<<"$expected"$'\n'./usr/share/lintian/overrides/quillon)
fi
[ "$contents" = "$expected" ] || fail "unexpected contents:"$'\n'"$contents"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
program="$scratch/usr/bin/quillon"
"$program" -v | grep -qx "Version: $version" || fail "the unpacked program does not run"
for lib in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
  case $lib in
    libc.so.6 | libm.so.6 | libstdc++.so.6 | libgcc_s.so.1 | libzstd.so.1 | libz.so.1) ;;
    *) fail "the program links to $lib" ;;
  esac
done
cmp -s "$scratch/usr/share/bash-completion/completions/quillon" "$source_dir/completion/quillon" ||
  fail "the packaged bash completion is not completion/quillon"
zcat "$scratch/usr/share/doc/quillon/changelog.gz" | head -n 1 | grep -qF "quillon ($version)" ||
  fail "the changelog's entry is not for $version"
MANWIDTH=80 man --warnings -l "$scratch/usr/share/man/man1/quillon.1.gz" >"$scratch/page" \
  2>"$scratch/warnings" || fail "the manual page does not render"
[ ! -s "$scratch/warnings" ] || fail "manual page warnings: $(cat "$scratch/warnings")"
grep -q "EXIT STATUS" "$scratch/page" || fail "the manual page lacks its exit statuses"

# Errors and warnings fail; the informational and pedantic tags are shown
# too. An override that no tag needs any more is a reason gone stale.
lintian --fail-on error,warning --display-info --pedantic --tag-display-limit 0 "$deb" \
  >"$scratch/lintian" 2>&1 ||
  fail "lintian:"$'\n'"$(cat "$scratch/lintian")"
if grep -E '^[EWI]: quillon[^:]*: (unused-override|mismatched-override)' "$scratch/lintian"; then
  fail "lintian overrides that match nothing in packaging/debian/lintian-overrides"
fi
lintian_tags=$(grep -cE '^[EWIP]: ' "$scratch/lintian" || true)

if [ "${QUILLON_PACKAGE_INSTALL:-0}" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y "$(realpath "$deb")"
  [ "$(command -v quillon)" = /usr/bin/quillon ] || fail "quillon is not on the path"
  quillon -v | grep -qx "Version: $version" || fail "the installed program does not run"
  man -w quillon | grep -q '^/usr/share/man/man1/quillon.1' || fail "man does not find the page"
  [ -f /usr/share/bash-completion/completions/quillon ] || fail "no bash completion installed"
  apt-get remove -y quillon
  for file in /usr/bin/quillon /usr/share/man/man1/quillon.1.gz \
    /usr/share/bash-completion/completions/quillon /usr/share/doc/quillon/copyright; do
    [ ! -e "$file" ] || fail "$file left after removal"
  done
fi
cat "$scratch/lintian"
echo "package_check: $(basename "$deb") good (Depends: $depends; lintian: no error or warning, $lintian_tags other tags)"
