# Judges a MIDI clock recorded by jack_midi_record ("FRAME: BYTES @OFFSET" a message, "# missed A-B"
# for frames the recorder did not see, a "# cycles" summary last) against the grid of the server's
# frames. Each Start or Continue starts a run; tick n of a run (from 1) is due at the run's frame
# plus floor(n x period) (a Continue carries the count on, but the grid starts again at it). A tick
# must fall on its frame, or later but then at the first frame of a cycle (it was overdue after a
# stall and goes out at once); an early tick is a doubled one, a late one elsewhere a lost one. A
# run ends at the next Stop, before which every tick due is there, unless it fell in frames the
# recorder missed. No tick comes while stopped.
#
# usage: awk -v period=FRAMES -f clock_judge.awk RECORD
# Prints a line of faults (empty when there are none), then one of numbers.
function fault(text) { faults = faults " " text ";" }
function excused(frame,   g) {
  for (g = 1; g <= gaps; g++) if (frame >= gap_from[g] && frame < gap_to[g]) return 1
  return 0
}
# Counts the ticks due before `end` that the run did not send.
function close_run(end,   due) {
  for (;;) {
    due = run_start + int((n + 1) * period + 1e-6)
    if (due - end >= 0) break
    n++
    if (excused(due)) { excused_count++ } else { missing++ }
  }
}
/^# missed / {
  split($3, range, "-"); gaps++; gap_from[gaps] = range[1] + 0; gap_to[gaps] = range[2] + 0
  missed_frames += range[2] - range[1]
  next
}
/^# cycles / { summary = $0; next }
/^[0-9]+: / {
  frame = $1 + 0; status = $2; offset = substr($NF, 2) + 0
  if (status == "fa" || status == "fb") {
    if (running) fault(status " while running")
    if (status == "fa") { starts++; n = 0 }
    running = 1; run_start = frame
    if (status == "fb") { continues++; run_n0 = n } else run_n0 = 0
    next
  }
  if (status == "fc") {
    stops++
    if (running) close_run(frame)
    running = 0
    next
  }
  if (status != "f8") { others++; next }
  if (!running) { after++; next }
  # A tick due in frames the recorder missed is passed over when this one is due later still.
  for (;;) {
    k = n - run_n0 + 1
    due = run_start + int(k * period + 1e-6)
    if (!excused(due) || frame - (run_start + int((k + 1) * period + 1e-6)) < 0) break
    n++; excused_count++
  }
  k = n - run_n0 + 1
  due = run_start + int(k * period + 1e-6)
  n++; ticks++
  if (frame == due) { on_grid++; next }
  if (frame > due && offset == 0) { late++; if (frame - due > worst) worst = frame - due; next }
  if (misplaced < 3) fault("tick " n " at " frame ", due at " due " (offset " offset ")")
  misplaced++
}
END {
  if (running) fault("no Stop at the end")
  if (after) fault(after " tick(s) while stopped")
  if (missing) fault(missing " tick(s) missing")
  if (misplaced > 3) fault((misplaced - 3) " more misplaced tick(s)")
  # Overdue ticks are the server's stalls, not the clock's: a few, never the rule.
  if (late * 20 > ticks) fault(late " of " ticks " ticks late")
  printf "%s\n", faults
  printf "%d Start(s), %d Continue(s), %d Stop(s); %d ticks: %d on their frames, %d late (at most %d frames, after a stall), %d in %d frames the recorder missed; %d other message(s); %s\n",
    starts, continues, stops, ticks, on_grid, late, worst, excused_count, missed_frames, others, summary
}
