#!/bin/bash
# Checks the built library against its export list: the same names, no
# NEEDED entry beyond glibc, no C++ runtime, and no load-time code of its own.
set -euo pipefail
# READELF and NM name the binutils of the library's architecture.
lib=$1 map=$2 baseline=$3
readelf=${READELF:-readelf} nm=${NM:-nm}
fail=0

want=$(sed -e 's,/\*.*\*/,,g' "$map" | tr -d ' \t' | grep -E '^[A-Za-z_][A-Za-z0-9_]*;$' | tr -d ';' | sort)
have=$("$nm" -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort)
if [ "$want" != "$have" ]; then
  echo "exported names differ from $map (< listed only, > exported only):"
  diff <(echo "$want") <(echo "$have") || true
  fail=1
fi

needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x 'libc.so.6' || true)
if [ -n "$needed" ]; then
  echo "needs more than glibc: $needed"
  fail=1
fi

# crtbeginS.o puts one entry of the toolchain's into each of these sections;
# anything beyond the baseline library's size is code of ours run at load.
section_size() { "$readelf" -SW "$1" | sed 's/^ *\[ *[0-9]*\] *//' | awk -v s="$2" '$1 == s {print $5}'; }
for s in .init_array .fini_array; do
  a=$(section_size "$lib" "$s"); b=$(section_size "$baseline" "$s")
  if [ "${a:-0}" != "${b:-0}" ]; then
    echo "$s of the library is ${a:-0} bytes, the toolchain's own ${b:-0}: code runs at load or unload"
    fail=1
  fi
done

cxx=$("$readelf" -sW --dyn-syms "$lib" | awk '$7 == "UND" {print $8}' | grep -E '^(__cxa_|_Unwind_|_Z)' | grep -v '^__cxa_finalize' || true)
if [ -n "$cxx" ]; then
  echo "the library uses the C++ runtime: $cxx"
  fail=1
fi

if [ $fail -eq 0 ]; then
  arch=$("$readelf" -h "$lib" | sed -n 's/^ *Machine: *//p')
  echo "exports ($arch): $(echo "$have" | wc -l) names as listed; needs glibc only; no load-time code"
fi
exit $fail
