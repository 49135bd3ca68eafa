# Turns a tool's --help text into a bash completion script. The first file
# is the tool's own help; every further file is the help of one of its
# commands (update_image create --help, ...).
#
#   awk -f help_to_completion.awk -v name=NAME HELP [COMMAND_HELP...]
#
# Options are read from the help's option lines ("  -o, --output ARCHIVE
# text"): a value named DIR completes folders, FILE, ARCHIVE and IMAGE
# complete files, any other value nothing. A word of the usage line that is
# no option's value (ARCHIVE in "verify ARCHIVE") completes files. The
# commands are the items under the help's "Commands:" heading.

function emit(key, options, dirs, files, values, positional) {
  cases = cases sprintf("    %s) options='%s' dirs=' %s ' files=' %s ' values=' %s ' positional=%s ;;\n",
    key, options, dirs, files, values, positional)
}
function flush() {
  if (files_seen == 0) return
  emit(current == "" ? "\"\"" : current, o, d, f, v, p)
  o = d = f = v = p = ""
}
function append(list, word) { return list == "" ? word : list " " word }

FNR == 1 { flush(); files_seen++; current = ""; inlist = 0 }

/^usage: / {
  n = split(substr($0, 8), words, " ")
  first = 2
  if (files_seen > 1) { current = words[2]; first = 3 }
  for (i = first; i <= n; i++) {
    w = words[i]
    gsub(/[][]/, "", w)
    if (w ~ /^-/) { if (words[i + 1] ~ /^\[?[A-Z]/) i++; continue }
    if (w ~ /^[A-Z]+$/ && w != "COMMAND" && w != "OPTIONS") p = "file"
  }
  next
}
/^  -/ {
  line = substr($0, 3)
  cut = index(line, "  ")
  if (cut > 0) line = substr(line, 1, cut - 1)
  n = split(line, words, " ")
  value = ""
  if (words[n] !~ /^-/) { value = words[n]; n-- }
  for (i = 1; i <= n; i++) {
    w = words[i]
    sub(/,$/, "", w)
    if (w != "--help") o = append(o, w)
    if (value == "DIR") d = append(d, w)
    else if (value ~ /^(FILE|ARCHIVE|IMAGE)$/) f = append(f, w)
    else if (value != "") v = append(v, w)
  }
  next
}
/^Commands:$/ { inlist = 1; next }
inlist && /^  [a-z]/ { commands = append(commands, $1); next }
{ inlist = 0 }

END {
  flush()
  fn = "_" name
  gsub(/[^A-Za-z0-9_]/, "_", fn)
  print "# bash completion for " name ", made from its --help when it was built."
  print fn "() {"
  print "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command=\"\""
  print "  local options dirs files values positional"
  print "  local commands='" commands "'"
  print "  if [[ -n $commands ]]; then"
  print "    if ((COMP_CWORD == 1)); then"
  print "      COMPREPLY=($(compgen -W \"$commands --help --version\" -- \"$cur\"))"
  print "      return"
  print "    fi"
  print "    command=${COMP_WORDS[1]}"
  print "    if [[ $command == help ]]; then"
  print "      ((COMP_CWORD == 2)) && COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))"
  print "      return"
  print "    fi"
  print "  fi"
  print "  case $command in"
  printf "%s", cases
  print "    *) return ;;"
  print "  esac"
  print "  if [[ $dirs == *\" $prev \"* ]]; then"
  print "    COMPREPLY=($(compgen -d -- \"$cur\"))"
  print "  elif [[ $files == *\" $prev \"* ]]; then"
  print "    COMPREPLY=($(compgen -f -- \"$cur\"))"
  print "  elif [[ $values == *\" $prev \"* ]]; then"
  print "    COMPREPLY=()"
  print "  elif [[ $cur == -* || -z $positional ]]; then"
  print "    COMPREPLY=($(compgen -W \"$options --help --version\" -- \"$cur\"))"
  print "  else"
  print "    COMPREPLY=($(compgen -f -- \"$cur\"))"
  print "  fi"
  print "}"
  print "complete -o filenames -F " fn " " name
}
