"""The system calls that a traced run made, as strace shows them, and the faults that strike them
(see faults.py)."""

import errno
import os
import re
from dataclasses import dataclass, field

from results import Result

# Which arguments of a traced call name files: a path, a folder's descriptor with a path below
# it, or a descriptor.
_PATHS = {"rename": (0, 1), "link": (0, 1), "symlink": (1,), "unlink": (0,), "mkdir": (0,), "rmdir": (0,),
          "chmod": (0,)}
_AT_PATHS = {"openat": ((0, 1),), "unlinkat": ((0, 1),), "mkdirat": ((0, 1),), "fchmodat": ((0, 1),),
             "statx": ((0, 1),), "newfstatat": ((0, 1),), "renameat": ((0, 1), (2, 3)),
             "renameat2": ((0, 1), (2, 3)), "linkat": ((0, 1), (2, 3)), "symlinkat": ((1, 2),)}
_FD_PATHS = {"write": (0,), "pwrite64": (0,), "fsync": (0,), "fdatasync": (0,), "syncfs": (0,), "fchmod": (0,),
             "ftruncate": (0,), "getdents64": (0,), "copy_file_range": (0, 2)}
_LINE = re.compile(r"^(?:\d+ +)?(\w+)\(")
_DESCRIPTOR = re.compile(r"^(?:-?\d+|AT_FDCWD)<(.*)>(?:\(deleted\))?$", re.S)
KILLED = "+++ killed by SIGKILL +++"


@dataclass(frozen=True)
class Call:
    """A call a run made: where ("launcher" on Linux; "server" or "program" under Wine), its name,
    the host paths it names, its number among the calls of its name in that place (strace's
    when=), and its line in the trace or log."""
    where: str
    name: str
    paths: tuple
    k: int
    text: str = field(default="", compare=False)

    @property
    def path(self):
        return self.paths[0] if self.paths else None


@dataclass(frozen=True)
class Fault:
    """Fails (action "error:EACCES", "error:ENOSPC", "error:EIO"...) or kills ("kill") the `when`-th
    call of that name in that place: K, "K..L" or "K+". With `paths`, only calls that name one of
    them count; for program calls a path may also be the end of a name, such as ".journal"."""
    where: str
    name: str
    when: object
    action: str
    paths: tuple = ()

    def strace_options(self):
        action = "signal=KILL" if self.action == "kill" else self.action.replace(":", "=")
        return ["-e", f"trace={self.name}", "-e", f"inject={self.name}:{action}:when={self.when}"]

    def errno(self):
        """The error the call fails with; 0 for a kill."""
        return 0 if self.action == "kill" else getattr(errno, self.action.partition(":")[2])

    def counts(self, call):
        return call.where == self.where and call.name == self.name and touches(call, self.paths)

    def strikes(self, k):
        first, _, last = str(self.when).partition("..")
        if first.endswith("+"):
            return k >= int(first[:-1])
        return int(first) <= k <= int(last or first)


@dataclass
class Run:
    """A run's result and what the tracing saw: every call (a probe), or the calls the fault struck
    and whether the process it aimed at (under Wine the server, for its calls) died of SIGKILL."""
    result: Result
    calls: list = field(default_factory=list)
    fired: list = field(default_factory=list)
    killed: bool = False


def touches(call, paths):
    """Whether a fault with these paths counts the call (any call, without paths). strace 6.1's -P
    looks at the first path of a rename only; a path not beginning with "/" (program calls only)
    is the end of a name."""
    named = call.paths[:1] if call.name.startswith("rename") else call.paths
    return not paths or any(str(p) in named or (not str(p).startswith("/") and any(q.endswith(str(p)) for q in named))
                            for p in paths)


def fault_at(calls, call, action, count=1, paths=()):
    """The fault that strikes `call` of a probe's `calls` (and the count - 1 calls of its name
    after it that count) in another run of the same case; with `paths`, counted among the calls
    that name one of them only."""
    # The server's own work, its registry saved by relative names, comes at its own times.
    counted = [c for c in calls if c.where == call.where and c.name == call.name and touches(c, paths) and
               (c.where != "server" or any(path.startswith("/") for path in c.paths))]
    k = counted.index(call) + 1
    return Fault(call.where, call.name, k if count == 1 else f"{k}..{k + count - 1}", action, tuple(paths))


def _arguments(text):
    """The top-level arguments of a strace line's call, and what follows its closing parenthesis."""
    start = text.index("(") + 1
    arguments, depth, quoted, named, current, i = [], 0, False, False, start, start
    while i < len(text):
        c = text[i]
        if quoted:
            if c == "\\":
                i += 1
            elif c == '"':
                quoted = False
        elif named:
            named = c != ">"
        elif c == '"':
            quoted = True
        elif c == "<" and text[i - 1] in "0123456789D":
            # The file behind a descriptor (-y), whose name may hold anything.
            named = True
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                arguments.append(text[current:i].strip())
                return arguments, text[i + 1:]
            depth -= 1
        elif c == "," and depth == 0:
            arguments.append(text[current:i].strip())
            current = i + 1
        i += 1
    return arguments, ""


def _string(argument):
    if not argument.startswith('"'):
        return None
    body = argument[1:argument.rindex('"')] if argument.count('"') > 1 else argument[1:]
    raw = body.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")
    return raw.decode("utf-8", "surrogateescape")


def _descriptor(argument):
    found = _DESCRIPTOR.match(argument)
    return found.group(1) if found else None


def _traced_paths(name, arguments):
    def at(folder, path):
        if folder is None or path is None:
            return None
        return folder if path == "" else path if path.startswith("/") else folder + "/" + path

    def argument(i):
        return arguments[i] if i < len(arguments) else ""

    paths = [_string(argument(i)) for i in _PATHS.get(name, ())]
    paths += [at(_descriptor(argument(i)), _string(argument(j))) for i, j in _AT_PATHS.get(name, ())]
    paths += [_descriptor(argument(i)) for i in _FD_PATHS.get(name, ())]
    return tuple(path for path in paths if path)


def read_trace(text, where, host=os.path.normpath):
    """The calls of a strace output (made with -y), numbered per name, and whether the traced
    process died of SIGKILL. Each call's result ends its text: "= ?" for one cut short."""
    calls, numbers = [], {}
    killed = False
    for line in text.splitlines():
        if line.rstrip().endswith(KILLED):
            killed = True
        found = _LINE.match(line)
        if not found:
            continue
        name = found.group(1)
        arguments, _ = _arguments(line)
        numbers[name] = numbers.get(name, 0) + 1
        calls.append(Call(where, name, tuple(host(path) for path in _traced_paths(name, arguments)),
                          numbers[name], line))
    return calls, killed


def _struck(calls, fault, killed):
    """The calls of a faulty run's trace that the fault struck: marked (INJECTED), or, for a kill,
    the call that the process died in, where the fault's count reaches it."""
    if fault.action != "kill":
        return [call for call in calls if call.name == fault.name and call.text.rstrip().endswith("(INJECTED)")]
    counted = [call for call in calls if fault.counts(call)]
    last = counted[-1] if counted else None
    if killed and last is not None and re.search(r"\) += \?$", last.text.rstrip()) and fault.strikes(len(counted)):
        return [Call(last.where, last.name, last.paths, len(counted), last.text)]
    return []
