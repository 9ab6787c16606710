#!/bin/bash
# Every tool's command line as one table: exit status, stdout, stderr, --help, --version, JSON that
# parses, the refusal of a user who is not root. Runs itself inside the sandbox (it starts a Manager).
#   tools_usage_test.sh BUILD_DIR VERSION; KIV_TEST_EMULATOR runs the tools of a cross build.
set -u
BUILD=$1 VERSION=$2
read -ra EMU <<<"${KIV_TEST_EMULATOR:-}"
if [ "${3:-}" != --inside ]; then
  exec "${EMU[@]}" "$BUILD/tools/kiv-sandbox" /bin/bash "$(realpath "$0")" "$(realpath "$BUILD")" "$VERSION" --inside
fi
KIV=$BUILD/tools/kiv KIVCTL=$BUILD/tools/kivctl VSDCTL=$BUILD/tools/vsdctl/vsdctl SANDBOX=$BUILD/tools/kiv-sandbox
OUT=/tmp/usage.out ERR=/tmp/usage.err fails=0
failed() { echo "FAIL: $*"; fails=$((fails + 1)); }

# row STATUS STDOUT STDERR USER COMMAND...
#   STDOUT: "-" nothing, "json:EXPR" one JSON text c for which the Python EXPR holds, else an ERE its
#   first line matches.
#   STDERR: "-" nothing, else an ERE its one and only line matches. USER: root or nobody (65534).
row() {
  local want=$1 out=$2 err=$3 user=$4
  shift 4
  local run=("${EMU[@]}" "$@")
  [ "$user" = nobody ] && run=(setpriv --reuid=65534 --regid=65534 --clear-groups "${run[@]}")
  "${run[@]}" >"$OUT" 2>"$ERR" </dev/null
  local got=$? why=
  [ "$got" = "$want" ] || why="exit status $got"
  case $out in
    -) [ ! -s "$OUT" ] || why="$why; output not empty" ;;
    json:*) python3 -c "import json, sys; c = json.load(sys.stdin); sys.exit(not (${out#json:}))" <"$OUT" 2>/dev/null ||
      why="$why; output is not JSON where ${out#json:}" ;;
    *) head -n 1 "$OUT" | grep -Eq -- "$out" || why="$why; output does not match '$out'" ;;
  esac
  if [ "$err" = - ]; then
    [ ! -s "$ERR" ] || why="$why; errors not empty"
  elif [ "$(wc -l <"$ERR")" != 1 ] || ! grep -Eq -- "$err" "$ERR"; then
    why="$why; errors are not one line matching '$err'"
  fi
  [ -z "$why" ] || failed "($user) ${1##*/} ${*:2}: ${why#; }
$(sed 's/^/    out| /' "$OUT"; sed 's/^/    err| /' "$ERR")"
}

for tool in "$KIV" "$SANDBOX" "$KIVCTL" "$VSDCTL"; do
  row 0 "^Usage: ${tool##*/} " - root "$tool" --help
  row 0 "^${tool##*/} \(libkiv\) ${VERSION//./\\.}\$" - root "$tool" --version
done
#   status stdout                        stderr                                        user   command
row 2 -                                  "^kiv: unknown option '--bogus'"              root   "$KIV" --bogus
row 2 -                                  "^kiv: invalid value '0' for --max-clients$"  root   "$KIV" --max-clients=0
row 2 -                                  "^kiv: unexpected argument 'x'"               root   "$KIV" x
row 1 -                                  'kiv: must be run as root$'                   nobody "$KIV"
row 2 -                                  '^kiv-sandbox: a command is needed'           root   "$SANDBOX"
row 1 -                                  '^kiv-sandbox: must be run as root$'          nobody "$SANDBOX" true
row 2 -                                  "^kivctl: option '--json' takes no value"     root   "$KIVCTL" --json=yes status
row 2 -                                  "^kivctl: unexpected argument 'stat'"         root   "$KIVCTL" stat
row 3 '^manager: down '                  -                                             root   "$KIVCTL" status
# JSON strings keep control characters, quotes and backslashes (escaped); non-UTF-8 bytes are replaced.
mkdir -p /tmp/vsd/0/kiv/db
printf '4242\n2\n/bin/a\001"\\\377\316\273\t' >/tmp/vsd/0/kiv/db/a.4242
row 3 'json:c["registrations"][0]["command"] == "/bin/a\x01\"\\\ufffd\u03bb\t"' - nobody "$KIVCTL" status --json
rm -r /tmp/vsd/0
row 2 -                                  "^vsdctl: list: unknown option '--yaml'"      root   "$VSDCTL" list --yaml
row 2 -                                  "^vsdctl: set: option '--cpu' needs a value"  root   "$VSDCTL" set 3 --cpu
row 2 -                                  "^vsdctl: set: invalid cpu weight '0' "       root   "$VSDCTL" set 3 --cpu=0
row 1 -                                  '^vsdctl: set: vsd 3 does not exist$'         root   "$VSDCTL" set 3 --memory=4M
row 0 'json:c["vsds"][0]["vsd"] == 1'    -                                             root   "$VSDCTL" list --all --json
row 0 'json:c["vsds"][0]["vsd"] == 0'    -                                             root   "$VSDCTL" --json mem
row 0 '^VSD +STATE'                      -                                             nobody "$VSDCTL" list
row 1 -                                  '^vsdctl: create: must be run as root$'       nobody "$VSDCTL" create 3
row 1 -                                  '^vsdctl: mem: must be run as root$'          nobody "$VSDCTL" mem --enforce

# Manager up: a user who may not read its lock file is answered by the socket; refused there too, unknown.
"${EMU[@]}" "$KIV" -q -s 0.01 2>/dev/null &
for _ in $(seq 100); do "${EMU[@]}" "$KIVCTL" status >/dev/null 2>&1 && break; sleep 0.05; done
row 0 '^manager: up \(pid [0-9]+\)'      -                                             root   "$KIVCTL" status
row 0 '^manager: up \(pid unknown: permission denied\)' -                              nobody "$KIVCTL" status
chmod 0700 /tmp/kiv
row 4 '^manager: unknown \(permission denied\)' -                                      nobody "$KIVCTL" status
row 4 'json:c["manager"]["up"] is None'  -                                             nobody "$KIVCTL" --json status
kill %1

# Bash completion: the words offered for the last word of a command line.
. "$(dirname "$(realpath "$0")")/../completions/kivctl"
. "$(dirname "$(realpath "$0")")/../completions/vsdctl"
offered() {
  local want=$1 line=$2 cur=$3
  read -ra COMP_WORDS <<<"$line"
  COMP_WORDS+=("$cur")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  "_${COMP_WORDS[0]}"
  [ "${COMPREPLY[*]}" = "$want" ] || failed "completion of '$line $cur': '${COMPREPLY[*]}'"
}
offered 'create stop delete reload list launch set mem exec help' vsdctl ''
offered '--enforce --json --help'                                 'vsdctl -d mem' --
offered '1 10 11 12 13 14 15'                                      'vsdctl stop' 1
offered ''                                                         'vsdctl set 3 --memory' ''
offered 'status'                                                   kivctl s

[ "$fails" = 0 ] && echo "all rows pass"
exit $((fails > 0))
