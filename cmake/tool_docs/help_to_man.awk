# Turns a tool's --help text into a man page (roff). The first file is the
# tool's own help; every further file is the help of one of its commands
# (update_image create --help, ...), which becomes a subsection of COMMANDS.
#
#   awk -f help_to_man.awk -v name=NAME -v version="NAME 0.1.0" \
#       -v summary="one line" -v extra=EXTRA_ROFF HELP [COMMAND_HELP...]
#
# The help texts follow one layout (tools/cli/command_line.h):
#   "usage: ..." lines, continued by indented lines   -> SYNOPSIS
#   "  -o, --opt VALUE   text", continued indented    -> OPTIONS
#   "Heading:" alone, then "  word   text" lines      -> a section of items
#   "Exit status: ...", "Environment: ..." paragraphs -> sections of their own
#   any other line, paragraphs split by blank lines   -> DESCRIPTION
# Nothing is dropped except a command's own "Exit status:" line, which the
# tool's help gives once for all of them.

function esc(s) {
  gsub(/\\/, "\\\\e", s)
  gsub(/-/, "\\-", s)
  if (s ~ /^[.']/) s = "\\&" s
  return s
}
function trim(s) { sub(/^ +/, "", s); sub(/ +$/, "", s); return s }
# "-o, --output ARCHIVE" -> options bold, values italic.
function tag(s,   n, words, i, w, comma, out) {
  n = split(s, words, " ")
  out = ""
  for (i = 1; i <= n; i++) {
    w = words[i]
    comma = ""
    if (w ~ /,$/) { comma = ","; w = substr(w, 1, length(w) - 1) }
    if (w ~ /^-/) w = "\\fB" esc(w) "\\fR"
    else w = "\\fI" esc(w) "\\fR"
    out = out (i > 1 ? " " : "") w comma
  }
  return out
}
function add(bucket, line) { text[bucket] = text[bucket] line "\n" }
function paragraph(bucket) { if (text[bucket] != "" && text[bucket] !~ /\.PP\n$/) add(bucket, ".PP") }

FNR == 1 {
  files++
  state = "text"
  if (files == 1) { desc = "desc"; opts = "opts"; exits = "exit" }
  else { desc = "cmd" files; opts = desc; exits = "" ; order[++commands] = desc }
}

/^usage: / {
  line = substr($0, 8)
  if (files > 1) {
    command = line
    sub(/^[^ ]+ /, "", command)
    add(desc, ".SS " substr(command, 1, index(command " ", " ") - 1))
    add(desc, ".nf")
    add(desc, "\\fB" name "\\fR " esc(command))
    usageBucket = desc
  } else usageBucket = "synopsis"
  if (files > 1) add("synopsis", "\\fB" name "\\fR " esc(command))
  else add("synopsis", "\\fB" name "\\fR " esc(substr(line, length(name) + 2)))
  state = "usage"
  next
}
state == "usage" && /^   / && !/^  -/ {
  line = substr($0, 8)
  if (trim(line) ~ ("^" name " ")) line = "\\fB" name "\\fR " esc(substr(trim(line), length(name) + 2))
  else line = esc(line)
  add("synopsis", line)
  if (files > 1) add(desc, line)
  next
}
state == "usage" && files > 1 { add(desc, ".fi") }

/^  -/ {
  line = substr($0, 3)
  split_at = index(line, "  ")
  if (split_at == 0) { option = line; rest = "" }
  else { option = substr(line, 1, split_at - 1); rest = trim(substr(line, split_at)) }
  if (files > 1 && state != "opt") paragraph(opts)
  add(opts, ".TP")
  add(opts, tag(option))
  if (rest != "") add(opts, esc(rest))
  state = "opt"
  next
}
state == "opt" && /^    / { add(opts, esc(trim($0))); next }

/^[A-Z][A-Za-z ]*:$/ {
  list = toupper(substr($0, 1, length($0) - 1))
  lists[++nlists] = list
  state = "list"
  next
}
state == "list" && /^  [a-z]/ {
  add("list " list, ".TP")
  add("list " list, "\\fB" esc($1) "\\fR")
  line = $0
  sub(/^  [^ ]+ +/, "", line)
  add("list " list, esc(line))
  next
}

/^Exit status: / {
  state = "exit"
  previous = $0
  if (exits != "") add(exits, esc(substr($0, 14)))
  next
}
/^Environment: / { state = "env"; add("env", esc(substr($0, 14))); next }

/^$/ { if (state == "text") paragraph(desc); state = "text"; next }

# A sentence that begins on a line of its own ends the exit status paragraph.
state == "exit" && !(previous ~ /\.$/ && /^[A-Z]/) {
  if (exits != "") add(exits, esc($0))
  previous = $0
  next
}
state == "env" { add("env", esc($0)); next }
{
  if (state != "text") paragraph(desc)
  state = "text"
  add(desc, esc($0))
}

END {
  upper = toupper(name)
  printf ".TH %s 1 \"\" \"%s\" \"User Commands\"\n", upper, esc(version)
  print ".nh"
  print ".ad l"
  print ".SH NAME"
  print esc(name) " \\- " esc(summary)
  print ".SH SYNOPSIS"
  print ".nf"
  printf "%s", text["synopsis"]
  print ".fi"
  print ".SH DESCRIPTION"
  printf "%s", text["desc"]
  if (text["opts"] != "") { print ".SH OPTIONS"; printf "%s", text["opts"] }
  for (i = 1; i <= nlists; i++) {
    print ".SH " lists[i]
    printf "%s", text["list " lists[i]]
    if (lists[i] == "COMMANDS")
      for (j = 1; j <= commands; j++) printf "%s", text[order[j]]
  }
  if (text["exit"] != "") { print ".SH EXIT STATUS"; printf "%s", text["exit"] }
  if (text["env"] != "") { print ".SH ENVIRONMENT"; printf "%s", text["env"] }
  while ((getline line < extra) > 0) if (++extraLine > 1) print line
}
