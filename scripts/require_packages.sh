# Sourced by the scripts that build (run_tests.sh, run_update.sh):
#
#   require_packages NAME PACKAGE:FILE...
#
# installs the Debian packages of the list that are missing, each known by a
# file that shows it is there (so a machine without dpkg is checked too), as
# root or through sudo. NAME begins its messages. Without apt-get, or as an
# ordinary user without sudo, it names what to install and exits with 1.
require_packages() {
  local name=$1 entry
  shift
  local missing=() sudo=()
  for entry in "$@"; do
    [[ -e ${entry#*:} ]] || missing+=("${entry%%:*}")
  done
  ((${#missing[@]} > 0)) || return 0
  echo "$name: installing missing packages: ${missing[*]}"
  if ! command -v apt-get >/dev/null; then
    echo "$name: no apt-get here; install ${missing[*]} by hand" >&2
    exit 1
  fi
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
      echo "$name: not root and no sudo; install ${missing[*]} by hand" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}
