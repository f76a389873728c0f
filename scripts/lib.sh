# Shared by the scripts: package installation and the build.
# Sourced, not run. Every function stops the calling script on failure (set -e).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# Installs the Debian packages of scripts/packages.txt that are missing.
# apt is not touched at all when everything is installed already.
ensure_packages() {
  local wanted missing=()
  wanted=$(grep -v '^\s*#' "$root/scripts/packages.txt" | grep -v '^\s*$')
  for pkg in $wanted; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

# build PRESET [extra cmake arguments...]: configures and builds one preset.
build_preset() {
  local preset=$1
  shift
  cmake --preset "$preset" -S "$root" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}
