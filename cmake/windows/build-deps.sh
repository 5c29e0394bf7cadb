#!/usr/bin/env bash
# Builds what the Windows build links and Debian ships only for Linux: Qt
# (Core, Gui, Widgets and the Windows platform plugin), libdeflate and LibDsk,
# each from Debian's own source package of the pinned version, cross-compiled
# with mingw-w64 and installed below one prefix. Each part is skipped when its
# stamp says that version is already there, so a second `make windows` is quick.
#
#   build-deps.sh PREFIX [JOBS]
set -euo pipefail

QT_VERSION=6.4.2+dfsg-10
DEFLATE_VERSION=1.14-1
DSK_VERSION=1.5.9+dfsg-1

prefix=$(realpath -m "$1")
jobs=${2:-$(nproc)}
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$here/mingw-w64.cmake
work=$prefix/src
mkdir -p "$prefix" "$work"

stamp_ok() { [ -f "$prefix/.$1" ] && [ "$(cat "$prefix/.$1")" = "$2" ]; }
stamp() { echo "$2" > "$prefix/.$1"; }

# apt-get source needs a deb-src line for bookworm main; add one when missing.
ensure_sources() {
    if apt-cache showsrc qt6-base 2>/dev/null | grep -q "^Version: $QT_VERSION"; then return; fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "Debian's source packages are not reachable: add a deb-src entry for bookworm main (as root)." >&2
        exit 1
    fi
    cat > /etc/apt/sources.list.d/sorvane2-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -qq
}

# Unpacks Debian's source package NAME=VERSION into $work/NAME: with Debian's
# patches when the mirror serves them, else the upstream tarball alone (what
# this build needs of those patches is done here).
unpack() {
    local name=$1 version=$2
    rm -rf "$work/$name" "$work/dl-$name"
    mkdir -p "$work/dl-$name"
    (cd "$work/dl-$name" && apt-get source -qq --download-only "$name=$version" >/dev/null 2>&1) || true
    if ls "$work/dl-$name"/*.debian.tar.* >/dev/null 2>&1; then
        dpkg-source -q -x "$work/dl-$name"/*.dsc "$work/$name" >/dev/null 2>&1
    else
        local orig
        orig=$(ls "$work/dl-$name"/*.orig.tar.* 2>/dev/null | head -1)
        if [ -z "$orig" ]; then
            echo "Debian's source of $name $version could not be fetched." >&2
            exit 1
        fi
        mkdir -p "$work/$name"
        tar -xf "$orig" -C "$work/$name" --strip-components=1
    fi
    rm -rf "$work/dl-$name"
}

build_qt() {
    stamp_ok qt "$QT_VERSION" && return
    echo "Building Qt $QT_VERSION for Windows (once; about ten minutes on two cores)..."
    unpack qt6-base "$QT_VERSION"
    rm -rf "$work/qt-build"
    cmake -S "$work/qt6-base" -B "$work/qt-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix/qt" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
        -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF -DFEATURE_system_libjpeg=OFF \
        -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_md4c=OFF \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_testlib=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_tabletevent=OFF -DFEATURE_opengl=ON -DFEATURE_opengl_dynamic=ON \
        -DFEATURE_sql_odbc=OFF -DFEATURE_vulkan=OFF \
        > "$work/qt-configure.log" 2>&1 || { tail -40 "$work/qt-configure.log"; exit 1; }
    cmake --build "$work/qt-build" -j "$jobs" > "$work/qt-build.log" 2>&1 \
        || { grep -B2 -A10 -m3 'error' "$work/qt-build.log"; exit 1; }
    cmake --install "$work/qt-build" > /dev/null
    rm -rf "$work/qt-build" "$work/qt6-base"
    stamp qt "$QT_VERSION"
}

build_libdeflate() {
    stamp_ok libdeflate "$DEFLATE_VERSION" && return
    echo "Building libdeflate $DEFLATE_VERSION for Windows..."
    unpack libdeflate "$DEFLATE_VERSION"
    # This version builds with its own Makefile, which knows mingw.
    make -s -C "$work/libdeflate" -j "$jobs" CC=x86_64-w64-mingw32-gcc-posix \
        AR=x86_64-w64-mingw32-ar libdeflatestatic.lib >/dev/null
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp "$work/libdeflate/libdeflate.h" "$prefix/include/"
    cp "$work/libdeflate/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
    cat > "$prefix/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$prefix
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: libdeflate
Description: Fast implementation of DEFLATE, zlib, and gzip
Version: ${DEFLATE_VERSION%-*}
Libs: -L\${libdir} -ldeflate
Cflags: -I\${includedir}
PC
    rm -rf "$work/libdeflate"
    stamp libdeflate "$DEFLATE_VERSION"
}

build_libdsk() {
    stamp_ok libdsk "$DSK_VERSION" && return
    echo "Building LibDsk $DSK_VERSION for Windows..."
    unpack libdsk "$DSK_VERSION"
    # The source as Debian ships it leaves the build scripts to autoreconf.
    (cd "$work/libdsk" && touch AUTHORS NEWS && autoreconf -fi >/dev/null 2>&1 &&
        ./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" \
            --enable-static --disable-shared >/dev/null &&
        make -s -j "$jobs" -C lib >/dev/null && make -s -C lib install >/dev/null &&
        make -s -C include install >/dev/null)
    rm -rf "$work/libdsk"
    stamp libdsk "$DSK_VERSION"
}

ensure_sources
build_qt
build_libdeflate
build_libdsk
echo "Windows dependencies are in $prefix."
