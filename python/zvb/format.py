"""The bytes of a ZVB file: the two headers, the type word, the value types, and the error."""

from __future__ import annotations

import struct

import numpy as np

ZVB_MAGIC = 0x059F4C75
FILE_HEADER_SIZE = 48
ELEMENT_HEADER_SIZE = 24
NAME_SIZE = 16

# The type word: the value type in the low byte, flags above it.
TYPE_MASK = 0xFF
FLAG_GROUP = 0x100
FLAG_END_GROUP = 0x200
FLAG_SINGLE = 0x400
FLAG_ARRAY = 0x800

TYPE_UNDEF = 0x00
TYPE_ASCII = 0x01
TYPE_S32 = 0x02
TYPE_DOUBLE = 0x03
TYPE_NULL = 0x10
TYPE_U8 = 0x20
TYPE_S8 = 0x30
TYPE_U16 = 0x40
TYPE_S16 = 0x50
TYPE_U32 = 0x60
TYPE_FLOAT = 0x90

# The end-of-group element as zvbtrack writes it: single, end of group, no value.
END_MARKER_TYPE = FLAG_SINGLE | FLAG_END_GROUP | TYPE_NULL

# Value types that hold numbers: the name zvbdump shows and the numpy type of one value
# (without a byte order: a file gives its own).
NUMBER_TYPES: dict[int, tuple[str, str]] = {
    TYPE_S32: ("s32", "i4"),
    TYPE_DOUBLE: ("double", "f8"),
    TYPE_U8: ("u8", "u1"),
    TYPE_S8: ("s8", "i1"),
    TYPE_U16: ("u16", "u2"),
    TYPE_S16: ("s16", "i2"),
    TYPE_U32: ("u32", "u4"),
    TYPE_FLOAT: ("float", "f4"),
}
OTHER_TYPE_NAMES = {TYPE_UNDEF: "undef", TYPE_ASCII: "ascii", TYPE_NULL: "null"}

# The messages zvbtrack ends a run with when it reads a damaged file.
REASON_EOF = "Unexpected end of file"
REASON_MAGIC = "Not a ZV-File"
REASON_VERSION = "Invalid ZVB-version"
REASON_DEPTH = "Groups nested too deeply"

# Groups nested deeper than this are refused, as zvbtrack refuses them.
MAX_GROUP_DEPTH = 1000


class FormatError(ValueError):
    """A file that is not a readable ZVB file.

    `reason` is zvbtrack's word for it ("Unexpected end of file", "Not a ZV-File", "Invalid
    ZVB-version" or "Groups nested too deeply"), `offset` the byte where the damaged structure
    starts (the file header, the header of the element whose data run past the end, or of the
    group that opens one level too many), `path` the file.
    """

    def __init__(self, path: str, offset: int, reason: str, detail: str):
        self.path = path
        self.offset = offset
        self.reason = reason
        super().__init__(f'"{path}": {reason} ({detail})')


def number_dtype(type_word: int, byte_order: str) -> np.dtype | None:
    """The numpy type of one value of the word's value type in `byte_order` ('<', '>' or '='),
    or None when the value type holds no numbers."""
    row = NUMBER_TYPES.get(type_word & TYPE_MASK)
    return None if row is None else np.dtype(byte_order + row[1])


def type_code(dtype: np.dtype) -> int:
    """The value type that stores values of `dtype`; ValueError for a type that has none."""
    key = np.dtype(dtype).newbyteorder("=").str[1:]
    for code, (_, numpy_type) in NUMBER_TYPES.items():
        if np.dtype(numpy_type).str[1:] == key:
            return code
    raise ValueError(f"no ZVB value type stores numpy {np.dtype(dtype)} values")


def value_type_name(type_word: int) -> str:
    """The value type's name as zvbdump shows it ("double", "s32", ...), or its code in hex."""
    code = type_word & TYPE_MASK
    if code in NUMBER_TYPES:
        return NUMBER_TYPES[code][0]
    return OTHER_TYPE_NAMES.get(code, f"0x{code:02x}")


def file_header_struct(byte_order: str) -> struct.Struct:
    # magic, creation time, creator, destination, format, creator and destination versions
    # (major, minor each), two reserved bytes.
    return struct.Struct(byte_order + "II16s16s6B2s")


def element_header_struct(byte_order: str) -> struct.Struct:
    return struct.Struct(byte_order + "16sII")


def name_bytes(name: str) -> bytes:
    """A name for a 16-byte field: at most 15 bytes of UTF-8, then zeros."""
    encoded = name.encode("utf-8", "surrogateescape")
    if len(encoded) >= NAME_SIZE:
        raise ValueError(f'name "{name}" is longer than {NAME_SIZE - 1} bytes')
    return encoded.ljust(NAME_SIZE, b"\0")


def text_from_bytes(raw: bytes) -> str:
    """Names and texts are bytes of no fixed character set: UTF-8 where they are, and every
    other byte kept as an escaped surrogate, so that nothing is lost."""
    return raw.decode("utf-8", "surrogateescape")
