"""Which trajectories, columns and samples a reader is asked for: identifiers compared as the
doubles zvbtrack gives them, and a window of the loop variable, as zvbtrack's -i and -w take
them."""

from __future__ import annotations

import builtins
import math
import re
from dataclasses import dataclass
from typing import Iterable, Union

import numpy as np

# A number as a list or a window gives it: decimal, with an exponent, or nan and inf.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|nan|inf|infinity)",
                     re.IGNORECASE)

Ids = Union[None, str, float, int, Iterable[Union[float, int]]]
WindowArgument = Union[None, str, tuple[Union[float, None], Union[float, None]]]


def _number(text: str, what: str, whole: str) -> float:
    if not _NUMBER.fullmatch(text):
        raise ValueError(f'invalid {what} "{whole}": "{text}" is not a number')
    return float(text)


def _range(text: str, what: str, whole: str) -> tuple[float | None, float | None]:
    low, high = text.split("..", 1)
    low_value = _number(low, what, whole) if low else None
    high_value = _number(high, what, whole) if high else None
    if low_value is not None and high_value is not None and low_value > high_value:
        raise ValueError(f'invalid {what} "{whole}": {low} is above {high}')
    if (low_value is not None and math.isnan(low_value)) or (
            high_value is not None and math.isnan(high_value)):
        raise ValueError(f'invalid {what} "{whole}": a range cannot end in nan')
    return low_value, high_value


@dataclass
class IdSet:
    """Identifiers as numbers and inclusive ranges (an end None: open). 0.0 and -0.0 are the
    same identifier, and NaN matches NaN."""

    values: np.ndarray  # sorted, without NaN
    nan: bool
    ranges: list[tuple[float | None, float | None]]

    def matches(self, identifiers: np.ndarray) -> np.ndarray:
        """Which of the identifiers (as doubles) are in the set."""
        identifiers = np.asarray(identifiers, np.float64)
        if len(self.values):
            at = np.minimum(np.searchsorted(self.values, identifiers), len(self.values) - 1)
            found = self.values[at] == identifiers  # 0.0 == -0.0; NaN equals nothing here
        else:
            found = np.zeros(len(identifiers), bool)
        if self.nan:
            found |= np.isnan(identifiers)
        for low, high in self.ranges:
            inside = np.ones(len(identifiers), bool) if low is None else identifiers >= low
            if high is not None:
                inside &= identifiers <= high
            found |= inside
        return found

    def exact(self) -> list[float]:
        """The identifiers named one by one (not by a range), NaN included."""
        return self.values.tolist() + ([math.nan] if self.nan else [])


def parse_ids(text: str) -> IdSet:
    """An identifier list as zvbtrack's -i takes it: numbers and ranges a..b (either end may
    be left out) separated by commas, or @FILE with such items separated by commas, blanks or
    new lines."""
    whole = text
    if text.startswith("@"):
        try:
            with builtins.open(text[1:], encoding="utf-8", errors="surrogateescape") as stream:
                text = stream.read()
        except OSError as error:
            raise ValueError(f'cannot read the identifier list "{whole[1:]}": '
                             f"{error.strerror}") from None
        items = [item for item in re.split(r"[,\s]+", text) if item]
    else:
        items = text.split(",")
    values: list[float] = []
    ranges: list[tuple[float | None, float | None]] = []
    nan = False
    for item in items:
        if ".." in item:
            ranges.append(_range(item, "identifier list", whole))
            continue
        value = _number(item, "identifier list", whole)
        if math.isnan(value):
            nan = True
        else:
            values.append(value)
    return IdSet(np.unique(np.array(values, np.float64)), nan, ranges)


def id_set(ids: Ids) -> IdSet | None:
    """The identifiers a reader is asked for: None for all, a list as -i takes it (a str), one
    number, or numbers."""
    if ids is None:
        return None
    if isinstance(ids, str):
        return parse_ids(ids)
    if isinstance(ids, (int, float, np.number)):
        ids = [ids]
    values = np.array(list(ids), np.float64).reshape(-1)
    nan = bool(np.isnan(values).any())
    return IdSet(np.unique(values[~np.isnan(values)]), nan, [])


@dataclass
class Window:
    """Samples whose loop-variable value v has low <= v <= high; an end None is open."""

    low: float | None
    high: float | None

    def keeps(self, values: np.ndarray) -> np.ndarray:
        if self.low is None and self.high is None:
            return np.ones(len(values), bool)
        kept = values >= self.low if self.low is not None else values <= self.high
        if self.low is not None and self.high is not None:
            kept &= values <= self.high
        return kept


def window_of(window: WindowArgument) -> Window | None:
    """A window of the loop variable: None for all samples, LO..HI as -w takes it (a str), or
    (low, high) with None for an open end."""
    if window is None:
        return None
    if isinstance(window, str):
        if ".." not in window:
            raise ValueError(f'invalid window "{window}": give LO..HI, either end may be left '
                             "out")
        return Window(*_range(window, "window", window))
    low, high = window
    low = None if low is None else float(low)
    high = None if high is None else float(high)
    if (low is not None and math.isnan(low)) or (high is not None and math.isnan(high)):
        raise ValueError("a window cannot end in nan")
    if low is not None and high is not None and low > high:
        raise ValueError(f"window ({low}, {high}): its low end is above its high end")
    return Window(low, high)


def column_list(columns: str | Iterable[str] | None) -> list[str] | None:
    """Column names: a comma-separated str, or names."""
    if columns is None:
        return None
    if isinstance(columns, str):
        return [name for name in columns.split(",") if name]
    return list(columns)


@dataclass
class Selection:
    """What a reader reads: trajectories by identifier, columns by name, samples by window."""

    ids: IdSet | None = None
    columns: list[str] | None = None
    window: Window | None = None


def selection(ids: Ids = None, columns: str | Iterable[str] | None = None,
              window: WindowArgument = None) -> Selection:
    return Selection(id_set(ids), column_list(columns), window_of(window))


__all__ = ["IdSet", "Selection", "Window", "id_set", "parse_ids", "selection", "window_of"]
