#!/usr/bin/env bash
# Installs the build into a scratch prefix, then compiles a C99 program with exactly what
# `pkg-config --cflags --libs qorio` gives and runs it against the installed libqorio.so.9.
set -euo pipefail
build=$1
program=$2
command -v pkg-config >/dev/null || { echo "pkg-config is not installed" >&2; exit 1; }
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" --component qorio >/dev/null
pcdir=$(dirname "$(find "$prefix" -name qorio.pc | head -1)")
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --define-prefix --cflags --libs qorio)
cc -std=c99 -Wall -Wextra -Werror "$program" $flags -o "$prefix/c99_program"
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --define-prefix --variable=libdir qorio)
[ -e "$libdir/libqorio.so.9" ] || { echo "libqorio.so.9 was not installed" >&2; exit 1; }
LD_LIBRARY_PATH=$libdir "$prefix/c99_program"
