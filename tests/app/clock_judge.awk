# Judges a MIDI clock recorded by jack_midi_record ("FRAME: BYTES @OFFSET" a message, "# missed A-B"
# for frames the recorder did not see, "# rate R from F" and "# quantum N from F" for the server's
# sample rate and cycle size, a "# cycles" summary last) against the grid of the server's frames.
# Each Start or Continue starts a run; tick n of a run (from 1) is due at the run's frame plus
# floor(n x period) (a Continue carries the count on, but the grid starts again at it). A tick
# must fall on its frame, or later but then at the first frame of a cycle (it was overdue after a
# stall and goes out at once); an early tick is a doubled one, a late one elsewhere a lost one. A
# run ends at the next Stop, before which every tick due is there, unless it fell in frames the
# recorder missed or in the cycle after them (PipeWire hands a client that missed a cycle what was
# written in the one before). No tick comes while stopped.
#
# A PipeWire client that runs late may find the next cycle's first frame already: the recorder then
# reports a gap, stamps what it takes from the cycle it missed with that next frame, and reports
# the same frame again for the cycle that has it ("# missed A-B" with B below A). What came between
# the gap and that line belongs to the cycle before, A - B frames earlier, and the gap is that much
# shorter.
#
# Frames that no cycle runs through are not time: a server that changes its cycle size may start
# the first cycle of the new size that size further on (a gap of at least the new size, ending where
# the new size begins, whose first frames of that size are numbered afresh and the rest missed);
# the grid moves with them. Such a gap is also what a client sees that misses the first cycle of
# the new size, which a busy machine makes likely just then: the recorder and the clock's own
# client may see the change differently. The first tick after it decides: on the grid moved by the
# new size, the frames were numbered afresh; on the grid as it stood, the recorder missed a cycle. A cycle that starts before the last one ended holds the grid. With
# -v bpm, the period follows the server's rate (rate x 60 / (bpm x 24) frames), and a change of
# rate while running spaces the ticks anew from the tick after the next one due (the next one keeps
# its frame on the old grid).
#
# The spacing of each two ticks in a row that are both on their frames is measured, in the frames
# that ran between them: each must be within one frame of the period. The mean spacing is the tempo
# the instrument hears: from the first tick on its frame to the last of each stretch at one period
# (a run, or its part after a change of rate), over the ticks due between them, late ones
# included. Rounding to whole frames puts each stretch within one frame of its count of periods.
#
# usage: awk -v period=FRAMES -f clock_judge.awk RECORD
#        awk -v bpm=BPM -f clock_judge.awk RECORD
# Prints a line of faults (empty when there are none), then one of numbers, then one line for each
# period: "spacing P: N intervals, mean M, from A to B".
function fault(text) { faults = faults " " text ";" }
function excused(frame,   g) {
  for (g = 1; g <= gaps; g++) if (frame >= gap_from[g] && frame < gap_to[g] + gap_next[g]) return 1
  return 0
}
function due_of(k) { return run_start + int(k * period + 1e-6) }
# Ends the stretch at one period that the mean spacing is taken over.
function end_stretch() {
  if (stretch_steps) {
    span_sum[period] += stretch_span; steps_sum[period] += stretch_steps; stretches[period]++
  }
  stretch_k = ""; stretch_steps = 0
}
# Counts the ticks due before `end` that the run did not send.
function close_run(end,   due) {
  for (;;) {
    due = due_of(k + 1)
    if (due - end >= 0) break
    k++
    if (excused(due)) { excused_count++ } else { missing++ }
  }
}
# A gap that may be frames numbered afresh, read as such (or not): its first frames go.
function resolve(afresh) {
  if (!pending) return
  if (afresh) {
    missed_frames -= pending; gap_from[pending_gap] += pending
    if (gap_from[pending_gap] == gap_to[pending_gap]) {
      gap_from[pending_gap] = 1; gap_to[pending_gap] = 0; gap_next[pending_gap] = 0
    }
    renumbered(pending)
  }
  pending = 0
}
# The grid moves by `frames` that no cycle ran through.
function renumbered(frames) {
  renumberings++
  if (running) { run_start += frames; skipped += frames }
}
BEGIN {
  if (bpm == "" && period == "") { print "clock_judge.awk: give -v period or -v bpm"; exit 2 }
  # The lines stamped a cycle late, found before the judging starts.
  while ((getline line < ARGV[1]) > 0) {
    lines++
    if (line !~ /^# missed /) continue
    split(substr(line, 10), range, "-")
    if (range[2] + 0 >= range[1] + 0) { gap_line = lines; gap_end = range[2] + 0; continue }
    if (gap_line && gap_end == range[2] + 0) {
      for (l = gap_line; l < lines; l++) restamp[l] = range[1] - range[2]
    }
    gap_line = 0
  }
  close(ARGV[1])
}
# Both clients may have been late in that cycle, or only the recorder: a tick there is on its frame
# by either stamp.
unstamped = ""
FNR in restamp && /^[0-9]+: / { unstamped = $1 + 0; $1 = ($1 - restamp[FNR]) ":" }
/^# missed / {
  resolve(1)
  split($3, range, "-"); from = range[1] + 0; to = range[2] + 0
  if (FNR in restamp) to -= restamp[FNR]
  # A gap whose cycle came after all, stamped a cycle late: a tick due in it may have been lost by
  # a client that was late there as well, as in a missed cycle.
  if (to <= from && FNR in restamp) {
    gaps++; gap_from[gaps] = from; gap_to[gaps] = from; gap_next[gaps] = quantum
  }
  if (to <= from) next
  gaps++; gap_from[gaps] = from; gap_to[gaps] = to; gap_next[gaps] = quantum
  missed_frames += to - from
  next
}
/^# quantum / {
  size = $3 + 0; at = $5 + 0
  if (gaps && gap_to[gaps] == at) gap_next[gaps] = size
  resolve(1)
  if (quantum && size != quantum && gaps && gap_to[gaps] == at && at - gap_from[gaps] >= size) {
    pending = size; pending_gap = gaps
  }
  quantum = size
  next
}
/^# rate / {
  if (bpm == "") next
  new_period = $3 * 60 / (bpm * 24)
  if (running && new_period != period) rerate = new_period; else period = new_period
  next
}
/^# cycles / { summary = $0; next }
/^[0-9]+: / {
  frame = $1 + 0; status = $2; offset = substr($NF, 2) + 0
  if (pending) {
    due = due_of(k + 1)
    resolve(!(status == "f8" && running) || (frame - due - pending) ^ 2 < (frame - due) ^ 2)
  }
  if (status == "fa" || status == "fb") {
    if (running) fault(status " while running")
    end_stretch()
    if (status == "fa") { starts++; n = 0 } else continues++
    if (rerate) { period = rerate; rerate = 0 }
    running = 1; run_start = frame; k = 0; last = ""; skipped = 0
    next
  }
  if (status == "fc") {
    stops++
    if (running) close_run(frame)
    end_stretch()
    running = 0
    next
  }
  if (status != "f8") { others++; next }
  if (!running) { after++; next }
  # Ticks due in frames the recorder missed were lost to it when this one falls on a later tick's
  # frame, or within a cycle; at a cycle's first frame and on no tick's frame it is an overdue one
  # (the server stalled: all the ticks due meanwhile come there).
  j = k + 1
  while (excused(due_of(j)) && frame - due_of(j + 1) >= 0) j++
  if (j > k + 1 && (frame == due_of(j) || offset != 0)) {
    excused_count += j - k - 1; k = j - 1; last = ""
  }
  k++; n++; ticks++
  due = due_of(k)
  if (unstamped == due) frame = due
  on = frame == due
  if (stretch_k != "") stretch_skipped += skipped
  if (on && stretch_k == "") { stretch_k = k; stretch_frame = frame; stretch_skipped = 0 }
  else if (on) { stretch_steps = k - stretch_k; stretch_span = frame - stretch_frame - stretch_skipped }
  if (on) {
    on_grid++
    if (last != "") {
      space = frame - last - skipped
      count[period]++
      if (!(period in low) || space < low[period]) low[period] = space
      if (!(period in high) || space > high[period]) high[period] = space
      if (space - period >= 1 || period - space >= 1) {
        fault("ticks " n - 1 " and " n " " space " frames apart")
      }
    }
    last = frame
  } else if (frame > due && offset == 0) {
    late++; if (frame - due > worst) worst = frame - due; last = ""
  } else {
    if (misplaced < 3) fault("tick " n " at " frame ", due at " due " (offset " offset ")")
    misplaced++; last = ""
  }
  skipped = 0
  if (rerate) { end_stretch(); run_start = due; k = 0; period = rerate; rerate = 0 }
}
END {
  resolve(1)
  end_stretch()
  if (running) fault("no Stop at the end")
  if (after) fault(after " tick(s) while stopped")
  if (missing) fault(missing " tick(s) missing")
  if (misplaced > 3) fault((misplaced - 3) " more misplaced tick(s)")
  # Overdue ticks are the server's stalls, not the clock's: a few, never the rule.
  if (late * 20 > ticks) fault(late " of " ticks " ticks late")
  for (p in steps_sum) {
    if ((span_sum[p] - steps_sum[p] * p) ^ 2 >= stretches[p] ^ 2) {
      fault("mean spacing " span_sum[p] / steps_sum[p] " for " p)
    }
  }
  printf "%s\n", faults
  printf "%d Start(s), %d Continue(s), %d Stop(s); %d ticks: %d on their frames, %d late (at most %d frames, after a stall), %d in %d frames the recorder missed; %d renumbering(s) of the frames; %d other message(s); %s\n",
    starts, continues, stops, ticks, on_grid, late, worst, excused_count, missed_frames, renumberings, others, summary
  for (p in count) {
    mean = steps_sum[p] ? sprintf("%.4f", span_sum[p] / steps_sum[p]) : "-"
    printf "spacing %s: %d intervals, mean %s, from %d to %d\n", p, count[p], mean, low[p], high[p]
  }
}
