#!/usr/bin/env bash
# The bash completion as a user gets it: installed by `cmake --install` from
# the build, loaded by bash-completion itself on the first Tab after
# "quillon", then asked for the completions of a few command lines in a
# folder of known files. The options it offers are checked against the help
# text, read the way man_page_options.sh reads it.
# Usage: bash_completion.sh <build folder>
set -euo pipefail
export LC_ALL=C
build=$1
loader=/usr/share/bash-completion/bash_completion
[ -r "$loader" ] || {
  echo "bash-completion is not installed (tools/setup.sh installs it)"
  exit 1
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
installed="$scratch/prefix/share/bash-completion/completions/quillon"
[ -f "$installed" ] || {
  echo "cmake --install put no completion at share/bash-completion/completions/quillon"
  exit 1
}
bash -n "$installed"

# The options of the help text, as the completion should offer them.
help=$("$scratch/prefix/bin/quillon" --help) || true
expected_long=$(grep -o -- '--[a-z][a-z0-9*-]*\(=\)\?' <<<"$help" |
  sed 's/^\(--dbc-can\)\*=$/\11=\n\12=/' | sort -u)
[ "$(wc -l <<<"$expected_long")" -ge 15 ] || {
  echo "too few options in the help text:"
  echo "$help"
  exit 1
}
expected_short=$(grep -oE -- '^  -[a-zA-Z],' <<<"$help" | tr -d ' ,' | sort -u)

mkdir -p "$scratch/work/logs" "$scratch/work/logs old" "$scratch/work/out"
touch "$scratch/work/engine.dbc" "$scratch/work/body.dbc" "$scratch/work/ENGINE.DBC" \
  "$scratch/work/notes.txt" "$scratch/work/logs/00000001.TXT"
cd "$scratch/work"

# Runs in a bash where bash-completion is loaded and the installed
# completion is found the way bash-completion finds any (XDG_DATA_DIRS).
# complete_line WORD...: the words of the command line as bash splits them
# ("=" is a word of its own), the last one being completed; prints the
# candidates sorted, one a line.
result=$(
  PATH="$scratch/prefix/bin:$PATH" XDG_DATA_DIRS="$scratch/prefix/share" \
    bash --norc --noprofile -s <<'EOF' 2>&1
set -u
shopt -s extglob progcomp
. /usr/share/bash-completion/bash_completion
complete -p quillon >/dev/null 2>&1 && echo "completion loaded before it was asked for"
_completion_loader quillon
echo "== complete -p"
complete -p quillon
# compopt only works while bash itself runs a completion: record what it
# is asked instead.
compopt() {
  local IFS=" "
  options+=" $*"
}
complete_line()
{
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$(printf '%s ' "$@")
  COMP_LINE=${COMP_LINE% }
  COMP_LINE=${COMP_LINE// = /=}
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  options=
  local function
  function=$(complete -p quillon | sed 's/.* -F \([^ ]*\) .*/\1/')
  "$function" quillon "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  echo "== $COMP_LINE"
  printf '%s\n' "${COMPREPLY[@]}" | sort
  echo "== options:$options"
}
complete_line quillon --
complete_line quillon -
complete_line quillon --no-c
complete_line quillon --verb
complete_line quillon --dbc-can
complete_line quillon --dbc-can12
complete_line quillon --dbc-can1 = ""
complete_line quillon --dbc-can2 = e
complete_line quillon -O ""
complete_line quillon --output-directory = l
complete_line quillon --dbc-can1 = engine.dbc -O out ""
complete_line quillon -j ""
complete_line quillon --compress = ""
complete_line quillon --compress = z
complete_line quillon -- --n
EOF
)

section() { sed -n "/^== $1\$/,/^==/p" <<<"$result" | sed '1d; /^==/d'; }
# The compopt options of the completion of that line.
options() { sed -n "/^== $1\$/,/^== options:/p" <<<"$result" | sed -n 's/^== options: *//p'; }
failed=0
check() {
  local name=$1 got=$2 want=$3
  if [ "$got" != "$want" ]; then
    echo "completion of \"$name\":"
    diff <(echo "$want") <(echo "$got") | sed 's/^</  expected/; s/^>/  got     /' || true
    failed=1
  fi
}

head -n 2 <<<"$result" | grep -q "completion loaded before it was asked for" && {
  echo "the completion must load lazily, from its installed file"
  failed=1
}
check "complete -p quillon" "$(section 'complete -p')" "complete -F _quillon quillon"
check "quillon --" "$(section 'quillon --')" "$expected_long"
check "quillon -" "$(section 'quillon -')" "$(sort <<<"$expected_long"$'\n'"$expected_short")"
check "quillon --no-c" "$(section 'quillon --no-c')" "--no-concat"
check "quillon --no-c (options)" "$(options 'quillon --no-c')" ""
check "quillon --verb" "$(section 'quillon --verb')" "--verbosity="
check "quillon --verb (options)" "$(options 'quillon --verb')" "-o nospace"
check "quillon --dbc-can" "$(section 'quillon --dbc-can')" $'--dbc-can1=\n--dbc-can2='
check "quillon --dbc-can12" "$(section 'quillon --dbc-can12')" "--dbc-can12="
check "quillon --dbc-can12 (options)" "$(options 'quillon --dbc-can12')" "-o nospace"
# Folders to walk into and lower-case .dbc files only: quillon skips
# ENGINE.DBC and notes.txt.
check "quillon --dbc-can1=" "$(section 'quillon --dbc-can1=')" \
  $'body.dbc\nengine.dbc\nlogs\nlogs old\nout'
check "quillon --dbc-can2=e" "$(section 'quillon --dbc-can2=e')" "engine.dbc"
check "quillon --dbc-can2=e (options)" "$(options 'quillon --dbc-can2=e')" "-o filenames"
check "quillon -O " "$(section 'quillon -O ')" $'logs\nlogs old\nout'
check "quillon --output-directory=l" "$(section 'quillon --output-directory=l')" $'logs\nlogs old'
check "an input" "$(section 'quillon --dbc-can1=engine.dbc -O out ')" \
  $'ENGINE.DBC\nbody.dbc\nengine.dbc\nlogs\nlogs old\nnotes.txt\nout'
check "quillon -j " "$(section 'quillon -j ')" ""
check "quillon --compress=" "$(section 'quillon --compress=')" $'gzip\nnone\nzstd'
check "quillon --compress=z" "$(section 'quillon --compress=z')" "zstd"
check "quillon -- --n" "$(section 'quillon -- --n')" ""
if [ $failed != 0 ]; then
  echo "--- the whole output:"
  echo "$result"
fi
exit $failed
