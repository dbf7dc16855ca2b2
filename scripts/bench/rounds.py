"""What the figures share: the ratios of rounds run back to back, the check of what an
installation left, the race of the Launcher against minimal_copier, and what a figure hands to
the summary."""

import filecmp
import os
import statistics
from collections import namedtuple

import timing

# value: what the goal is checked against (None: nothing to check); text: what the summary shows.
Result = namedtuple("Result", "value text")


class NotMeasured(Exception):
    """A figure that this machine cannot measure, with the reason."""


class Ratios:
    """Each round's own ratio: the two sides ran back to back, so load that comes and goes between
    rounds falls on both; the median of them is the figure, their spread says how far to trust it."""

    def __init__(self, over, under):
        self.values = [a / b for a, b in zip(over, under, strict=True)]
        self.median = statistics.median(self.values)

    def __str__(self):
        ordered = sorted(self.values)
        if len(ordered) < 4:
            spread = "rounds " + ", ".join(f"{value:.2f}" for value in ordered)
        else:
            low, _, high = statistics.quantiles(ordered, n=4, method="inclusive")
            spread = f"quartiles {low:.2f}-{high:.2f}, range {ordered[0]:.2f}-{ordered[-1]:.2f}"
        return f"{self.median:.2f} (median of {len(ordered)} rounds' ratios; {spread})"


def check_contents(install, update, plan):
    """Raises unless every file of the update stands in `install` with the update's contents."""
    for relative, _ in plan:
        if not filecmp.cmp(os.path.join(update, relative), os.path.join(install, relative), shallow=False):
            raise RuntimeError(f"{install}: {relative} is not the update's")


def copy_race(bin_dir, rounds, plan, master_update, prepare, finish, baseline, cp_flag):
    """Rounds of the Launcher and minimal_copier back to back, who goes first alternating, and the
    `cp` baseline after them, after one unmeasured round that warms caches and allocations up (with
    runs this short, the first would stand out).

    prepare(round_index, name) makes a fresh install with its update (a copy of master_update,
    which has `plan`) and returns (target, update, cp source); finish(name, target, update) follows
    each timed run and its check. Returns the runs by name: LauncherRun, CopierRun, or seconds of
    cp and sync."""
    runs = {"launcher": [], "minimal_copier": [], baseline: []}
    for round_index in range(-1, rounds):
        pair = ["launcher", "minimal_copier"] if round_index % 2 == 0 else ["minimal_copier", "launcher"]
        for name in pair + [baseline]:
            target, update, cp_source = prepare(round_index, name)
            if name == "launcher":
                result = timing.time_launcher(target, len(plan))
                detail = (f"to the Lobby's start {result.to_lobby:7.3f} s, to its exit {result.to_exit:7.3f} s"
                          f"   ({timing.stretches_text(result)})")
            elif name == "minimal_copier":
                result = timing.time_minimal_copier(bin_dir, update, target)
                detail = f"to on disk {result.to_disk:13.3f} s, to its exit {result.to_exit:7.3f} s"
            else:
                copied, synced = timing.time_cp(cp_source, target, cp_flag)
                result = copied + synced
                detail = f"{result:7.3f} s   (of which sync {synced:.3f})"
            if name != baseline:
                check_contents(target, master_update, plan)
            finish(name, target, update)
            label = "unmeasured" if round_index < 0 else f"round {round_index + 1}"
            print(f"  {label}: {name:14s} {detail}")
            if round_index >= 0:
                runs[name].append(result)
    return runs


def copy_result(runs, baseline):
    """The race's figure: the Launcher to the Lobby's start over minimal_copier to on disk, round
    by round; their exits and the baseline beside it."""
    launcher, minimal = runs["launcher"], runs["minimal_copier"]
    ratios = Ratios([r.to_lobby for r in launcher], [r.to_disk for r in minimal])
    exits = Ratios([r.to_exit for r in launcher], [r.to_exit for r in minimal])
    medians = {name: statistics.median(values) for name, values in (
        ("launcher", [r.to_lobby for r in launcher]), ("launcher exit", [r.to_exit for r in launcher]),
        ("minimal", [r.to_disk for r in minimal]), ("minimal exit", [r.to_exit for r in minimal]),
        ("baseline", runs[baseline]))}
    print(f"  launcher to the Lobby's start / minimal_copier to on disk: {ratios}")
    print(f"  each to its exit: {exits.median:.2f}")
    print(f"  medians: launcher {medians['launcher']:.3f} s (exit {medians['launcher exit']:.3f} s), "
          f"minimal_copier {medians['minimal']:.3f} s (exit {medians['minimal exit']:.3f} s), "
          f"{baseline} {medians['baseline']:.3f} s")
    return Result(ratios.median, f"{ratios}; medians {medians['launcher']:.3f}/{medians['minimal']:.3f} s; "
                                 f"to their exits {exits.median:.2f}; {baseline} {medians['baseline']:.3f} s")
