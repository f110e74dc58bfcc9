#!/bin/sh
# Compiles every product source for Windows with Debian's MinGW-w64 cross
# compiler in syntax-only mode against the Qt headers, so that the Windows
# branches are read by a compiler on every CI run. Nothing is linked and moc
# output is not needed: only what the preprocessor picks for _WIN32 is checked.
# The forms' headers are generated here by uic, as the build does.
#   scripts/check-windows.sh
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES g++-mingw-w64-x86-64-posix

cxx=x86_64-w64-mingw32-g++-posix
qt=/usr/include/x86_64-linux-gnu/qt6
# The folders of the product; new sources in them are picked up by themselves.
folders="app core discovery server client net ui update"

includes=""
for d in $folders; do includes="$includes -I$top/$d"; done
for m in "" QtCore QtGui QtWidgets QtNetwork; do includes="$includes -isystem $qt/$m"; done

uic=/usr/lib/qt6/libexec/uic
forms=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-forms.XXXXXX")
trap 'rm -rf "$forms"' EXIT
trap 'exit 1' INT TERM
for ui in $(cd "$top" && find $folders -name '*.ui' | sort); do
    name=$(basename "$ui" .ui)
    "$uic" -o "$forms/ui_$name.h" "$top/$ui"
done
includes="$includes -I$forms"

failed=0
count=0
for f in $(cd "$top" && find $folders -name '*.cpp' | sort); do
    count=$((count + 1))
    # Windows 7 is the oldest system the Winsock calls in use (WSAPoll) need.
    # shellcheck disable=SC2086
    $cxx -fsyntax-only -std=c++20 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0601 -DUNICODE -D_UNICODE \
        -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB $includes "$top/$f" || {
        echo "Windows compile failed: $f"
        failed=1
    }
done
[ "$count" -gt 0 ] || { echo "no sources found"; exit 1; }
[ "$failed" = 0 ] || exit 1
echo "Windows syntax check passed: $count sources"
