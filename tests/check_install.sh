#!/usr/bin/env bash
# Installs into a scratch prefix and builds a C host against it through pkg-config and through CMake.
set -euo pipefail
build=$1
src=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" > /dev/null
libdir=$(ls -d "$stage"/usr/lib*/ | head -n1)
cat > "$stage/host.c" <<'C'
#include <kavro.h>
int main(void) { return KAVRO_SetWaitTime(3, -1, 0) == 1 ? 0 : 1; }
C
export PKG_CONFIG_PATH="$libdir/pkgconfig"
sed -i "s|^prefix=.*|prefix=$stage/usr|" "$libdir/pkgconfig/kavro.pc"
cc -std=c99 -Wall -Werror "$stage/host.c" $(pkg-config --cflags --libs kavro) -o "$stage/host-pc"
LD_LIBRARY_PATH="$libdir" "$stage/host-pc"
mkdir "$stage/cm"
cat > "$stage/cm/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(kavro REQUIRED)
add_executable(host ../host.c)
target_link_libraries(host kavro::kavro)
C
cmake -S "$stage/cm" -B "$stage/cm/build" -DCMAKE_PREFIX_PATH="$stage/usr" > /dev/null
cmake --build "$stage/cm/build" > /dev/null
LD_LIBRARY_PATH="$libdir" "$stage/cm/build/host"
echo "installed library links through pkg-config and find_package"
