#!/usr/bin/env python3
"""Runs every benchmark program of a build and prints one table of medians against targets.

    python3 bench/report.py [BUILD_DIR] > bench-report.md

Each program runs with repetitions and reports its aggregates as JSON; the table takes the
median of the real time. Ratios compare a benchmark with its target, or with its baseline when
the target is a ratio (the port against a bare RtMidi send to the same JACK port).
"""

import json
import os
import platform
import subprocess
import sys

# benchmark name -> (what it measures, target in nanoseconds or as a ratio to a baseline)
TARGETS = {
    "BM_SeedTable": ("seed table, 16384 generator steps", 100_000),
    "BM_Morph": ("one morph, 24 parameters, both banks generated", 1_000),
    "BM_TMidiOutSendControlChange": ("one SendControlChange through the port to JACK",
                                     ("ratio", "BM_BareRtMidiSendMessage", 1.2)),
    "BM_BareRtMidiSendMessage": ("bare RtMidiOut::sendMessage to the same port", None),
    "BM_KnobDragMove": ("one mouse move over a dragged skin knob", 50_000),
    "BM_KnobDragMoveThroughWindow": ("the same move through the window", 50_000),
    "BM_KnobDragMoveWithValueHint": ("the same move on a named knob, value hint shown", 50_000),
    "BM_KnobWheelNotch": ("one wheel notch over a named knob, value hint shown", 50_000),
    "BM_MixKnobMoveAllTicked": ("one mix-knob move, 24 parameters ticked", 200_000),
    "BM_StartUpToFirstPaint": ("main window made and first painted", 300_000_000),
    "BM_FileWriteStar": ("log: Write(\"*\") to Debug.txt, flushed", None),
    "BM_FileWriteLnInt": ("log: WriteLn of an integer to Debug.txt", None),
    "BM_ParseSerialSettings": ("parse \"COM1:19200,n,8,1\"", None),
    "BM_MonitorWriteStar": ("log: Write(\"*\") to the running monitor", 1_000_000),
    "BM_MonitorWriteStarStopped": ("log: Write(\"*\") to a stopped monitor", 1_000_000),
    "BM_MonitorInvokeRoundTrip": ("a monitor call that waits for its reply", None),
    "BM_SerialWriteStar": ("serial Write(\"*\"), the line read as it comes", None),
    "BM_SerialWriteStarStalled": ("serial Write(\"*\"), the line full and never read",
                                  150_000_000),
    "BM_KeyboardFullPaint": ("on-screen keyboard, full paint of 128 keys", None),
    "BM_KeyboardGlissandoStep": ("keyboard glissando step, two keys redrawn", None),
    "BM_KnobCompose": ("bitmap knob picture composed", None),
    "BM_SaveFullSetToDisk": ("sound set: full set saved to disk, atomically and synced",
                             5_000_000),
    "BM_SaveFullSetInMemory": ("the same save to a memory file system (no disk sync)",
                               5_000_000),
    "BM_OpenFullSet": ("sound set: full set read and checked", 5_000_000),
    "BM_UndoMixDragAllTicked": ("one undo of a mix drag, 24 parameters ticked", 200_000),
    "BM_DinWireThroughTheQueue": ("10 s of mix moves at 1 kHz onto a 3,125 B/s wire, queued "
                                  "(its counters: values differing, last move to final state)",
                                  None),
    "BM_DinWireStraightBaseline": ("the same, sent straight to the wire", None),
    "BM_KnobToWireLatency": ("a wheel notch on a knob to the JACK port (its counters: p50 and p99 "
                             "in ms, against one period)", None),
    "BM_MixMoveGuiThreadCpu": ("one mix-knob move, 24 ticked, the GUI thread's CPU time", None),
    "BM_ClockJackService": ("10 s of clock ticks at 120 BPM timed by the service on JACK (its "
                            "counters: spacing in frames, 1000 nominal)", None),
    "BM_ClockJackGuiTimer": ("the same ticks sent from a precise timer of the event loop", None),
    "BM_ClockAlsaService": ("10 s of clock ticks at 120 BPM from the service on the ALSA "
                            "sequencer: the worker stamps each on the port's queue 10 ms ahead "
                            "(spacing in us)", None),
    "BM_ClockAlsaWorkerTimerAlone": ("the same ticks sent when the worker's timer wakes for each",
                                     None),
    "BM_ClockAlsaSequencerQueue": ("the same ticks scheduled on a sequencer queue", None),
    "BM_ClockAlsaGuiTimer": ("the same ticks from a precise timer of the event loop", None),
    "BM_StartUpToFirstPaintRealBackend": ("main window made and first painted, real MIDI backend",
                                          300_000_000),
}

UNITS = {"ns": 1, "us": 1_000, "ms": 1_000_000, "s": 1_000_000_000}


def pretty(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns


SANDBOX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support",
                       "jack_sandbox.sh")


def run(program):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # The MIDI benchmark starts a JACK server of its own: give it a private /dev/shm too.
    out = subprocess.run([SANDBOX, program, "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                         capture_output=True, text=True, env=env, timeout=900)
    if out.returncode != 0:
        sys.stderr.write("%s failed:\n%s\n" % (program, out.stderr))
        return {}
    medians = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"].split("/")[0]] = b["real_time"] * UNITS[b["time_unit"]]
    return medians


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    folder = os.path.join(build, "bench")
    medians = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name.startswith("bench_") and os.access(path, os.X_OK) and os.path.isfile(path):
            medians.update(run(path))
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    print("Measured on %s, %d cores, %s.\n" % (cpu, os.cpu_count(), platform.platform()))
    print("| benchmark | what | median | target | ratio |")
    print("|---|---|---|---|---|")
    missed = 0
    for name, median in sorted(medians.items()):
        what, target = TARGETS.get(name, ("", None))
        shown_target, ratio = "", ""
        if isinstance(target, tuple):
            base = medians.get(target[1])
            if base:
                ratio = "%.2f x %s" % (median / base, target[1].replace("BM_", ""))
                shown_target = "%.1f x" % target[2]
                missed += median / base > target[2]
        elif target:
            shown_target = pretty(target)
            ratio = "%.3f" % (median / target)
            missed += median > target
        print("| %s | %s | %s | %s | %s |" % (name.replace("BM_", ""), what, pretty(median),
                                              shown_target, ratio))
    print("\n%d target(s) missed." % missed)


if __name__ == "__main__":
    main()
