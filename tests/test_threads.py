"""Threads walking one hive at once see what one thread sees. root_key(), subkeys() and walk() release
the interpreter lock, so the threads race on the key cache (and, on a tolerant hive, its problem log): each
round opens the hive afresh."""

import threading
from concurrent.futures import ThreadPoolExecutor

import hivegen
import kelpa
from conftest import write_hive


def tree():
    """About 3000 keys: an "ri" over "lh" leaves at the top, deep chains, names in both forms."""
    def leaves(prefix, n):
        return [hivegen.Key(f"{prefix}{i}", last_written=116444736000000000 + i * 10_000_000) for i in range(n)]
    branches = [hivegen.Key(f"branch-{b}-ü" if b % 2 else f"branch-{b}", list_kind="li" if b % 3 else "lf",
                            subkeys=[hivegen.Key(f"mid{m}", subkeys=leaves(f"leaf{b}.{m}.", 12)) for m in range(20)])
                for b in range(12)]
    chain = hivegen.Key("deep")
    for depth in range(40):
        chain = hivegen.Key(f"level{depth}", subkeys=[chain])
    return hivegen.Key("ROOT", list_kind="ri", subkeys=[*branches, chain, *leaves("top", 150)])


def seen(key):
    return key.name(), key.subkey_count(), key.last_written_timestamp(), repr(key)


def walk(hive):
    out, stack = [], [hive.root_key()]
    while stack:
        out.append(seen(key := stack.pop()))
        stack.extend(reversed(key.subkeys()))
    return out


def test_threads_walk_like_one(tmp_path):
    path = write_hive(tmp_path, hivegen.build_tree(tree(), ri_threshold=64))
    expected = walk(kelpa.Hive.open(path))
    assert len(expected) > 3000 and [seen(k) for k in kelpa.Hive.open(path).root_key().walk()] == expected
    with ThreadPoolExecutor(6) as pool:
        for _ in range(50):
            hive, start = kelpa.Hive.open(path), threading.Barrier(6)
            shared = hive.root_key().walk()  # one iterator drained by two threads: every key once
            targets = [lambda: walk(hive)] * 2 + [lambda: [seen(k) for k in hive.root_key().walk()]] * 2 + [
                lambda: [seen(k) for k in shared]] * 2
            results = list(pool.map(lambda target: (start.wait(), target())[1], targets))  # re-raises
            assert results[:4] == [expected] * 4 and sorted(results[4] + results[5]) == sorted(expected)


def test_threads_read_one_tolerant_hive(tmp_path):
    image, problems = hivegen.damaged_scene()
    one = kelpa.Hive.from_bytes(image, strict=False)
    expected = [(k.name(), [v.raw_data() for v in k.values()]) for k in one.root_key().walk()]
    with ThreadPoolExecutor(6) as pool:
        for _ in range(50):
            hive, start = kelpa.Hive.from_bytes(image, strict=False), threading.Barrier(6)
            results = list(pool.map(lambda _: (start.wait(), [(k.name(), [v.raw_data() for v in k.values()])
                                                              for k in hive.root_key().walk()])[1], range(6)))
            assert results == [expected] * 6 and sorted(hive.problems()) == sorted(problems)  # each once
