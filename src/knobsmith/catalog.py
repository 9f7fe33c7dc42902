"""gettext message catalogs: the .po source read, the .mo written and read.

The build runs this file as a script (python catalog.py SOURCE.po TARGET.mo) with nothing but the
standard library, so that an install needs no gettext tools.
"""

from __future__ import annotations

import struct
import sys

_MAGIC = 0x950412DE


def read_po(path: str) -> dict[str, str]:
    """The translated entries of a .po file (msgid to msgstr; the header and empty ones left out)."""
    entries: dict[str, str] = {}
    current: dict[str, str] = {}
    field = ""

    def finish() -> None:
        if current.get("msgid") and current.get("msgstr"):
            entries[current["msgid"]] = current["msgstr"]
        current.clear()

    with open(path, encoding="utf-8") as stream:
        for number, raw in enumerate(stream, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            keyword, _, rest = line.partition(" ")
            if keyword in ("msgid", "msgstr"):
                if keyword == "msgid":
                    finish()
                field, line = keyword, rest
                current[field] = ""
            if not (line.startswith('"') and line.endswith('"')) or not field:
                raise ValueError(f"{path} line {number}: not a .po line: {raw.rstrip()}")
            current[field] += _string(line)
    finish()
    return entries


def _string(quoted: str) -> str:
    """A .po line's string: most hold no escape and no quote, and are taken as they are (parsing
    every line as Python costs a command's start-up more than the rest of its messages)."""
    inner = quoted[1:-1]
    if "\\" in inner or '"' in inner or "\0" in inner or len(quoted) < 2:
        import ast

        return str(ast.literal_eval(quoted))
    return inner


def write_mo(entries: dict[str, str], path: str) -> None:
    """Writes `entries` as a GNU .mo file (UTF-8, no hash table)."""
    header = {"": "Content-Type: text/plain; charset=UTF-8\n"}
    keys = sorted({**header, **entries})
    table = {**header, **entries}
    ids = [key.encode() for key in keys]
    strs = [table[key].encode() for key in keys]
    start = 7 * 4 + 16 * len(keys)
    offsets = []
    data = b""
    for text in ids + strs:
        offsets.append((len(text), start + len(data)))
        data += text + b"\0"
    with open(path, "wb") as stream:
        stream.write(struct.pack("<7I", _MAGIC, 0, len(keys), 28, 28 + 8 * len(keys), 0, 0))
        for length, offset in offsets:
            stream.write(struct.pack("<2I", length, offset))
        stream.write(data)


def read_mo(path: str) -> dict[str, str]:
    """The entries of a .mo file (the header left out)."""
    with open(path, "rb") as stream:
        data = stream.read()
    magic, _, count, ids_at, strs_at = struct.unpack("<5I", data[:20])
    if magic != _MAGIC:
        raise ValueError(f"{path} is not a little-endian .mo file")
    entries = {}
    for index in range(count):
        id_length, id_offset = struct.unpack("<2I", data[ids_at + 8 * index:ids_at + 8 * index + 8])
        str_length, str_offset = struct.unpack("<2I", data[strs_at + 8 * index:strs_at + 8 * index + 8])
        key = data[id_offset:id_offset + id_length].decode()
        if key:
            entries[key] = data[str_offset:str_offset + str_length].decode()
    return entries


if __name__ == "__main__":
    write_mo(read_po(sys.argv[1]), sys.argv[2])
