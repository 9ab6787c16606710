#!/bin/bash
# The built library against its export list: the same names, no NEEDED entry beyond glibc, no C++
# runtime, no load-time code of its own. READELF and NM name the binutils of its architecture.
set -euo pipefail
lib=$1 map=$2 baseline=$3
readelf=${READELF:-readelf} nm=${NM:-nm}
fail=0
bad() { echo "$*"; fail=1; }

want=$(sed -e 's,/\*.*\*/,,g' "$map" | tr -d ' \t' | grep -E '^[A-Za-z_][A-Za-z0-9_]*;$' | tr -d ';' | sort)
have=$("$nm" -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort)
[ "$want" = "$have" ] || bad "exported names differ from $map (< listed only, > exported only):
$(diff <(echo "$want") <(echo "$have"))"
needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x 'libc.so.6' || true)
[ -z "$needed" ] || bad "needs more than glibc: $needed"
# crtbeginS.o puts one entry of the toolchain's in each; more than the baseline's is code of ours.
section_size() { "$readelf" -SW "$1" | sed 's/^ *\[ *[0-9]*\] *//' | awk -v s="$2" '$1 == s {print $5}'; }
for s in .init_array .fini_array; do
  a=$(section_size "$lib" "$s") b=$(section_size "$baseline" "$s")
  [ "${a:-0}" = "${b:-0}" ] || bad "$s is ${a:-0} bytes, the toolchain's own ${b:-0}: code runs at load or unload"
done
cxx=$("$readelf" -sW --dyn-syms "$lib" | awk '$7 == "UND" {print $8}' | grep -E '^(__cxa_|_Unwind_|_Z)' | grep -v '^__cxa_finalize' || true)
[ -z "$cxx" ] || bad "the library uses the C++ runtime: $cxx"
[ $fail -ne 0 ] || echo "exports ($("$readelf" -h "$lib" | sed -n 's/^ *Machine: *//p')): $(echo "$have" | wc -l) names as listed; glibc only; no load-time code"
exit $fail
