"""Typed use of the public API, checked by mypy in test_typing.py."""

import kelpa


def summarise(path: str, log1: str | None = None) -> list[str]:
    hive = kelpa.Hive.open_with_logs(path, log1) if log1 else kelpa.Hive.open(path)
    block: kelpa.BaseBlock = hive.base_block()
    replayed: list[kelpa.LogReplay] = hive.log_replay()
    lines = [f"{r.path} {r.layout} {r.applied} {r.entries + r.pages} {r.sequence} {r.reason}" for r in replayed]
    lines += [repr(hive), str(block.is_dirty), block.signature, block.file_name, hex(block.root_cell_offset + block.hive_length)]
    bins: list[kelpa.HbinHeader] = hive.hbins()
    lines += [f"{b.signature} {b.offset:#x} {b.size:#x}" for b in bins]
    stack: list[kelpa.RegistryKey] = [hive.root_key()]
    while stack:
        key = stack.pop()
        stamp: int | None = key.last_written_timestamp()
        lines.append(f"{key.name()} {key.subkey_count()} {key.value_count()} {stamp}")
        for value in key.values():
            kind: kelpa.ValueType = value.value_type()
            data: kelpa.ValueData = value.data()
            raw: bytes = value.raw_data()
            if data.is_dword():
                number: int = data.as_dword()
                lines.append(f"{value.name()} {kind.type_name()} {kind.type_id()} {number} {len(raw)}")
            elif data.is_multi_string():
                items: list[str] = data.as_multi_string()
                lines.append(", ".join(items))
        stack.extend(key.subkeys())
    lines += [f"{k.path()} {k.parent()}" for k in hive.open_key("").walk(lambda e: lines.append(str(e)))]
    hive.save(path + ".copy")
    return lines
