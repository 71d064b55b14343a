# Shared by scripts/run and scripts/test: the Debian packages the project needs, and the build.

LARKSPIN_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools
    libmpg123-dev libsdl2-dev libmp3lame-dev libtag1-dev libsqlite3-dev libmicrohttpd-dev libxapian-dev libicu-dev libcurl4-openssl-dev libxml2-dev libgnutls28-dev libpq-dev
    lame sox xapian-tools
)
LARKSPIN_TEST_PACKAGES=(
    xvfb xauth xdotool imagemagick wrk apache2-utils curl clang-format dbus-daemon postgresql-15
)
# The Subsonic API's test drives it with an npm client library: Debian's nodejs and npm where
# the machine has no npm of its own (a Node.js from elsewhere brings npm and conflicts with
# Debian's package).
LARKSPIN_NODE_PACKAGES=(nodejs npm)
LARKSPIN_PACKAGE_PACKAGES=(dpkg-dev file lintian curl)
LARKSPIN_FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm)

# install_missing PKG...: installs the packages that are not installed yet (as root),
# or prints the one apt-get line to run.
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing Debian packages. Run:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

# install_node: Node.js and npm, unless npm is already there.
install_node() {
    command -v npm >/dev/null 2>&1 || install_missing "${LARKSPIN_NODE_PACKAGES[@]}"
}

# build DIR BUILD_TYPE [cmake options...] [-- targets...]
build() {
    local dir=$1 type=$2
    shift 2
    local options=() targets=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
    [ $# -gt 0 ] && shift && targets=(--target "$@")
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${options[@]}" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}
