"""What a finished launcher run left: its exit code, its lines and the messages it showed, read
from its output, and what the traces of its calls tell."""

import re
from dataclasses import dataclass, field

from harness import ERROR_STYLE, WINDOWS, from_eight_bit

_RELAY_CALL = re.compile(r'Call (?:user32|KERNEL32|kernel32|kernelbase|KERNELBASE)\.(\w+)\((.*)\) ret=')


def _unescape_wine(text):
    """Reads one string argument of a relay trace line (Wine's debugstr_w escaping)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}
            if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
            out.append(simple.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def _string_arguments(arguments):
    return [_unescape_wine(m) for m in re.findall(r'L"((?:[^"\\]|\\.)*)"', arguments)]


def _plain_arguments(arguments):
    """The arguments of a relay trace line as hexadecimal values, the strings shown after
    pointers left out."""
    return [int(value, 16) for value in re.sub(r' ?L"(?:[^"\\]|\\.)*"(?:\.\.\.)?', "", arguments).split(",")]


@dataclass
class Message:
    text: str
    caption: str = "Zintu Launcher"
    style: int = ERROR_STYLE
    # Wine's trace shows at most 300 characters of a text: the rest of a longer one is not seen.
    cut: bool = False


@dataclass
class Result:
    code: int
    stdout: bytes
    stderr: bytes
    messages: list = field(default_factory=list)
    terminations: list = field(default_factory=list)
    created: list = field(default_factory=list)
    # Per CreateProcessW call, in order: whether the new process was to inherit handles.
    inheriting: list = field(default_factory=list)

    @property
    def lines(self):
        """Diagnostic lines as bytes, each without its line ending."""
        return [line.rstrip(b"\r") for line in self.stdout.split(b"\n")][:-1] if self.stdout else []

    @property
    def text_lines(self):
        return [line.decode("utf-8", errors="replace") for line in self.lines]

    @property
    def message_texts(self):
        return [m.text for m in self.messages]


def _parse_linux_messages(stderr):
    text = stderr.decode("utf-8", errors="replace")
    parts = re.split(r"(?:^|\n)Zintu Launcher: ", text)
    return [Message(part[:-1] if part.endswith("\n") else part) for part in parts[1:]]


def _parse_wine_trace(stderr):
    messages, terminations, created, inheriting = [], [], [], []
    for line in stderr.decode("utf-8", errors="replace").splitlines():
        m = _RELAY_CALL.search(line)
        if not m:
            continue
        name, arguments = m.groups()
        if name == "MessageBoxW":
            strings = _string_arguments(arguments)
            style = int(arguments.rsplit(",", 1)[1], 16)
            cut = bool(re.match(r'\w+ L"(?:[^"\\]|\\.)*"\.\.\.', arguments.split(",", 1)[1]))
            messages.append(Message(strings[0], strings[1], style, cut))
        elif name == "TerminateProcess":
            terminations.append(int(arguments.rsplit(",", 1)[1], 16))
        elif name == "CreateProcessW":
            created.append(_string_arguments(arguments))
            inheriting.append(_plain_arguments(arguments)[4] != 0)
    return messages, terminations, created, inheriting


def read_result(code, stdout, stderr):
    """What a finished run left: its exit code, its lines and the messages it showed."""
    result = Result(code, stdout, stderr)
    if WINDOWS:
        result.messages, result.terminations, result.created, result.inheriting = _parse_wine_trace(stderr)
    else:
        result.messages = _parse_linux_messages(stderr)
    return result


_STRACE_CALL = re.compile(r'^(?:\d+ +)?(syncfs|fsync|fdatasync|write)\(\d+<(.*?)>(?:, "(.*?)")?.*\) += (-?\d+)$')
_WINE_LINE = re.compile(r'^(\w+):(?:trace:file:(CreateFileW|WriteFile) (.*)|(Call|Ret)  ?KERNEL32\.FlushFileBuffers\((.*?)\)'
                        r'(?: retval=([0-9a-f]+))?)')


def flushes_and_writes(trace):
    """The flushes and writes that a traced run made, in order, as (call, path, outcome): ("flush",
    path, succeeded) for a file or folder, ("flush volume", path, succeeded), ("write", path, text
    written or its length). `trace` is strace's output (strace -f -y -e trace=write,syncfs,fsync)
    on Linux, or the run's standard error under Wine with WINEDEBUG=+file and the relay trace."""
    events = []
    if not WINDOWS:
        for line in trace.splitlines():
            m = _STRACE_CALL.match(line)
            if not m:
                continue
            call, path, text, ret = m.groups()
            if call == "write":
                events.append(("write", path, text))
            else:
                events.append(("flush volume" if call == "syncfs" else "flush", path, ret == "0"))
        return events
    opening, handles, flushing = {}, {}, {}
    for line in trace.splitlines():
        m = _WINE_LINE.match(line)
        if not m:
            continue
        thread, file_call, arguments, relay, handle, retval = m.groups()
        if file_call == "CreateFileW" and arguments.startswith("returning "):
            handles[int(arguments.split()[1], 16) & 0xFFFFFFFF] = opening.pop(thread, None)
        elif file_call == "CreateFileW":
            # As the user knows the path, not in the form that works at any length.
            opening[thread] = re.sub(r"^\\\\\?\\(?=[A-Za-z]:)", "", _string_arguments(arguments)[0])
        elif file_call == "WriteFile":
            handle, _, length = arguments.split()[:3]
            events.append(("write", handles.get(int(handle, 16)), int(length)))
        elif relay == "Call":
            flushing[thread] = handles.get(int(handle, 16))
        elif relay == "Ret":
            path = flushing.pop(thread, None)
            volume = path is not None and path.startswith(("\\\\?\\Volume", "\\\\.\\"))
            events.append(("flush volume" if volume else "flush", path, int(retval, 16) != 0))
    return events


_TRACED_STRING = re.compile(r'L"((?:[^"\\]|\\.)*)"(\.\.\.)?')


def long_traced_paths(trace):
    """The paths of 260 characters or more that the Win32 file calls of a run received, from its
    standard error under WINEDEBUG=+file: those that begin with a drive or with two backslashes
    (Wine shows at most 300 characters of a string, cut short with "..."; its own NT names and the
    names it resolves below a drive are left out)."""
    paths = []
    for line in trace.splitlines():
        if ":trace:file:" not in line:
            continue
        for text, cut in _TRACED_STRING.findall(line):
            text = _unescape_wine(text)
            if (cut or len(text) >= 260) and re.match(r"[A-Za-z]:\\|\\\\", text):
                paths.append(text)
    return paths


def rollback_named(copying):
    """The rollback folder that a "copying" line names."""
    found = re.search(rb" using as rollback (.*[\\/]zintu_rollback[\\/][0-9a-f]{8})[\\/]", copying)
    return from_eight_bit(found.group(1))
