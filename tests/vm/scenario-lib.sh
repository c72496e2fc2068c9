# SPDX-License-Identifier: Apache-2.0
# Scenario helpers shared by the host (bash, recording expectations on the
# simulator) and the guest (busybox sh, running them on a uhid device).
# Keep to POSIX sh: the guest has only busybox.
#
# A scenario is one line of tests/vm/scenarios:
#   name|profile|uhid options|setup|cli arguments|exit code|compare|must contain|with udevd
# setup:   -        the device exists before the command runs
#          wait     the command starts first; the device appears later (plug-after)
#          locked   the hidraw node is chmod 000 and the command runs unprivileged
#          reboot   after the command the device is re-created; then "info" runs again
#          during-info  the devices after the first appear while the command waits
#                   for the first one's answer to its information request
#          regain   as locked, and a moment later the node becomes readable
#                   through a udev "change" event (a rule installed meanwhile)
#          noopen   the command runs under strace (when the image has it) and
#                   must open no hidraw node
#          twice    a second identical command starts while the first one erases;
#                   it must exit 2 saying the board is in use by another program
#          signals  once the first chunk is sent the command gets SIGTERM, and a
#                   second one once it says it stops; the trace must end with
#                   REBOOT and hold no VIOLATION
# compare: out      exit code, standard output and the bootloader trace must equal
#                   those of the same command on the simulator
#          trace    exit code and trace must equal the simulator's
#          -        only the exit code and the texts below are checked
# must contain: texts (fixed strings) separated by ';' that must all appear in
#          the command's output; alternatives separated by '~'.
# with udevd: yes to run the scenario again once systemd-udevd is running.
# profile: the bootloader's profile (quorvel-cli --simulate); several devices
#          separated by ';', the first one's trace is compared.
# In cli arguments @DATA stands for the folder of the HEX files and @NODEk
# for the k-th device's path (as --device takes it).

# Prints the scenario lines without comments and blank lines.
scenario_lines() {
  grep -v '^[[:space:]]*#' "$1" | grep -v '^[[:space:]]*$'
}

# Both sides print file and device paths differently; everything else must match.
normalize_output() {
  sed -e "s#$QUORVEL_VM_DATA#@DATA#g" \
      -e 's#/dev/hidraw[0-9][0-9]*#@NODE#g' \
      -e 's#sim:[0-9][0-9]*#@NODE#g' \
      "$1"
}

# @NODE1 .. @NODE4 stand for the scenario's devices in profile order: their
# hidraw nodes in the guest, sim:1 .. sim:4 on the simulator.
expand_args() {
  echo "$1" | sed -e "s#@DATA#$QUORVEL_VM_DATA#g" \
    -e "s#@NODE1#${QUORVEL_NODE1:-sim:1}#g" -e "s#@NODE2#${QUORVEL_NODE2:-sim:2}#g" \
    -e "s#@NODE3#${QUORVEL_NODE3:-sim:3}#g" -e "s#@NODE4#${QUORVEL_NODE4:-sim:4}#g"
}

# record_expectations CLI SCENARIO_FILE OUT_DIR
# Runs every comparable scenario on the simulator; writes NAME.out, NAME.rc and
# NAME.trace (for reboot scenarios also NAME.2.out, NAME.2.rc).
record_expectations() {
  rec_cli=$1
  rec_out=$3
  scenario_lines "$2" | while IFS='|' read -r name profile uopts setup args rc compare patterns withudevd; do
    [ "$compare" = "-" ] && continue
    # One --simulate per device, each profile kept whole (descriptions hold blanks).
    old_ifs=$IFS
    IFS=';'
    # shellcheck disable=SC2086
    set -- $profile
    IFS=$old_ifs
    n=$#
    for one in "$@"; do set -- "$@" --simulate "$one"; done
    shift "$n"
    # shellcheck disable=SC2046
    "$rec_cli" "$@" --trace "$rec_out/$name.trace" $(expand_args "$args") \
      >"$rec_out/$name.raw" 2>"$rec_out/$name.err" </dev/null
    echo $? >"$rec_out/$name.rc"
    normalize_output "$rec_out/$name.raw" >"$rec_out/$name.out"
    if [ "$(cat "$rec_out/$name.rc")" != "$rc" ]; then
      echo "vm-test: scenario $name exits $(cat "$rec_out/$name.rc") on the simulator, expected $rc:" >&2
      cat "$rec_out/$name.raw" "$rec_out/$name.err" >&2
      return 1
    fi
    if [ "$setup" = reboot ]; then
      # The re-created device runs a fresh firmware: its trace starts anew.
      "$rec_cli" --simulate "$profile" --trace "$rec_out/$name.2.trace" info \
        >"$rec_out/$name.2.raw" 2>/dev/null </dev/null
      echo $? >"$rec_out/$name.2.rc"
      normalize_output "$rec_out/$name.2.raw" >"$rec_out/$name.2.out"
      cat "$rec_out/$name.2.trace" >>"$rec_out/$name.trace"
    fi
  done
}

# contains_all FILE PATTERNS — every ';'-separated item (alternatives by '~')
# must occur in FILE. Prints the first missing item.
contains_all() {
  ca_file=$1
  ca_rest=$2
  while [ -n "$ca_rest" ]; do
    ca_item=${ca_rest%%;*}
    if [ "$ca_item" = "$ca_rest" ]; then ca_rest=""; else ca_rest=${ca_rest#*;}; fi
    [ -z "$ca_item" ] && continue
    ca_found=0
    ca_alts=$ca_item
    while [ -n "$ca_alts" ]; do
      ca_alt=${ca_alts%%~*}
      if [ "$ca_alt" = "$ca_alts" ]; then ca_alts=""; else ca_alts=${ca_alts#*~}; fi
      if grep -qF -- "$ca_alt" "$ca_file"; then ca_found=1; break; fi
    done
    if [ $ca_found = 0 ]; then
      echo "$ca_item"
      return 1
    fi
  done
  return 0
}
