"""Numbers as zvbdump writes them: integers in decimal; floating-point numbers in the shortest
digits that read back exactly (single-precision values as single precision), in fixed or
scientific notation, whichever is shorter (fixed on a tie), "nan" and "-nan" by the sign."""

from __future__ import annotations

import math

import numpy as np


def _digits(text: str) -> tuple[str, str, int]:
    """The sign, the significant digits and the decimal exponent of the first digit of a
    number's shortest text in either notation."""
    sign = ""
    if text[0] == "-":
        sign, text = "-", text[1:]
    mantissa, _, exponent = text.partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    if not digits:
        return sign, "0", 0
    leading = len(whole + fraction) - len((whole + fraction).lstrip("0"))
    point = len(whole) - leading  # digits before the point
    return sign, digits.rstrip("0") or "0", point - 1 + (int(exponent) if exponent else 0)


def _either(value: float, sign: str, digits: str, exponent: int) -> str:
    if exponent + 1 >= len(digits):
        fixed = str(abs(int(value)))  # a whole number: its exact digits
    elif exponent >= 0:
        fixed = digits[:exponent + 1] + "." + digits[exponent + 1:]
    else:
        fixed = "0." + "0" * (-exponent - 1) + digits
    scientific = (digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
                  + ("e-" if exponent < 0 else "e+") + f"{abs(exponent):02d}")
    return sign + (fixed if len(fixed) <= len(scientific) else scientific)


def float_text(value: float, single: bool = False) -> str:
    """One floating-point value's text (`single`: as a single-precision value)."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    if value == 0:
        return "-0" if math.copysign(1.0, value) < 0 else "0"
    text = (np.format_float_scientific(np.float32(value), unique=True, trim="-") if single
            else repr(value))
    return _either(value, *_digits(text))


def number_texts(values: np.ndarray) -> list[str]:
    """Each number's text, as float_text and str give them, with the common cases in bulk: a
    whole number that the type holds exactly with its neighbours (below 2^24 or 2^53) and
    that has at most four trailing zeros is its digits, and a fraction from 1e-3 up to 1e16 is
    the plain shortest text; only the rest go one by one."""
    if values.dtype.kind in "iub":
        return list(map(str, values.tolist()))
    single = values.dtype.itemsize == 4
    with np.errstate(invalid="ignore"):
        magnitude = np.abs(values)
        whole = np.trunc(values) == values
        digits = whole & (magnitude < (2.0**24 if single else 2.0**53)) & (values % 100000 != 0)
        plain = ~whole & (magnitude >= 1e-3) & (magnitude < 1e16)
    if digits.all():
        return list(map(str, values.astype(np.int64).tolist()))
    texts = values.astype(str).tolist() if single else list(map(float.__repr__, values.tolist()))
    at = np.flatnonzero(digits)
    for index, text in zip(at.tolist(), map(str, values[at].astype(np.int64).tolist())):
        texts[index] = text
    for index in np.flatnonzero(~digits & ~plain).tolist():
        texts[index] = float_text(float(values[index]), single)
    return texts
