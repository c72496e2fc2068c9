# SPDX-License-Identifier: Apache-2.0
# The scale pass of the VM test guest (sourced by init.sh, quorvel.kind=scale):
# 16 boards on one host, 4 USB gadgets (one per dummy_hcd) and 12 uhid
# devices; the last gadget's firmware hangs in its first upload, so its OUT
# endpoint stops taking reports. Every board comes back 300 ms after its
# closing Reboot, so the boards re-enumerate while the others still upload.
# Counted with strace, not timed: list opens no hidraw node; in upload --all
# the parent opens none and each child opens its own board once (its lock,
# reader and writer share the descriptor) and no other, and scans no more
# often than the child of a one-board run (no rescans for other boards'
# changes); the hung board fails, and a healthy one only by a time-out (see
# scale_outcomes), never otherwise.
# The times are printed as information on one FIGURES line.

SC=/tmp/scale
SC_IMAGE=$QUORVEL_VM_DATA/stm32-small.hex
# Small erase blocks: chunks of five reports, so a hung firmware leaves the
# fifth write waiting for the kernel's time-out (see usb-stall).
SC_PROFILE=family=35,erase=320,boot-start=0x1C200
SC_BOARDS=16
SC_STALLED=16

# scale_start K — board K: 1..12 uhid, 13..16 gadgets on dummy_udc.0..3.
scale_start() {
  sc_extra=""
  [ "$1" = $SC_STALLED ] && sc_extra=",stall=5"
  if [ "$1" -le 12 ]; then
    sc_prog=quorvel-uhid
    sc_opts=""
  else
    sc_prog=quorvel-gadget
    sc_opts="--udc dummy_udc.$(($1 - 13))"
  fi
  # shellcheck disable=SC2086
  sh -c 'exec "$0" --ready /tmp/ready.$$ "$@"' $sc_prog --simulate "$SC_PROFILE,serial=SC$1$sc_extra" \
    --recreate-after 300 $sc_opts 2>"$SC/dev.$1" </dev/null &
  eval "sc_pid$1=$!"
  [ "$1" -gt 12 ] && echo "$(($1 - 13)) 1" >"/tmp/hcd.$!"
  eval "sc_inc$1=1"
}

# scale_node PID INCARNATION — that device program's hidraw node once the
# device of that incarnation has one.
scale_node() {
  [ "$(cat "/tmp/ready.$1" 2>/dev/null)" = "$2" ] || return 1
  if [ -f "/tmp/hcd.$1" ]; then
    gadget_node "$1"
    return
  fi
  for u in /sys/class/hidraw/hidraw*/device/uevent; do
    [ -f "$u" ] || continue
    if grep -q "^HID_PHYS=quorvel-uhid-$1/$2\$" "$u"; then
      n=${u#/sys/class/hidraw/}
      n=/dev/${n%%/*}
      [ -c "$n" ] && echo "$n" && return 0
    fi
  done
  return 1
}

# scale_wait FIRST LAST — until boards FIRST..LAST are there in their expected
# incarnation; sets sc_nodeK. Up to 20 s for all.
scale_wait() {
  sw_k=$1
  sw_i=0
  while [ "$sw_k" -le "$2" ]; do
    eval "sw_pid=\$sc_pid$sw_k sw_inc=\$sc_inc$sw_k"
    if sw_node=$(scale_node "$sw_pid" "$sw_inc"); then
      eval "sc_node$sw_k=$sw_node"
      sw_k=$((sw_k + 1))
      continue
    fi
    sw_i=$((sw_i + 1))
    [ $sw_i -ge 400 ] && return 1
    usleep 50000
  done
}

# scale_after_all — after an upload --all: the boards that succeeded come back
# as their next incarnation; the others (the hung one, any that timed out
# mid-upload) are started afresh, so the hung one hangs again in the next run.
scale_after_all() {
  sa_k=1
  while [ $sa_k -le $SC_BOARDS ]; do
    if grep -qF "(Serial=SC$sa_k): succeeded" "$SC/out"; then
      eval "sc_inc$sa_k=\$((sc_inc$sa_k + 1))"
    else
      eval "stop_uhid \$sc_pid$sa_k"
      scale_start $sa_k
    fi
    sa_k=$((sa_k + 1))
  done
  scale_wait 1 $SC_BOARDS
}

# scale_ms COMMAND... — runs the command (output to $SC/out, $SC/err, exit code
# in sc_rc) and sets sc_ms to its time in milliseconds (10 ms steps).
scale_ms() {
  sm_t0=$(uptime_cs)
  "$@" >"$SC/out" 2>"$SC/err" </dev/null
  sc_rc=$?
  sc_ms=$((($(uptime_cs) - sm_t0) * 10))
}

# scale_counts STRACE_FILE — one line per process of an upload --all run:
#   parent OPENS SCANS            the first process
#   child NODE OWN OTHER SCANS AGAIN
#                                 a child: opens of its own node, of any other
#                                 hidraw node, enumerations of the hidraw class,
#                                 and opens of its node after it let its lock go
#                                 (its board restarted and came back, as a new
#                                 device, while the child was still ending)
# Threads are counted with the process that made them (clone with CLONE_THREAD).
scale_counts() {
  awk '
    NR == FNR {
      if ($0 ~ /(clone|clone3)\(/ && $0 ~ /<unfinished/) pending[$1] = ($0 ~ /CLONE_THREAD/)
      if ($0 ~ /(clone|clone3|fork|vfork)(\(|  *resumed>)/ && $NF ~ /^[0-9]+$/ && $(NF - 1) == "=") {
        thread = $0 ~ /resumed>/ ? pending[$1] : ($0 ~ /CLONE_THREAD/)
        if (thread) creator[$NF] = $1
      }
      if (first == "") first = $1
      next
    }
    function process(t) { while (t in creator) t = creator[t]; return t }
    {
      p = process($1)
      if ($0 ~ /execve\(/ && match($0, /"--device", "[^"]*"/)) {
        node[p] = substr($0, RSTART + 13, RLENGTH - 14)
      }
      if ($0 ~ /flock\(.*LOCK_UN/) unlocked[p] = 1
      if ($0 ~ /openat\(/ && match($0, /"\/dev\/hidraw[0-9]+"/)) {
        opened = substr($0, RSTART + 1, RLENGTH - 2)
        if (p == first) parentOpens++
        else if (opened == node[p] && unlocked[p]) again[p]++
        else if (opened == node[p]) own[p]++
        else other[p]++
      }
      if ($0 ~ /openat\([^"]*"\/sys\/class\/hidraw\/?",/) scans[p]++
    }
    END {
      printf "parent %d %d\n", parentOpens, scans[first]
      for (p in node) printf "child %s %d %d %d %d\n", node[p], own[p], other[p], scans[p], again[p]
    }' "$1" "$1"
}

# scale_outcomes — the last upload --all gave every board a result and the
# hung one failed. A healthy board may fail only by a time-out of one of the
# protocol's answer waits (wall-clock seconds, which 32 processes on one
# emulated CPU can overrun): counted and shown, not failed. Anything else
# fails the step.
scale_outcomes() {
  so_ok=$(grep -c '(Serial=SC[0-9]*): succeeded' "$SC/out")
  so_failed=$(grep -c '(Serial=SC[0-9]*): failed' "$SC/out")
  so_other=""
  so_timedout=0
  for so_node in $(grep -v "(Serial=SC$SC_STALLED)" "$SC/out" | sed -n 's/^\([^ ]*\) (Serial=SC[0-9]*): failed.*/\1/p'); do
    if grep -q -e "^quorvel-cli: $so_node: Upload failed: Error: Timeout waiting for MCU" \
        -e "^quorvel-cli: $so_node: The bootloader did not complete the handshake" \
        -e "^quorvel-cli: $so_node: The bootloader did not answer the information request" "$SC/err"; then
      so_timedout=$((so_timedout + 1))
    else
      so_other="$so_other $so_node"
    fi
  done
  echo "DETAIL $sc_name: exit $sc_rc, $so_ok succeeded, $so_failed failed; healthy boards timed out: $so_timedout"
  if [ $((so_ok + so_failed)) != $SC_BOARDS ] || ! grep -qF "$so_ok succeeded, $so_failed failed" "$SC/out"; then
    scale_fail "not every board has its result" "$SC/out" "$SC/err"
  elif ! grep -qF "(Serial=SC$SC_STALLED): failed" "$SC/out"; then
    scale_fail "the hung board SC$SC_STALLED did not fail" "$SC/out" "$SC/err"
  elif [ -n "$so_other" ]; then
    scale_fail "healthy board(s)$so_other failed other than by a time-out" "$SC/out" "$SC/err"
  else
    return 0
  fi
  return 1
}

scale_fail() {
  echo "RESULT $sc_name FAIL: $1 ($(seconds_since "$sc_t0") s)"
  shift
  for f in "$@"; do
    [ -f "$f" ] && sed -n '1,40s/^/DETAIL /p' "$f"
  done
  failed=$((failed + 1))
}

scale_pass() {
  echo "RESULT $sc_name PASS ($(seconds_since "$sc_t0") s)"
  passed=$((passed + 1))
}

# scale_all_counts STRACE_FILE BOARDS OPENS MAX_SCANS — the counts of an
# upload --all run: the parent opens no hidraw node; each child opens its own
# board exactly OPENS times until its board restarts, no other, and enumerates
# at most MAX_SCANS times.
# Fails the step and returns 1 when one does not hold.
scale_all_counts() {
  scale_counts "$1" >"$SC/counts"
  read -r _ sa_opens sa_scans <"$SC/counts"
  sa_children=$(grep -c '^child ' "$SC/counts")
  sa_bad=$(awk -v opens="$3" -v scans="$4" \
    '$1 == "child" && ($3 != opens || $4 != 0 || $5 > scans)' "$SC/counts")
  echo "DETAIL $sc_name: parent opens $sa_opens, scans $sa_scans; $sa_children children: $(awk '
    $1 == "child" { own[$3]++; other += $4; s[$5]++; again += $6 }
    END { for (n in own) printf "%d with %d opens of its node, ", own[n], n; printf "%d opens of other nodes; scans", other;
          for (n in s) printf " %d x%d", n, s[n]; printf "; opens of a board back from its restart: %d", again }' "$SC/counts")"
  # What the counts were made of, should one not hold.
  { grep -e '"/dev/hidraw' -e 'flock(' "$1" | grep -v 'flock(.*LOCK_EX|LOCK_NB) = 0' | tail -30; grep -e 'clone' -e 'execve(' "$1" | grep -v ' = -1 '; } | cut -c1-150 >"$SC/why"
  if [ "$sa_opens" != 0 ]; then
    scale_fail "the parent opened $sa_opens hidraw node(s)" "$SC/why"
  elif [ "$sa_children" != "$2" ]; then
    scale_fail "$sa_children children, expected $2" "$SC/counts" "$SC/why"
  elif [ -n "$sa_bad" ]; then
    scale_fail "a child opened another node, its own other than $3 time(s) or scanned more than $4 time(s)" \
      "$SC/counts" "$SC/why"
  else
    return 0
  fi
  return 1
}

run_scale() {
  mkdir -p $SC
  rm -f /tmp/ready.* /tmp/hcd.*
  S_TRACE="strace -f -tt -qq -v -s 256 -e trace=openat,open,clone,clone3,fork,vfork,execve,flock"

  # One board: list, and upload --all as the reference for time and scans.
  sc_name=scale-one
  sc_t0=$(uptime_cs)
  scale_start 1
  if ! scale_wait 1 1; then
    scale_fail "board 1 got no hidraw node" "$SC/dev.1"
    return
  fi
  scale_ms quorvel-cli list
  sc_b=$sc_ms
  scale_ms quorvel-cli --yes --all upload "$SC_IMAGE"
  sc_y=$sc_ms
  if [ "$sc_rc" != 0 ]; then
    scale_fail "upload --all of one board exits $sc_rc" "$SC/out" "$SC/err"
    return
  fi
  sc_inc1=$((sc_inc1 + 1))
  scale_wait 1 1 || { scale_fail "board 1 did not come back" "$SC/dev.1"; return; }
  scale_ms $S_TRACE -o "$SC/one.strace" quorvel-cli --yes --all upload "$SC_IMAGE"
  sc_inc1=$((sc_inc1 + 1))
  scale_wait 1 1 || { scale_fail "board 1 did not come back" "$SC/dev.1"; return; }
  if [ "$sc_rc" != 0 ]; then
    scale_fail "upload --all of one board under strace exits $sc_rc" "$SC/out" "$SC/err"
    return
  fi
  # One open per child. What the child of a one-board run scans for itself
  # is the most any child may when 16 boards are attached.
  sc_scans=$(scale_counts "$SC/one.strace" | awk '$1 == "child" { print $5 }')
  scale_all_counts "$SC/one.strace" 1 1 "${sc_scans:-0}" || return
  scale_pass

  # Sixteen boards: list names them all and opens none.
  sc_name=scale-list
  sc_t0=$(uptime_cs)
  # First four boards, for the time of a list of four.
  k=2
  while [ $k -le 4 ]; do
    scale_start $k
    k=$((k + 1))
  done
  if scale_wait 2 4; then
    scale_ms quorvel-cli list
    echo "DETAIL $sc_name: list 4 $sc_ms ms"
  fi
  while [ $k -le $SC_BOARDS ]; do
    scale_start $k
    k=$((k + 1))
  done
  if ! scale_wait 2 $SC_BOARDS; then
    scale_fail "not every board got a hidraw node" "$SC/dev.13" "$SC/dev.16"
    return
  fi
  scale_ms $S_TRACE -o "$SC/list.strace" quorvel-cli list
  sc_listed=$(grep -c '(Serial=SC[0-9]*)' "$SC/out")
  sc_listopens=$(grep -c '"/dev/hidraw' "$SC/list.strace")
  echo "DETAIL $sc_name: $sc_listed boards listed, hidraw opens: $sc_listopens"
  if [ "$sc_rc" != 0 ] || [ "$sc_listed" != $SC_BOARDS ]; then
    scale_fail "list exits $sc_rc naming $sc_listed boards" "$SC/out" "$SC/err"
  elif [ "$sc_listopens" != 0 ]; then
    scale_fail "list opened a hidraw node" "$SC/list.strace"
  else
    scale_pass
  fi
  scale_ms quorvel-cli list
  sc_a=$sc_ms

  # upload --all under strace, for the counts.
  sc_name=scale-all-counts
  sc_t0=$(uptime_cs)
  scale_ms $S_TRACE -o "$SC/all.strace" quorvel-cli --yes --all upload "$SC_IMAGE"
  if scale_outcomes && scale_all_counts "$SC/all.strace" $SC_BOARDS 1 "$sc_scans"; then
    scale_pass
  fi
  scale_after_all || { scale_fail "not every board came back after upload --all"; return; }

  # The same without strace, for its time.
  sc_name=scale-all
  sc_t0=$(uptime_cs)
  scale_ms quorvel-cli --yes --all upload "$SC_IMAGE"
  sc_x=$sc_ms
  scale_outcomes && scale_pass
  scale_after_all || { scale_fail "not every board came back after upload --all"; return; }
  eval "sc_hung=\$sc_node$SC_STALLED"

  # The main thread's longest stall while the hung board's writes wait in the
  # kernel and another board is uploaded.
  quorvel-cli --yes upload --device "$sc_hung" "$SC_IMAGE" >/dev/null 2>&1 </dev/null &
  sc_bg=$!
  sleep 2
  QUORVEL_REPORT_LOOP_STALL=1 quorvel-cli --yes upload --device "$sc_node1" "$SC_IMAGE" \
    >"$SC/bench.out" 2>"$SC/bench.err" </dev/null
  sc_s=$(sed -n 's/^quorvel-cli: longest event-loop stall \([0-9]*\) ms$/\1/p' "$SC/bench.err")
  wait $sc_bg

  awk -v x="$sc_x" -v y="$sc_y" -v a="$sc_a" -v b="$sc_b" -v s="${sc_s:-?}" 'BEGIN {
    r = 0
    if (y > 0) r = x / y
    printf "FIGURES 16 boards: --all %.1f s, one board %.1f s, ratio %.1f; list 16 %d ms, list 1 %d ms; main-thread stall %s ms\n",
      x / 1000, y / 1000, r, a, b, s }'
  k=1
  while [ $k -le $SC_BOARDS ]; do
    eval "stop_uhid \$sc_pid$k"
    k=$((k + 1))
  done
}
