#!/usr/bin/env bash
# The main job: a whole software update on the simulated board.
#
# Builds the programs and the example update archive, starts the admin side
# and the daemon on a fresh sandbox, puts the archive at /tmp/image of the
# sandbox, sends the start request, shows the status file while the update
# runs, then prints the result, the module's new firmware and keys and the
# flash contents, and stops the daemon.
#
#   scripts/run_update.sh            (sandbox: out/sandbox, time scale 0.05)
#   UPDATE_SANDBOX=/tmp/sb UPDATE_TIME_SCALE=0.2 scripts/run_update.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${UPDATE_BUILD_DIR:-$repo/build}
sandbox=${UPDATE_SANDBOX:-$repo/out/sandbox}
scale=${UPDATE_TIME_SCALE:-0.05}
bin=$build/bin

say() { printf '\n== %s\n' "$*"; }

say "Building"
if [ -n "${UPDATE_BUILD_DIR:-}" ]; then
  cmake -S "$repo" -B "$build" >/dev/null
else
  (cd "$repo" && cmake --preset default >/dev/null)
fi
cmake --build "$build" -j2 --target update_sim update_admin update_image >/dev/null

say "Preparing the sandbox $sandbox"
rm -rf "$sandbox"
mkdir -p "$sandbox"/{tmp,etc,board}
work=$sandbox/board/example
mkdir -p "$work"
# The board as it stands before the update: installed versions, flash size.
cp "$repo/examples/board/data.txt" "$sandbox/etc/data.txt"
cp "$repo/examples/board/settings" "$sandbox/board/settings"
# The update package: the example folder plus the board's download tool.
cp -r "$repo/examples/package" "$work/package"
cp "$repo/sim/dfu_sim" "$work/package/dfu"
chmod 755 "$work/package/dfu"
# A software image of about 200 KB, the same on every run.
seq 1 8000 | sed "s/^/skq software image line /" > "$work/software.bin"
truncate -s 204800 "$work/software.bin"
"$bin/update_image" create --package "$work/package" --software "$work/software.bin" \
  --name "skq update example" --software-name "Linux skq 1.1.0" -o "$work/update.img"
"$bin/update_image" list "$work/update.img"

say "Starting the admin side and the daemon (time scale $scale)"
fifo=$sandbox/board/admin.commands
mkfifo "$fifo"
"$bin/update_admin" --root "$sandbox" --all --exit-after-stop < "$fifo" > "$sandbox/board/admin.out" 2>&1 &
admin_pid=$!
exec 3> "$fifo"
for _ in $(seq 100); do [ -S "$sandbox/rb_ai_sock2ad" ] && break; sleep 0.05; done
"$bin/update_sim" --root "$sandbox" --time-scale "$scale" \
  > "$sandbox/board/daemon.out" 2> "$sandbox/board/daemon.err" &
daemon_pid=$!
cleanup() {
  kill "$daemon_pid" "$admin_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 200); do grep -q UPD_CODE_STATUS "$sandbox/board/admin.out" 2>/dev/null && break; sleep 0.05; done
grep -m1 UPD_CODE_STATUS "$sandbox/board/admin.out" | cut -d'|' -f1

say "Update archive to /tmp/image, start request"
cp "$work/update.img" "$sandbox/tmp/image"
status=$sandbox/tmp/update.log
# Finish lines written before the start request are not part of this update.
before=$(stat -c %s "$status" 2>/dev/null || echo 0)
echo start >&3

say "Status file as the update runs"
shown=""
for _ in $(seq 6000); do
  current=$(tail -c +$((before + 1)) "$status" 2>/dev/null; echo x)
  current=${current%x}
  # The update's part begins with the first step's announcement; finish
  # lines of the ticks before the start request came are left out.
  if [[ $current != *"started ..."* ]]; then
    kill -0 "$daemon_pid" 2>/dev/null || { echo "the daemon ended early"; break; }
    sleep 0.1
    continue
  fi
  lead=${current%%"started ..."*}
  if [[ $lead == *$'\n'* ]]; then
    earlier=${lead%$'\n'*}
    current=${current:$((${#earlier} + 1))}
  fi
  if [ "$current" != "$shown" ]; then
    if [[ $current == "$shown"* ]]; then
      printf '%s' "${current#"$shown"}"
    else
      # A progress figure rewritten in place at the end of the file.
      printf ' -> %s' "${current: -12}"
    fi
    shown=$current
  fi
  # Stop at the first finish line.
  [[ $current == *"*UPDATE_FINISHED*"* ]] && { echo; break; }
  kill -0 "$daemon_pid" 2>/dev/null || { echo "the daemon ended early"; break; }
  sleep 0.1
done

say "Result report to the admin side"
# The finish step reports on every tick: the first report after the finish
# line tells the update's result.
reports=$(grep -c UPD_CODE_RESULT "$sandbox/board/admin.out" || true)
for _ in $(seq 200); do
  [ "$(grep -c UPD_CODE_RESULT "$sandbox/board/admin.out" || true)" -gt "$reports" ] && break
  sleep 0.05
done
grep UPD_CODE_RESULT "$sandbox/board/admin.out" | tail -n 1 | cut -d'|' -f1

say "Stop request"
echo stop >&3
wait "$daemon_pid" && echo "daemon ended with status 0" || echo "daemon ended with status $?"
exec 3>&-
wait "$admin_pid" 2>/dev/null || true
trap - EXIT

say "Final status file ($status)"
cat "$status"

say "The module after the update"
echo "firmware version: $(cat "$sandbox/board/firmware.txt" 2>/dev/null || echo unknown)"
echo "write set of the comparison (tmp/pskeytoset.psr):"
sed 's/^/  /' "$sandbox/tmp/pskeytoset.psr" 2>/dev/null || echo "  (none)"
echo "SET requests on the wire (board/wire.log), in order:"
awk '$2 == ">" && $3 == "cfUaB0" && $4 == "01" && $5 == "00" && $6 == "fc" && $9 == "02" {
       serial = serial " &" $20 $19 }
     $2 == ">" && $3 == "bcspRel2" && $4 == "02" { bcsp = bcsp " &" $15 $14 }
     END { print "  serial HCI link:" serial; print "  BCSP link:      " bcsp }' \
  "$sandbox/board/wire.log"
echo "persistent store (board/module.psr): host-interface and version keys:"
grep -E '^&(01a5|01a6|01f9|0191|02a4|02a5)' "$sandbox/board/module.psr" | sed 's/^/  /' || true

say "Flash"
echo "image at 0x20000 of $sandbox/board/flash0.bin:"
od -A x -t x1z -j $((0x20000)) -N 96 "$sandbox/board/flash0.bin"

say "Where things are"
cat <<TEXT
  status file:       $status
  daemon output:     $sandbox/board/daemon.out (console), $sandbox/board/daemon.err (log lines)
  admin side:        $sandbox/board/admin.out
  flash image:       $sandbox/board/flash0.bin (operations in board/flash.log)
  module store:      $sandbox/board/module.psr (wire trace in board/wire.log)
  PS-key files:      $sandbox/tmp/pskeydump.psr, pskeycomp.psr, pskeytoset.psr
TEXT
