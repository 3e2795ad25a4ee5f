#!/bin/sh
# The library as hosts meet it.  Usage: run.sh STEP BUILD_DIR WORK_DIR LIBDIR SOURCE_DIR
#   install  cmake --install into WORK_DIR/prefix; check files, links, SONAME
#   c/cxx    build and run the C11 hosts (pkg-config), or those and the two
#            examples (find_package); the C host once with each writeConsoleLog result type
#   static   the same find_package hosts linked with orvTapeItf::orvTapeItf_static
#   deb      install the Debian package, build and run the C host on it, purge it
set -eu
step=$1 build=$2 work=$3 libdir=$4 src=$5
prefix=$work/prefix lib=$work/prefix/$libdir
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "$*"; exit 77; }

# The C host of the unit tests, built into $1 with what pkg-config gives and
# the link flags $2, once with each result type of writeConsoleLog.  tests/
# holds no header: only the installed one is found.
c_host() {
    rm -rf "$1" && mkdir -p "$1"
    for kind in int void; do
        # shellcheck disable=SC2046,SC2086
        ${CC:-cc} -std=c11 -Wall -Wextra -Werror -pedantic -o "$1/c_host" "$src/tests/c_host.c" \
            $(pkg-config --cflags --libs orvTapeItf) $2 $([ $kind = int ] || echo -DLOG_RESULT_VOID)
        readelf -d "$1/c_host" | grep -q 'NEEDED.*\[liborvTapeItf\.so\.1\]' || fail "host lacks NEEDED liborvTapeItf.so.1"
        "$1/c_host" "$1/c_host.tape" || fail "the C host with an $kind writeConsoleLog failed"
    done
}

case $step in
install)
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    [ "$(readlink "$lib/liborvTapeItf.so")" = liborvTapeItf.so.1 ] || fail "bad .so link"
    [ "$(readlink "$lib/liborvTapeItf.so.1")" = liborvTapeItf.so.1.0.0 ] || fail "bad .so.1 link"
    readelf -d "$lib/liborvTapeItf.so.1.0.0" | grep -q 'SONAME.*\[liborvTapeItf\.so\.1\]' || fail "wrong SONAME"
    for f in include/orvTapeItf.h include/ORVtape.h include/TapeInformation.h include/orvTapeStream.h "$libdir/pkgconfig/orvTapeItf.pc" \
        "$libdir/cmake/orvTapeItf/orvTapeItfConfig.cmake" "$libdir/cmake/orvTapeItf/orvTapeItfConfigVersion.cmake"; do
        [ -f "$prefix/$f" ] || fail "$f not installed"
    done
    # The installed tool must find the library through its relative run path.
    [ ! -x "$build/tools/orvtape" ] || "$prefix/bin/orvtape" --version >/dev/null || fail "orvtape does not run"
    [ ! -f "$src/tools/orvtape.1" ] || [ -f "$prefix/share/man/man1/orvtape.1" ] || fail "no manual page"
    # -s: not the build tree, which the build points the user site at.
    [ ! -d "$build/python/orvtape" ] || (cd / && PYTHONPATH=$(echo "$prefix"/lib/python3*/*-packages) \
        python3 -s -c 'import orvtape; orvtape.Tape') || fail "the installed Python module does not import"
    ;;
c)
    export PKG_CONFIG_PATH="$lib/pkgconfig"
    [ "$(pkg-config --modversion orvTapeItf)" = "$(sed -n 's/^Version: //p' "$build/orvTapeItf.pc")" ] \
        || fail "pkg-config reports another version"
    c_host "$work/c" "-Wl,-rpath,$(pkg-config --variable=libdir orvTapeItf)"
    ldd "$work/c/c_host" | grep -q "$prefix" || fail "host did not load the installed library"
    ;;
cxx|static)
    target=orvTapeItf::orvTapeItf
    [ "$step" = cxx ] || target=orvTapeItf::orvTapeItf_static
    rm -rf "${work:?}/$step"
    cmake -S "$src/tests/hosts/consumer" -B "$work/$step" -DCMAKE_PREFIX_PATH="$prefix" \
        -DORVTAPE_TARGET=$target -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$work/$step" >/dev/null
    loaded=$(ldd "$work/$step/walk_backwards" | grep liborvTapeItf || true)
    case $step in cxx) echo "$loaded" | grep -q "$prefix" ;; static) [ -z "$loaded" ] ;; esac \
        || fail "the $step host loads the wrong library: ${loaded:-none}"
    for host in c_host_int c_host_void; do "$work/$step/$host" "$work/$step/$host.tape"; done
    # The examples: a volume made of the library file itself, read back, then walked backwards.
    "$work/$step/file_to_tape" "$lib/liborvTapeItf.so.1" "$work/$step/ex.tape" | grep -q "identical" \
        || fail "file_to_tape did not read its volume back"
    "$work/$step/walk_backwards" "$work/$step/ex.tape" | grep -q "^Total-" || fail "walk_backwards printed no summary"
    ;;
deb)
    [ "$(id -u)" = 0 ] || skip "not root: cannot install a package"
    command -v dpkg >/dev/null || skip "no dpkg"
    rm -rf "$work/deb"
    (cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
    deb=$(ls "$work"/deb/*.deb)
    pkg=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -f "$deb" Depends | grep -q libbz2 || fail "package does not depend on libbz2"
    [ ! -x "$build/tools/orvtape" ] || dpkg-deb -c "$deb" | grep -q ' \./usr/bin/orvtape$' || fail "no orvtape in the package"
    exec 9>/tmp/orvtape-deb.lock  # one installation at a time, across build directories
    flock 9
    ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || skip "$pkg is installed: left alone"
    trap 'dpkg -P "$pkg" >/dev/null 2>&1 || true' EXIT
    dpkg -i "$deb" >/dev/null
    unset PKG_CONFIG_PATH
    c_host "$work/deb-host" ""
    [ ! -d "$build/python/orvtape" ] || (cd / && /usr/bin/python3 -s -c 'import orvtape; orvtape.Tape') \
        || fail "Debian's python3 cannot import the packaged module"
    dpkg -P "$pkg" >/dev/null
    trap - EXIT
    ! pkg-config --exists orvTapeItf || fail "package left its files behind"
    ;;
*) fail "unknown step $step" ;;
esac
