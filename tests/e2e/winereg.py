"""Edits of Wine's registry files (system.reg, user.reg) while no wineserver runs on the prefix.

Setting a value through `wine reg add` starts a Wine process and takes about half a second; a
case of the Windows version gate needs several values, and the suite has many cases. The files
are plain text that wineserver reads when it starts, so the harness writes them directly, with
the server stopped, and gets the same registry in milliseconds.

The format, as wineserver writes and reads it:
    [Software\\Wine\\Drivers] 1733886614        key, relative to the file's root; then a time
    #time=1db4b6d7c8f2a1e                       optional
    "Graphics"="null"                           string value
    "CSDVersion"=dword:00000300                 DWORD value
    "Data"=hex:00,01,\\                          other types; long ones continue on the next line
      02
    @="default"                                 the key's default value
In names and strings a backslash escapes the next character, \\xNNNN is a UTF-16 unit and \\ooo
an octal one.
"""

import re
import time

_C_ESCAPES = {'a': '\a', 'b': '\b', 't': '\t', 'n': '\n', 'v': '\v', 'f': '\f', 'r': '\r',
              'e': '\x1b'}


def escape(text, specials):
    """Text as wineserver writes it, with the given characters (and the backslash) escaped."""
    out = []
    for unit in _utf16_units(text):
        ch = chr(unit)
        if unit > 127:
            out.append('\\x%04x' % unit)
        elif unit < 32:
            out.append('\\%03o' % unit)
        elif ch == '\\' or ch in specials:
            out.append('\\' + ch)
        else:
            out.append(ch)
    return ''.join(out)


def _utf16_units(text):
    data = text.encode('utf-16-le', 'surrogatepass')
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


def unescape(text, end):
    """Reads an escaped string up to the unescaped character `end`; returns (string, index
    after `end`), or (None, len) when `end` never comes."""
    units, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == end:
            return bytes(b for u in units for b in (u & 255, u >> 8)).decode(
                'utf-16-le', 'surrogatepass'), i + 1
        if ch == '\\' and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == 'x':
                m = re.match(r'[0-9a-fA-F]{1,4}', text[i + 2:])
                if m:
                    units.append(int(m.group(0), 16))
                    i += 2 + len(m.group(0))
                    continue
            m = re.match(r'[0-7]{1,3}', text[i + 1:])
            if m:
                units.append(int(m.group(0), 8))
                i += 1 + len(m.group(0))
                continue
            units.append(ord(_C_ESCAPES.get(nxt, nxt)))
            i += 2
            continue
        units.extend(_utf16_units(ch))
        i += 1
    return None, len(text)


def format_value(name, value):
    """One value line: a str becomes a string value, an int a DWORD."""
    head = '@' if name is None else '"%s"' % escape(name, '"')
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError('registry value must be str or int, not %r' % (value,))
    if isinstance(value, int):
        return '%s=dword:%08x' % (head, value & 0xFFFFFFFF)
    return '%s="%s"' % (head, escape(value, '"'))


_PLAIN_HEADER = re.compile(r'\[((?:[^\\\]]|\\\\)*)\]')


def _key_name(header):
    """The key name of a section header line, or None."""
    m = _PLAIN_HEADER.match(header)
    if m:  # the usual case, only doubled backslashes: read without the slow path
        return m.group(1).replace('\\\\', '\\')
    name, _ = unescape(header[1:], ']')
    return name


def parse_value(raw):
    """A value's text after '=' as str (string) or int (DWORD); None for other types."""
    if raw.startswith('"'):
        text, after = unescape(raw[1:], '"')
        return text if text is not None and after == len(raw) - 1 else None
    m = re.fullmatch(r'dword:([0-9a-fA-F]{8})', raw)
    return int(m.group(1), 16) if m else None


def regedit_value(name, value):
    """One value line of a regedit import file: str, int (DWORD) or None (delete)."""
    head = '@' if name is None else '"%s"' % name.replace('\\', '\\\\').replace('"', '\\"')
    if value is None:
        return head + '=-'
    if isinstance(value, int):
        return '%s=dword:%08x' % (head, value & 0xFFFFFFFF)
    return '%s="%s"' % (head, value.replace('\\', '\\\\').replace('"', '\\"'))


class RegFile:
    """One registry file as sections of lines; edits keep every other line as it was.

    A 64-bit prefix's system.reg has some 15000 keys: the sections are indexed by name once."""

    def __init__(self, path):
        self.path = path
        with open(path, encoding='utf-8', newline='\n') as f:
            lines = f.read().split('\n')
        self.head = []       # lines before the first key
        self.sections = []   # [header line, value lines...] per key
        self.index = {}      # lower-case key name -> section
        for line in lines:
            if line.startswith('['):
                section = [line]
                self.sections.append(section)
                name = _key_name(line)
                if name is not None:
                    self.index.setdefault(name.lower(), section)
            elif self.sections:
                self.sections[-1].append(line)
            else:
                self.head.append(line)

    def save(self):
        lines = self.head + [line for section in self.sections for line in section]
        with open(self.path, 'w', encoding='utf-8', newline='\n') as f:
            f.write('\n'.join(lines))

    def _section(self, key):
        return self.index.get(key.strip('\\').lower())

    @staticmethod
    def _value_span(section, name):
        """(first line, end line) of a value inside a section, or None."""
        want = None if name is None else name.lower()
        i = 1
        while i < len(section):
            line = section[i]
            nxt = i + 1
            while section[nxt - 1].endswith('\\') and nxt < len(section):
                nxt += 1  # continuation lines of a long value
            if line.startswith('@=') and want is None:
                return i, nxt
            if line.startswith('"') and want is not None:
                got, _ = unescape(line[1:], '"')
                if got is not None and got.lower() == want:
                    return i, nxt
            i = nxt
        return None

    def get(self, key, name):
        """The raw text of a value after its '=', or None."""
        section = self._section(key)
        found = section and self._value_span(section, name)
        if not found:
            return None
        text = '\n'.join(section[found[0]:found[1]])
        if text.startswith('@='):
            return text[2:]
        _, after = unescape(text[1:], '"')
        return text[1 + after:].lstrip('=')

    def set(self, key, name, value):
        """Sets a value (name None: the default value), making the key when it is missing."""
        line = format_value(name, value)
        section = self._section(key)
        if section is None:
            if self.sections and self.sections[-1][-1] != '':
                self.sections[-1].append('')
            section = ['[%s] %d' % (escape(key.strip('\\'), '[]'), int(time.time())), line, '']
            self.sections.append(section)
            self.index[key.strip('\\').lower()] = section
            return
        found = self._value_span(section, name)
        if found:
            section[found[0]:found[1]] = [line]
        else:
            at = 1
            while at < len(section) and section[at].startswith('#'):
                at += 1
            section.insert(at, line)

    def delete(self, key, name):
        """Deletes a value; nothing happens when it is missing."""
        section = self._section(key)
        found = section and self._value_span(section, name)
        if found:
            del section[found[0]:found[1]]
