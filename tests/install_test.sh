#!/bin/bash
# A staged install serves C and C++ clients through pkg-config (from a moved tree: the .pc names no
# prefix) and a C client through find_package; the Debian packages hold their files, dependencies,
# shlibs and symbols.
#   install_test.sh BUILD_DIR SOURCE_DIR CC CXX CMAKE CPACK
set -euo pipefail
build=$1 source=$2 cc=$3 cxx=$4 cmake=$5 cpack=$6
tmp=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
runs() { local out; out=$("$@") || fail "$*: the client failed"; [ "$out" = "libkiv client runs" ] || fail "$*: it printed $out"; }

stage=$tmp/stage
"$cmake" --install "$build" --prefix "$stage" >/dev/null
pc=$(find "$stage" -name libkiv.pc)
[ -n "$pc" ] || fail "no libkiv.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/libkiv.so.1" "$libdir/libkiv.so" "$libdir/cmake/libkiv/libkivConfig.cmake" \
         "$libdir/cmake/libkiv/libkivConfigVersion.cmake" "$stage/include/kiv/kiv_xtach.h" \
         "$stage/sbin/kiv" "$stage/sbin/kivctl" "$stage/sbin/vsdctl"; do
  [ -e "$f" ] || fail "not installed: ${f#"$tmp"/}"
done
grep -qx "ExecStart=$stage/sbin/kiv" "$stage/lib/systemd/system/kiv.service" ||
  fail "the unit does not start $stage/sbin/kiv: $(grep ExecStart "$stage/lib/systemd/system/kiv.service")"

moved=$tmp/moved
mv "$stage" "$moved"
libdir=$moved${libdir#"$stage"}
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs libkiv)
[[ $flags == *"-I"*"/moved/"*"include/kiv"* ]] || fail "pkg-config gives $flags"
for build_cmd in "$cc -std=c99 -pedantic -x c" "$cc -std=c11 -pedantic -x c" "$cxx -std=c++17 -x c++"; do
  read -r -a words <<<"$build_cmd"
  # shellcheck disable=SC2086
  "${words[@]}" -Wall -Wextra -Werror "$source/tests/consumer/consumer.c" $flags -o "$tmp/client" ||
    fail "$build_cmd: the client does not build through pkg-config"
  LD_LIBRARY_PATH=$libdir runs "$tmp/client"
done
echo "pkg-config: C99, C11 and C++17 clients build and run"

"$cmake" -S "$source/tests/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$moved" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null || fail "find_package(libkiv)"
"$cmake" --build "$tmp/consumer" >/dev/null || fail "the find_package client does not build"
runs "$tmp/consumer/client"
echo "find_package: a C11 client builds and runs"

if ! command -v dpkg-deb >/dev/null; then
  echo "no dpkg-deb: the Debian packages are not checked"
  exit 0
fi
(cd "$tmp" && "$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/deb" -G DEB >"$tmp/cpack.log" 2>&1) ||
  fail "cpack -G DEB: $(cat "$tmp/cpack.log")"
ver=$(sed -n 's/^Version: *//p' "$build/libkiv.pc")
deb() { ls "$tmp"/deb/"$1"_"$ver"-*.deb 2>/dev/null || fail "no package $1"; }
has() {  # package, then paths it must hold
  local list; list=$(dpkg-deb -c "$(deb "$1")" | awk '{print $6}'); local p=$1; shift
  for f in "$@"; do grep -qE "^\./usr/$f\$" <<<"$list" || fail "$p lacks /usr/$f"; done
}
has libkiv1 "lib/([a-z0-9_-]+/)?libkiv\.so\.1" "lib/([a-z0-9_-]+/)?libkiv\.so\.$ver"
has libkiv-dev "include/kiv/kiv_xtach\.h" "lib/([a-z0-9_-]+/)?libkiv\.so" "share/man/man3/libkiv\.3\.gz" \
  "lib/([a-z0-9_-]+/)?pkgconfig/libkiv\.pc" "lib/([a-z0-9_-]+/)?cmake/libkiv/libkivTargets\.cmake"
has kiv "sbin/kiv" "sbin/kivctl" "sbin/vsdctl" "lib/systemd/system/kiv\.service" \
  "share/man/man8/kiv\.8\.gz" "share/man/man8/kivctl\.8\.gz" "share/man/man8/vsdctl\.8\.gz" \
  "share/bash-completion/completions/kivctl" "share/bash-completion/completions/vsdctl"
if dpkg-deb -c "$(deb libkiv1)" | grep -qE '\./usr/(include|sbin)/'; then fail "libkiv1 holds more than the library"; fi
ctl() { dpkg-deb --ctrl-tarfile "$(deb "$1")" | tar -xO "./$2"; }  # package, control file
ctl kiv control | grep -q '^Depends:.*libkiv1 (= ' || fail "kiv does not depend on libkiv1"
ctl libkiv-dev control | grep -q '^Depends:.*libkiv1 (= ' || fail "libkiv-dev does not depend on libkiv1"
ctl libkiv1 control | grep -q '^Depends:.*libc6' || fail "libkiv1 does not depend on libc6"
ctl libkiv1 shlibs | grep -q "^libkiv 1 libkiv1 (>= $ver" || fail "libkiv1 has no shlibs entry"
symbols=$(ctl libkiv1 symbols) || fail "libkiv1 has no symbols file"
# Every versioned name, and the version node itself (an absolute symbol).
exported=$(readelf --dyn-syms -W "$libdir/libkiv.so.1" | awk '$7 == "ABS" {print $8 "@" $8} $7 != "UND" && $8 ~ /@/ {print $8}' | sed 's/@@*/@/' | sort)
[ "$exported" = "$(sed -n 's/^ \([^ ]*@[^ ]*\) .*/\1/p' <<<"$symbols" | sort)" ] ||
  fail "the symbols file of libkiv1 does not list the exported names"
dpkg-deb -x "$(deb kiv)" "$tmp/kiv-deb"
grep -qx "ExecStart=/usr/sbin/kiv" "$tmp/kiv-deb/usr/lib/systemd/system/kiv.service" || fail "the packaged unit"
echo "packages: libkiv1, libkiv-dev and kiv with their files, dependencies, shlibs and symbols"
