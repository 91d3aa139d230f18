"""Artifacts: what investigators read in hives, decoded into typed rows. Each decoder is declared
once (name, hive types, the keys it reads, its fields and their types) in the module of its
family; `decoders()` lists them and `decode()` runs those that apply to a hive.

    hive = kelpa.Hive.from_path("NTUSER.DAT", strict=False)
    decoding = decode(hive)
    for name, row in decoding:          # ("userassist", {"name": ..., "last_run": ..., ...})
        ...
    decoding.problems()                 # [ArtifactProblem(artifact, key_path, message), ...]

A decoder never raises on what a hive holds: what it cannot read (a blob too short, a count past
the data, an unknown layout) gives the rows it can and a problem. A hive without the artifact
gives no rows and no problem."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Any

import kelpa

from .. import hive_types
from . import base
from .base import ArtifactProblem, Context, Decoder, Field

# Importing each family registers its decoders, in this order.
from . import execution, persistence, system, accounts, activity, shell  # noqa: E402,F401  isort: skip

__all__ = ["ArtifactProblem", "Decoder", "Decoding", "Field", "decode", "decoders"]


def decoders() -> list[Decoder]:
    """Every decoder, in family order: name, hive types, description, keys and fields."""
    return list(base.registered().values())


def _chosen(names: Iterable[str] | None) -> list[Decoder]:
    known = base.registered()
    if names is None:
        return list(known.values())
    chosen = []
    for name in names:
        if name not in known:
            raise ValueError(f"no artifact decoder named {name!r} (known: {', '.join(known)})")
        chosen.append(known[name])
    return chosen


class Decoding:
    """The rows of the decoders that apply to a hive, as (name, row) pairs, decoder by decoder in
    the registry's order; problems() lists what they could not read, as far as iterated."""

    def __init__(self, hive: kelpa.Hive, chosen: list[Decoder], hive_type: str) -> None:
        self.hive, self.hive_type = hive, hive_type
        self._chosen = [d for d in chosen if hive_type in d.hive_types]
        self._problems: list[ArtifactProblem] = []

    def decoders(self) -> list[Decoder]:
        """The decoders that apply to the hive's type."""
        return list(self._chosen)

    def problems(self) -> list[ArtifactProblem]:
        return list(self._problems)

    def __iter__(self) -> Iterator[tuple[str, dict[str, Any]]]:
        for decoder in self._chosen:
            yield from ((decoder.name, row) for row in self.rows(decoder))

    def rows(self, decoder: Decoder) -> Iterator[dict[str, Any]]:
        """One decoder's rows. A decoder that stops on what it meets (a fault of ours, not of the
        hive) leaves its rows so far and a problem naming the exception."""
        context = Context(self.hive, decoder.name, self._problems)
        try:
            yield from decoder.run(context)
        except Exception as e:  # noqa: BLE001 - no decoder may end the decoding of a hive
            context.problem("", f"{type(e).__name__}: {e}")


def decode(hive: kelpa.Hive, names: Iterable[str] | None = None, *, hive_type: str | None = None,
           path: str | os.PathLike[str] | None = None) -> Decoding:
    """The rows of every decoder in `names` (default: all) that applies to the hive's type, which
    is `hive_type` or, by default, the type `kelpa info` reports (`path` helps it where the keys
    cannot tell). An unknown name is a ValueError."""
    chosen = _chosen(names)
    return Decoding(hive, chosen, hive_type or hive_types.hive_type(hive, path))
