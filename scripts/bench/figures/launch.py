"""launch: the Launcher with no pending update against minimal_start, which only starts the same
Lobby detached; each from its start to the Lobby's start (what the player waits for), and to its
own exit beside it."""

import os
import shutil
import statistics
import time

import timing
from rounds import Result
from trees import copy_executables


def ms(ns):
    return ns / 1e6


def measure(args):
    install = os.path.join(args.scratch, "launch")
    copy_executables(args.bin, install, ["launcher", "Lobby.exe", "minimal_start"])
    lobby = os.path.join(install, "Lobby.exe")
    record = os.path.join(install, "lobby-runs.jsonl")
    commands = {"launcher": [os.path.join(install, "launcher")],
                "minimal_start": [os.path.join(install, "minimal_start"), lobby]}
    stamp = timing.lobby_stamp_path()
    env = dict(os.environ, LOBBY_START_STAMP=stamp)

    devnull = os.open(os.devnull, os.O_RDWR)
    actions = [(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
               (os.POSIX_SPAWN_DUP2, devnull, 2)]
    scheduler = timing.see_exits_at_once()
    spawn_options = {"scheduler": scheduler} if scheduler else {}
    to_lobby = {name: [] for name in commands}
    to_exit = {name: [] for name in commands}
    failures = {name: 0 for name in commands}
    missing_lobbies = missing_stamps = 0
    warmup, runs = 10, args.launch_runs
    previous = os.getcwd()
    # The Launcher writes its timing log into the current folder: keep it inside the install.
    os.chdir(install)
    try:
        for i in range(warmup + runs):
            order = ("launcher", "minimal_start") if i % 2 == 0 else ("minimal_start", "launcher")
            for name in order:
                argv = commands[name]
                start = time.monotonic_ns()
                pid = os.posix_spawn(argv[0], argv, env, file_actions=actions, **spawn_options)
                _, wait_status = os.waitpid(pid, 0)
                end = time.monotonic_ns()
                if os.waitstatus_to_exitcode(wait_status) != 0:
                    failures[name] += 1
                missing_lobbies += 1 - timing.reap_lobbies(1)
                started = timing.take_stamp(stamp)
                if started is None:
                    missing_stamps += 1
                elif i >= warmup:
                    to_lobby[name].append(started - start)
                    to_exit[name].append(end - start)
    finally:
        if scheduler:
            os.sched_setscheduler(0, *scheduler)
        os.chdir(previous)
        os.close(devnull)

    with open(record) as f:
        recorded = sum(1 for _ in f)
    expected = 2 * (warmup + runs)
    shutil.rmtree(install, ignore_errors=True)
    print(f"launch: {runs} runs each, alternating, after {warmup} unmeasured"
          + ("" if scheduler else "; no real-time priority here, so Lobby start-ups may blur the figures"))
    medians = {}
    for name in commands:
        medians[name] = statistics.median(to_lobby[name]), statistics.median(to_exit[name])
        print(f"  {name:14s} to the Lobby's start: median {ms(medians[name][0]):7.3f} ms, mean "
              f"{ms(statistics.fmean(to_lobby[name])):7.3f} ms;   to its exit: median {ms(medians[name][1]):7.3f} ms")
    ratio = medians["launcher"][0] / medians["minimal_start"][0]
    exits = medians["launcher"][1] / medians["minimal_start"][1]
    print(f"  launcher/minimal_start (medians): to the Lobby's start {ratio:.2f}, to the exit {exits:.2f}")
    if any(failures.values()) or recorded != expected or missing_lobbies or missing_stamps:
        print(f"  warning: failed exits {failures}, Lobby starts recorded {recorded} of {expected}, "
              f"Lobbies not seen ending {missing_lobbies}, starts not stamped {missing_stamps}")
    return {"": Result(ratio, f"medians {ms(medians['launcher'][0]):.2f}/{ms(medians['minimal_start'][0]):.2f} ms; "
                              f"to their exits {exits:.2f}")}
