#!/bin/sh
# Makes a tool's man page and bash completion from the tool's own --help, so
# that the page, the completion and the help never disagree:
#
#   tool_docs.sh NAME EXTRA MAN_PAGE COMPLETION -- COMMAND...
#
# COMMAND runs the built tool (behind the cross build's emulator where there
# is one). When the tool's help lists "Commands:", each command's --help is
# taken too. EXTRA is the page's one-line summary (its first line) and the
# roff of the sections --help does not give (FILES, SEE ALSO, ...). Either
# output is written whole or not at all.
set -eu

if [ $# -lt 6 ] || [ "$5" != -- ]; then
  echo "usage: tool_docs.sh NAME EXTRA MAN_PAGE COMPLETION -- COMMAND..." >&2
  exit 2
fi
name=$1 extra=$2 man=$3 completion=$4
shift 5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$@" --help >"$work/help"
version=$("$@" --version)
summary=$(head -n 1 "$extra")
helps="$work/help"
for command in $(awk '/^Commands:$/ { on = 1; next }
                      on && /^  [a-z]/ { print $1; next } { on = 0 }' "$work/help"); do
  [ "$command" = help ] && continue
  "$@" "$command" --help >"$work/help.$command"
  helps="$helps $work/help.$command"
done

mkdir -p "$(dirname "$man")" "$(dirname "$completion")"
# shellcheck disable=SC2086  # the help files' paths hold no blanks
awk -f "$here/help_to_man.awk" -v name="$name" -v version="$version" -v summary="$summary" \
  -v extra="$extra" $helps >"$work/man"
# shellcheck disable=SC2086
awk -f "$here/help_to_completion.awk" -v name="$name" $helps >"$work/completion"
mv "$work/man" "$man"
mv "$work/completion" "$completion"
