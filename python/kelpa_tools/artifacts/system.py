"""System: what a SYSTEM or SOFTWARE hive says about the machine itself."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from . import times
from .base import Context, decoder


@decoder("computer_name", hive_types=("SYSTEM",), description="The computer's name in each control set.",
         keys=(r"CurrentControlSet\Control\ComputerName\ComputerName",),
         fields=(("control_set", "text"), ("name", "text")), summary="name")
def computer_name(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\ComputerName\ComputerName"):
        if (name := ctx.text(key, "ComputerName")) is not None:
            yield ctx.row(key, control_set=control_set, name=name)


@decoder("timezone", hive_types=("SYSTEM",), description="The time zone set in each control set.",
         keys=(r"CurrentControlSet\Control\TimeZoneInformation",),
         fields=(("control_set", "text"), ("key_name", "text"), ("standard_name", "text"),
                 ("bias_minutes", "int"), ("active_bias_minutes", "int")), summary="key_name")
def timezone(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\TimeZoneInformation"):
        yield ctx.row(key, control_set=control_set, key_name=ctx.text(key, "TimeZoneKeyName"),
                      standard_name=ctx.text(key, "StandardName"), bias_minutes=_signed(ctx.number(key, "Bias")),
                      active_bias_minutes=_signed(ctx.number(key, "ActiveTimeBias")))


def _signed(number: int | None) -> int | None:
    """A bias is a signed 32-bit number of minutes stored as a DWORD (UTC = local + bias)."""
    return None if number is None else number - (1 << 32) if number >= 1 << 31 else number


@decoder("shutdown", hive_types=("SYSTEM",), description="When Windows last shut down, in each control set.",
         keys=(r"CurrentControlSet\Control\Windows",),
         fields=(("control_set", "text"), ("time", "time")), events={"time": "shut down"})
def shutdown(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\Windows"):
        raw = ctx.raw(key, "ShutdownTime")
        if raw is None:
            continue
        if len(raw) != 8:
            ctx.problem(key, f"ShutdownTime holds {len(raw)} bytes, not a FILETIME's 8")
            continue
        yield ctx.row(key, control_set=control_set, time=times.filetime_at(raw, 0))
