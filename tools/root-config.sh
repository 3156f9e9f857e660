# Shared settings of the build root: sourced by tools/build-root and tools/in-root.

# The root holds a CPython 3.14 and the tool chain; it lives outside the clone
# so that every clone and worktree on the machine can reuse it.
VORLAN_CACHE="${VORLAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorlan}"
ROOT_STAMP_NAME=".vorlan-root-stamp"

# Two roots: the development root (Debian unstable: the newest CPython, GCC
# and test tools) and, with VORLAN_ROOT=bullseye, the wheels' root (Debian
# 11: the oldest system the wheels serve, whose GCC 10 and glibc 2.31 they
# are built with, and the CPython 3.14 interpreters built there by
# tools/build-python-old).
case "${VORLAN_ROOT:-sid}" in
sid)
    ROOT_DIR="$VORLAN_CACHE/root"
    ROOT_LOCK="$VORLAN_CACHE/root.lock"
    ROOT_SUITE="sid"
    # Installed by debootstrap itself.
    ROOT_BASE_PACKAGES="python3.14-dev,python3.14-venv,g++,cmake,ninja-build,make"
    # Installed afterwards with apt inside the root.
    ROOT_EXTRA_PACKAGES="python3-pytest python3-hypothesis python3-cryptography \
python3-scikit-build-core python3-msgpack python3-pip python3-build \
python3-mypy python3-matplotlib libssl-dev clang libclang-rt-dev gcovr \
valgrind gdb libgtest-dev git ca-certificates python3.15-dev python3.15-venv \
qemu-user g++-aarch64-linux-gnu \
python3-msgspec python3.14-dbg python3-auditwheel patchelf xz-utils zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libzstd-dev libexpat1-dev"
    # A second architecture for cross-building the modules against the target's
    # own libpython and running them under the emulator.
    ROOT_FOREIGN_ARCH="arm64"
    ROOT_FOREIGN_PACKAGES="libpython3.14-dev:arm64 libssl-dev:arm64"
    # Bump when the way the root is built changes, so existing roots are rebuilt.
    ROOT_FORMAT=1
    ;;
bullseye)
    ROOT_DIR="$VORLAN_CACHE/root-bullseye"
    ROOT_LOCK="$VORLAN_CACHE/root-bullseye.lock"
    ROOT_SUITE="bullseye"
    # The tool chain (GCC 10.2, CMake 3.18) and what CPython's build needs;
    # no Python of Debian's: bullseye's is 3.9. ca-certificates: the bundle
    # where the development root's pip, which tools/wheels borrows, looks.
    ROOT_BASE_PACKAGES="g++,cmake,ninja-build,make,pkg-config,xz-utils"
    ROOT_EXTRA_PACKAGES="libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
libzstd-dev uuid-dev qemu-user g++-aarch64-linux-gnu ca-certificates"
    # The aarch64 interpreters are cross-built against these and run on
    # them under the emulator: zlib for pip, libffi for ctypes (the tests'
    # OpenSSL oracle), libssl for ssl and hashlib.
    ROOT_FOREIGN_ARCH="arm64"
    ROOT_FOREIGN_PACKAGES="libssl-dev:arm64 zlib1g-dev:arm64 libffi-dev:arm64"
    ROOT_FORMAT=1
    ;;
*)
    echo "root-config: VORLAN_ROOT must be sid or bullseye, not ${VORLAN_ROOT}" >&2
    return 2 2>/dev/null || exit 2
    ;;
esac

root_package_hash() {
    printf '%s\n%s\n%s\n%s\n%s\n%s\n' "$ROOT_FORMAT" "$ROOT_SUITE" \
        "$ROOT_BASE_PACKAGES" "$ROOT_EXTRA_PACKAGES" "$ROOT_FOREIGN_ARCH" \
        "$ROOT_FOREIGN_PACKAGES" | sha256sum | cut -d' ' -f1
}

# The Debian mirror this machine's apt already uses: the first URI of a Debian
# archive stanza (not the security archive) in deb822 or one-line sources.
host_debian_mirror() {
    local files=() f
    for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list \
             /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && files+=("$f")
    done
    [ ${#files[@]} -gt 0 ] || return 1
    awk '
        /^[ \t]*#/ { next }
        /^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/ && $i ~ /debian/) { print $i; exit } }
        /^deb[ \t]/ {
            for (i = 2; i <= NF; i++) {
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; continue }
                if ($i !~ /security/ && $i ~ /debian/) { print $i; exit }
                break
            }
        }' "${files[@]}" | head -n1
}
