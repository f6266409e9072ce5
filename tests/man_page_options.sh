#!/usr/bin/env bash
# The manual page keeps in step with the help text: every option the help
# lists (long and short) appears in the page, and the page names no long
# option the help does not know. Usage: man_page_options.sh <quillon> <page>
set -euo pipefail
binary=$1
page=$2
help=$("$binary" --help) || true # the usage ends with status 129
# The page as text: roff's "\-" is a minus, font changes are dropped.
text=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$page")

long=$(grep -o -- '--[a-z][a-z0-9*-]*' <<<"$help" | sort -u)
short=$(grep -oE -- '^  -[a-zA-Z],' <<<"$help" | tr -d ' ,' | sort -u)
[ "$(wc -l <<<"$long")" -ge 15 ] || {
  echo "too few options in the help text:"
  echo "$help"
  exit 1
}
missing=0
for option in $long; do
  # "--dbc-can*" stands for --dbc-can1 and so on: anything may follow.
  if [[ $option == *'*' ]]; then
    pattern="(^|[^a-z-])${option%\*}"
  else
    pattern="(^|[^a-z-])${option}([^a-z0-9-]|$)"
  fi
  grep -qE -- "$pattern" <<<"$text" || {
    echo "the manual page lacks $option"
    missing=1
  }
done
for option in $short; do
  grep -qE -- "(^|[^a-zA-Z-])${option}([^a-zA-Z0-9-]|$)" <<<"$text" || {
    echo "the manual page lacks $option"
    missing=1
  }
done
for option in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$text" | sort -u); do
  known=0
  for listed in $long; do
    if [ "$option" = "$listed" ] || [[ $listed == *'*' && $option == "${listed%\*}"* ]]; then
      known=1
    fi
  done
  [ $known = 1 ] || {
    echo "the manual page names $option, which the help does not list"
    missing=1
  }
done
exit $missing
