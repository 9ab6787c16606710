#!/bin/sh
# Fails when groff, with every warning on, has anything to say about a
# manual page, or when a page renders to nothing.
status=0
for page in "$@"; do
  warnings=$(groff -ww -z -man -Tutf8 "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
  if [ "$(groff -man -Tutf8 "$page" 2>/dev/null | grep -c .)" -lt 10 ]; then
    echo "$page: renders to almost nothing"
    status=1
  fi
done
exit $status
