# Shared by the set-up scripts: run as root or through sudo, install missing
# Debian packages, configure and build one build folder.
top=$(cd "$(dirname "$0")/.." && pwd)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the named Debian packages that are not installed yet.
ensure_packages() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

BUILD_PACKAGES="cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev libxcb1-dev \
qt6-image-formats-plugins qt6-qpa-plugins libqt6sql6-sqlite iproute2 util-linux"
TEST_PACKAGES="socat python3 python3-zeroconf curl openssl clang libclang-rt-14-dev xvfb xauth trayer xdotool \
x11-utils xclip imagemagick dpkg-dev file appstream desktop-file-utils dbus at-spi2-core python3-pyatspi avahi-daemon avahi-utils \
python3-xlib python3-gi weston qt6-wayland nftables"

# configure_and_build DIR [CMAKE ARGS...]
configure_and_build() {
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}
