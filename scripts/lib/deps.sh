# shellcheck shell=bash
# Shared by scripts/setup.sh and scripts/test.sh: installs the Debian packages
# Fonwerk needs to build and test, but only when one of them is missing, so a
# prepared machine runs no apt-get at all.

FONWERK_PACKAGES=(
  build-essential cmake pkg-config
  libsqlite3-dev sqlite3
  libpq-dev postgresql
  libinih-dev uuid-dev libfmt-dev libcli11-dev libxxhash-dev
  libcpp-httplib-dev nlohmann-json3-dev libssl-dev
  libboost-dev liburiparser-dev prometheus-cpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  time python3
  help2man man-db systemd dpkg-dev
)

# Prints the packages of FONWERK_PACKAGES that are not installed.
fonwerk_missing_packages() {
  local package
  for package in "${FONWERK_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
      echo "$package"
    fi
  done
}

fonwerk_ensure_packages() {
  local missing
  mapfile -t missing < <(fonwerk_missing_packages)
  if ((${#missing[@]} == 0)); then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "error: missing packages (${missing[*]}) and no root rights to install them" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}
