# Shared by the project's scripts: installs missing Debian packages, non-interactively.
# Usage: ensure_packages pkg...
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q </dev/null
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# The packages every build of the SDK and its tests needs.
BUILD_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev)

# What the test suites need beyond the build: a real RTP sender for the interoperability test,
# pkg-config for the installed-package test.
TEST_PACKAGES=(gstreamer1.0-tools gstreamer1.0-plugins-good pkg-config)
