# Sourced by the scripts that build: need_packages PACKAGE... installs the
# Debian packages among them that are missing, saying so in one line first.
# Root runs apt-get, a user with sudo runs it through sudo; anyone else is
# told the exact command and the script stops with status 1.
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
  "${run[@]}" apt-get update -qq >&2
  "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
