"""What a trajectory group holds, derived once per shape of item: its blocks (each group in it
whose arrays of numbers make rows of the long table), the copies of enclosing groups on the way
to each, and where each column's values come from."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .format import FLAG_GROUP, NUMBER_TYPES, TYPE_MASK, number_dtype
from .scan import Run, Template, array_width


@dataclass
class BlockShape:
    """The arrays directly in one group of a trajectory: rows of the long table that share the
    identifier and the copies' values. `arrays` maps each name to the element that gives its
    values (the last of that name), in the order the names first appear; the loop variable is
    the last name, which zvbtrack appends after the requested arrays."""

    group: int  # the group's element within the item
    copies: list[int]  # the groups from the trajectory group (excluded) down to `group`
    arrays: dict[str, int]
    loop_variable: str
    signature: tuple  # identifier name, copy names, loop variable, array names

    def source(self, shape: ItemShape, name: str) -> tuple[str, int] | None:
        """Where a column's values come from in this block: ("array", element),
        ("group", element) for a copy's or the identifier's value, or None."""
        if name in self.arrays:
            return "array", self.arrays[name]
        for copy in reversed(self.copies):
            if shape.names[copy] == name:
                return "group", copy
        if shape.names[0] == name:
            return "group", 0
        return None


class ItemShape:
    """A template seen as a trajectory: its blocks in the order of the long table's rows (the
    group's own arrays, then its groups in file order, depth first), and the values of its
    elements as numbers."""

    def __init__(self, template: Template, byte_order: str):
        self.template = template
        self.names = template.names
        types = template.type.tolist()
        self.types = types
        self.is_trajectory = bool(types[0] & FLAG_GROUP)
        self.dtypes: list[np.dtype | None] = [number_dtype(t, byte_order) for t in types]
        self.widths = [array_width(t) for t in types]
        fixed = template.fixed.tolist()
        family = template.family.tolist()
        self.family = family
        # A group's value is a number when its type is a number type and it holds one: its
        # first, as zvbdump's long table takes it, whatever its shape flags say.
        self.group_number = [
            bool(t & FLAG_GROUP) and (t & TYPE_MASK) in NUMBER_TYPES
            and self.dtypes[e] is not None and fixed[e] >= self.dtypes[e].itemsize
            for e, t in enumerate(types)]
        self.fixed_counts = [fixed[e] // self.widths[e] if self.widths[e] and family[e] < 0
                             else 0 for e in range(len(types))]
        self.blocks: list[BlockShape] = []
        if self.is_trajectory:
            self._find_blocks()

    def _find_blocks(self) -> None:
        children = self.template.members()
        identifier = self.names[0]
        pending: list[tuple[int, list[int]]] = [(0, [])]  # no recursion: any nesting
        while pending:
            group, copies = pending.pop()
            arrays: dict[str, int] = {}
            inner = []
            for child in children[group]:
                if self.types[child] & FLAG_GROUP:
                    inner.append(child)
                elif self.widths[child]:
                    arrays[self.names[child]] = child
            if arrays:
                names = tuple(arrays)
                signature = (identifier, tuple(self.names[c] for c in copies), names[-1], names)
                self.blocks.append(BlockShape(group, copies, arrays, names[-1], signature))
            for child in reversed(inner):
                pending.append((child, copies + [child]))

    def value_counts(self, run: Run, element: int) -> np.ndarray:
        """How many values the array `element` holds in each item of the run."""
        family = self.family[element]
        if family >= 0:
            return run.counts[:, family]
        return np.full(len(run), self.fixed_counts[element], np.int64)

    def rows(self, run: Run, block: BlockShape) -> np.ndarray:
        """The rows of a block in each item: the length of its longest array."""
        rows = np.zeros(len(run), np.int64)
        for element in block.arrays.values():
            np.maximum(rows, self.value_counts(run, element), out=rows)
        return rows


def item_shape(template: Template, byte_order: str) -> ItemShape:
    """The template's ItemShape, made once."""
    found = template.cache.get("item shape")
    if found is None:
        found = template.cache["item shape"] = ItemShape(template, byte_order)
    return found  # type: ignore[return-value]


__all__ = ["BlockShape", "ItemShape", "item_shape"]
