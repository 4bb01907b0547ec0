"""Wine's relay trace of the Windows calls a run made, read back as records.

With WINEDEBUG=+pid,+relay and the registry value HKCU\\Software\\Wine\\Debug "RelayInclude"
naming a few functions, Wine writes every call a program makes to one of them, and its result:

    00e4:00e8:Call KERNEL32.CreateFileA(00733868 "Z:\\\\tmp\\\\setup.exe",80000000,...) ret=00401f4b
    00e4:00e8:Ret  KERNEL32.CreateFileA() retval=00000058 ret=00401f4b

(process id : thread id, in hex). That shows what no report of the program's can: the flags of a
message box, each file the launcher opens with its access and sharing, the size of every read
and write, when it closes its own file, and the exact arguments of the engine's start. Wine
shortens long strings in the trace; a string that was cut ends in "...".

Calls made from inside Wine's own kernel32, user32, gdi32 and advapi32 are not traced (Wine's
default RelayFromExclude), so the calls are the program's own.
"""

import dataclasses
import re

# The functions the harness traces in every run.
TRACED = ('user32.MessageBoxA', 'user32.MessageBoxW', 'user32.MessageBoxExA',
          'user32.MessageBoxExW', 'kernel32.CreateFileA', 'kernel32.ReadFile',
          'kernel32.WriteFile', 'kernel32.SetFilePointer', 'kernel32.CloseHandle',
          'kernel32.DeleteFileA', 'kernel32.CreateProcessA', 'shell32.ShellExecuteExA')

_LINE = re.compile(r'^([0-9a-f]{4,8}):([0-9a-f]{4,8}):(Call|Ret ) ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)'
                   r'\((.*)\)(?: retval=([0-9a-f]+))? ret=[0-9a-f]+$')


@dataclasses.dataclass
class Call:
    pid: int
    tid: int
    module: str       # as Wine names it, e.g. 'KERNEL32'
    function: str     # e.g. 'CreateFileA'
    args: list        # int for a number, str for a string argument (its pointer dropped)
    retval: int = None

    def __str__(self):
        args = ', '.join('"%s"' % a if isinstance(a, str) else '%#x' % a for a in self.args)
        result = '' if self.retval is None else ' = %#x' % self.retval
        return '%s(%s)%s' % (self.function, args, result)


def _read_string(text, i, wide):
    """Reads a quoted string starting at text[i] == '"'; returns (string, index after it)."""
    out = bytearray() if not wide else []
    i += 1
    while i < len(text) and text[i] != '"':
        ch = text[i]
        if ch == '\\' and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == 'x':
                digits = 4 if wide else 2
                value = int(text[i + 2:i + 2 + digits], 16)
                i += 2 + digits
            else:
                value = ord({'n': '\n', 'r': '\r', 't': '\t'}.get(nxt, nxt))
                i += 2
        else:
            value = ord(ch)
            i += 1
        if wide:
            out.append(chr(value))
        else:
            out.extend(chr(value).encode('latin-1', 'replace') if value < 256 else b'?')
    i += 1  # the closing quote
    if text.startswith('...', i):
        i += 3
        suffix = '...'
    else:
        suffix = ''
    string = ''.join(out) if wide else bytes(out).decode('cp1252', 'replace')
    return string + suffix, i


def parse_args(text):
    """The argument list of a Call line: numbers, and strings in place of string pointers."""
    args, i = [], 0
    while i < len(text):
        m = re.match(r'([0-9a-fA-F]+)', text[i:])
        value = None
        if m:
            value = int(m.group(1), 16)
            i += len(m.group(1))
            if text.startswith(' L"', i) or text.startswith(' "', i):
                wide = text[i + 1] == 'L'
                value, i = _read_string(text, i + (2 if wide else 1), wide)
        else:  # something this reader does not know: keep the raw text up to the next comma
            end = text.find(',', i)
            end = len(text) if end < 0 else end
            value = text[i:end]
            i = end
        args.append(value)
        if text.startswith(',', i):
            i += 1
    return args


def parse(trace):
    """The traced calls in Wine's output, in order, each with its return value."""
    calls, open_calls = [], {}
    for line in trace.splitlines():
        m = _LINE.match(line)
        if not m:
            continue
        pid, tid = int(m.group(1), 16), int(m.group(2), 16)
        if m.group(3) == 'Call':
            call = Call(pid=pid, tid=tid, module=m.group(4), function=m.group(5),
                        args=parse_args(m.group(6)))
            calls.append(call)
            open_calls[tid] = call
        else:
            call = open_calls.pop(tid, None)
            if call is not None and call.function == m.group(5) and m.group(7):
                call.retval = int(m.group(7), 16)
    return calls
