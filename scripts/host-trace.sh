#!/bin/bash
# Prints what of the device's paths and IPC objects the host has, so that a
# test run can be shown to leave no trace: run it before and after, and
# compare.
for p in /tmp/kiv /tmp/vsd /tmp/.kiv_semphore_path /data /data2 /etc/vsd /qn_cfg /talu \
         /etc/dev_mon /etc/debug_log /etc/cmdmap /etc/rc.d/rc.vsd /memory /cpu /dev/shm/UTILS-kiv-shm-001; do
  [ -e "$p" ] && find "$p" -maxdepth 3 2>/dev/null | sort
done
ls -d /sys/fs/cgroup/memory/kiv-test-* /sys/fs/cgroup/cpu/kiv-test-* 2>/dev/null
ipcs -s | awk 'NR > 3 && $2 ~ /^[0-9]+$/ {print "semaphore", $1, $3, $4}'
ipcs -m | awk 'NR > 3 && $2 ~ /^[0-9]+$/ {print "shared memory", $1, $3, $4}'
ls /dev/shm 2>/dev/null | sed 's/^/dev-shm: /'
exit 0
