# Sourced by the scripts that build: need_packages PACKAGE... installs the
# Debian packages among them that are missing, saying so in one line first,
# and leaves their names in installed_packages. Root runs apt-get, a user with
# sudo runs it through sudo; anyone else is told the exact command and the
# script stops with status 1.
installed_packages=()
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local run=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      run=(sudo)
    else
      echo "$(basename "$0"): missing packages; as root, run: apt-get install ${missing[*]}" >&2
      exit 1
    fi
  fi
  echo "$(basename "$0"): installing ${missing[*]}" >&2
  # A fresh system has no package lists yet; without them nothing installs.
  run_step "reading the package lists" "${run[@]}" apt-get update -qq
  run_step "installing ${missing[*]}" "${run[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  installed_packages+=("${missing[@]}")
}

# run_step WHAT COMMAND...: runs COMMAND with its output held back; when it
# fails, says which step failed, with the command's status and its own words,
# and stops the script with status 1.
run_step() {
  local what=$1 output status=0
  shift
  output=$(mktemp)
  "$@" >"$output" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$(basename "$0"): $what failed: $* ended with status $status, saying:" >&2
    sed 's/^/  /' "$output" >&2
    rm -f "$output"
    exit 1
  fi
  rm -f "$output"
}
