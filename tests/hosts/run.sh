#!/bin/sh
# Checks the library the way hosts meet it: installed, then used from a
# separate build.  Usage: run.sh STEP BUILD_DIR WORK_DIR LIBDIR SOURCE_DIR
#   install  cmake --install into WORK_DIR/prefix and check what landed there
#   c        build the C11 host with pkg-config alone and run it
#   cxx      build the C++ host with find_package and run it
#   static   the same host linked with orvTapeItf::orvTapeItf_static
#   deb      build the Debian package, dpkg -i it, build and run the C host
#            against the system copy, then purge it again (root only)
set -eu
step=$1 build=$2 work=$3 libdir=$4 src=$5
prefix=$work/prefix
CC=${CC:-cc}

fail() { echo "FAIL: $*" >&2; exit 1; }

# The C host from the unit tests, copied out of the tree so that nothing
# but the installed header and library can reach it.
build_c_host() {
    mkdir -p "$1"
    cp "$src/tests/c_host.c" "$1/"
    # shellcheck disable=SC2046
    $CC -std=c11 -Wall -Wextra -Werror -pedantic -o "$1/c_host" "$1/c_host.c" \
        $(pkg-config --cflags --libs orvTapeItf) $2
    readelf -d "$1/c_host" | grep -q 'NEEDED.*\[liborvTapeItf\.so\.1\]' \
        || fail "host does not record the SONAME liborvTapeItf.so.1"
    "$1/c_host" "$1/c_host.tape"
}

case $step in
install)
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    lib=$prefix/$libdir
    [ -f "$lib/liborvTapeItf.so.1.0.0" ] || fail "no liborvTapeItf.so.1.0.0"
    [ "$(readlink "$lib/liborvTapeItf.so.1")" = liborvTapeItf.so.1.0.0 ] || fail "bad .so.1 link"
    [ "$(readlink "$lib/liborvTapeItf.so")" = liborvTapeItf.so.1 ] || fail "bad .so link"
    readelf -d "$lib/liborvTapeItf.so.1.0.0" | grep -q 'SONAME.*\[liborvTapeItf\.so\.1\]' \
        || fail "wrong SONAME"
    for h in orvTapeItf.h ORVtape.h TapeInformation.h; do
        [ -f "$prefix/include/$h" ] || fail "header $h not installed"
    done
    for f in pkgconfig/orvTapeItf.pc cmake/orvTapeItf/orvTapeItfConfig.cmake \
             cmake/orvTapeItf/orvTapeItfConfigVersion.cmake; do
        [ -f "$lib/$f" ] || fail "$f not installed"
    done
    if [ -x "$build/tools/orvtape" ]; then
        "$prefix/bin/orvtape" --help >/dev/null 2>&1 || fail "orvtape tool not installed or not runnable"
    fi
    if [ -f "$src/tools/orvtape.1" ]; then
        [ -f "$prefix/share/man/man1/orvtape.1" ] || fail "manual page not installed"
    fi
    echo "installed into $prefix"
    ;;
c)
    PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    export PKG_CONFIG_PATH
    [ "$(pkg-config --modversion orvTapeItf)" = "$(sed -n 's/^Version: //p' "$build/orvTapeItf.pc")" ] \
        || fail "pkg-config reports another version"
    rm -rf "$work/c"
    build_c_host "$work/c" "-Wl,-rpath,$(pkg-config --variable=libdir orvTapeItf)"
    ldd "$work/c/c_host" | grep -q "$prefix" || fail "host did not load the installed library"
    ;;
cxx|static)
    target=orvTapeItf::orvTapeItf
    [ "$step" = static ] && target=orvTapeItf::orvTapeItf_static
    rm -rf "$work/$step-src" "$work/$step-build"
    cp -r "$src/tests/hosts/cxx_consumer" "$work/$step-src"
    cmake -S "$work/$step-src" -B "$work/$step-build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DORVTAPE_TARGET=$target -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$work/$step-build" >/dev/null
    if [ "$step" = static ]; then
        ! ldd "$work/$step-build/cxx_consumer" | grep -q liborvTapeItf || fail "static host loads the shared library"
    else
        ldd "$work/$step-build/cxx_consumer" | grep -q "$prefix" || fail "host did not load the installed library"
    fi
    "$work/$step-build/cxx_consumer" "$work/$step-build/cxx.tape"
    ;;
deb)
    [ "$(id -u)" = 0 ] || { echo "not root: cannot install a package"; exit 77; }
    command -v dpkg >/dev/null || { echo "no dpkg"; exit 77; }
    rm -rf "$work/deb"
    (cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
    deb=$(ls "$work"/deb/*.deb)
    pkg=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -f "$deb" Depends | grep -q libbz2 || fail "package does not depend on libbz2"
    if [ -x "$build/tools/orvtape" ]; then
        dpkg-deb -c "$deb" | grep -q ' \./usr/bin/orvtape$' || fail "package lacks the orvtape tool"
    fi
    # One package installation at a time on this machine, even across
    # build directories.
    exec 9>/tmp/orvtape-deb.lock
    flock 9
    if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        echo "$pkg is already installed here: leaving it alone"; exit 77
    fi
    trap 'dpkg -P "$pkg" >/dev/null 2>&1 || true' EXIT
    dpkg -i "$deb" >/dev/null
    unset PKG_CONFIG_PATH
    pkg-config --exists orvTapeItf || fail "installed package is unknown to pkg-config"
    rm -rf "$work/deb-host"
    build_c_host "$work/deb-host" ""
    dpkg -P "$pkg" >/dev/null
    trap - EXIT
    ! pkg-config --exists orvTapeItf || fail "package left its files behind"
    echo "$(basename "$deb") installed, used and removed"
    ;;
*)
    fail "unknown step $step"
    ;;
esac
