"""Threads sharing trees: truly parallel on free-threaded builds, interleaved at every switch elsewhere.
Nothing may crash or deadlock, no key may be lost or duplicated, and what a reader sees is consistent:
every walk it completes ascends, every export, copy and pickle is sorted and sound.

SYLVANMAP_THREAD_SECONDS sets how long each test runs (make test-threads runs them for minutes)."""

import copy
import operator
import os
import pickle
import random
import sys
import sysconfig
import threading
import time

import pytest

import sylvanmap
from support import SortedDict, probe

SECONDS = float(os.environ.get("SYLVANMAP_THREAD_SECONDS", "1.5"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# A walk meets a change of the key set; an export (on 3.11 its pairs' allocations can run the collector,
# and so other threads) a change of the layout.
RESTARTS = ("SortedDict changed size during iteration", "SortedDict mutated during export")


@pytest.fixture(autouse=True)
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # with the GIL: interleave as finely as it allows
    yield
    sys.setswitchinterval(interval)


def run_threads(*targets, seconds=SECONDS):
    """Runs each target(stop) in its own thread until `seconds` have passed; re-raises the first error."""
    stop, errors = threading.Event(), []

    def guarded(target):
        try:
            target(stop)
        except BaseException as e:  # noqa: BLE001 - reported to the test
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "a thread is stuck (deadlock?)"
    if errors:
        raise errors[0]


def ascending(keys):
    return all(a < b for a, b in zip(keys, keys[1:]))


class Slow:
    """A key whose comparisons run Python code and now and then block, which suspends the critical
    sections its thread holds (and, with the GIL, lets other threads run)."""
    __slots__ = ("k",)
    ticks = iter(range(1 << 62))

    def __init__(self, k):
        self.k = k

    @staticmethod
    def block():
        next(Slow.ticks) % 64 or time.sleep(0)

    def __lt__(self, other):
        return Slow.block() or self.k < other.k

    def __eq__(self, other):
        return Slow.block() or self.k == other.k


MUTATED = "SortedDict mutated during key comparison"


def test_module_runs_without_the_gil():
    assert not FREE_THREADED or not sys._is_gil_enabled()


READS = {  # what a reader does: a walk (restarted when the key set changes), or a snapshot
    "iter": lambda d: list(d), "reversed": lambda d: list(reversed(d))[::-1],
    "irange": lambda d: list(d.irange(1000, 9000)), "irange_items": lambda d: [k for k, _ in d.irange_items(2000)],
    "islice": lambda d: list(d.islice(10, -10)), "islice_reverse": lambda d: list(d.islice(reverse=True))[::-1],
    "keys": SortedDict.keys, "items": lambda d: [k for k, _ in d.items()],
    "copy": lambda d: list(d.copy()), "deepcopy": lambda d: list(copy.deepcopy(d)),
    "pickle": lambda d: (e := pickle.loads(pickle.dumps(d))) and probe.check(e) and list(e),
}


@pytest.mark.parametrize("order", [3, 64])
def test_writers_on_stripes_and_readers(order):
    d, stripes, seen = SortedDict(order), 3, {name: 0 for name in READS}
    models = [dict() for _ in range(stripes)]

    def writer(w):
        def run(stop):
            rng, model = random.Random(w), models[w]
            while not stop.is_set():
                k = rng.randrange(10_000) * stripes + w  # this writer's keys alone
                op = rng.random()
                if op < 0.5:
                    d[k] = model[k] = rng.random()
                elif op < 0.8:
                    assert d.pop(k, None) == model.pop(k, None)
                else:
                    d.update({j: model.setdefault(j, w) for j in range(k, k + 6 * stripes, stripes)})
                    assert d.get(k) == model[k]
        return run

    def reader(r):
        def run(stop):
            rng, names = random.Random(100 + r), sorted(READS)
            while not stop.is_set():
                name = rng.choice(names)
                try:
                    keys = READS[name](d)
                except RuntimeError as e:
                    assert str(e) in RESTARTS, e
                    continue
                assert ascending(keys) and len(set(keys)) == len(keys), name
                seen[name] += 1
        return run

    run_threads(*(writer(w) for w in range(stripes)), *(reader(r) for r in range(2)))
    probe.check(d)
    union = {k: v for m in models for k, v in m.items()}
    assert d.items() == sorted(union.items())
    assert sum(seen.values()) > 0


def test_trees_updating_each_other():
    # Each takes both locks in one order whichever thread asks: no deadlock.
    a, b = SortedDict.fromkeys(range(0, 2000, 2), "a"), SortedDict.fromkeys(range(1, 2000, 2), "b")

    def one_way(src, dst):
        def run(stop):
            while not stop.is_set():
                dst.update(src)
                assert dst == dst.copy() and not (dst != dst)
                (src | dst), (src == dst)
        return run

    run_threads(one_way(a, b), one_way(b, a))
    assert a.keys() == b.keys() == list(range(2000)) and probe.check(a) and probe.check(b)


@pytest.mark.parametrize("key", [int, Slow], ids=["int", "slow"])
@pytest.mark.parametrize("make", [lambda d, key: iter(d), lambda d, key: reversed(d),
                                  lambda d, key: d.irange(key(100), key(4900)), lambda d, key: d.islice_items(5)],
                         ids=["iter", "reversed", "irange", "islice_items"])
def test_one_iterator_stepped_by_several_threads(make, key):
    # A step that runs user code (a bound's comparison, with keys that compare in Python) marks the
    # iterator running: another thread's step meanwhile is refused, and nothing is lost or repeated.
    d = SortedDict.fromkeys(map(key, range(5000)))
    it, got, lock = make(d, key), [], threading.Lock()

    def stepper(stop):
        mine = []
        while True:
            try:
                x = next(it)
            except StopIteration:
                break
            except RuntimeError as e:
                assert str(e) == "SortedDict iterator already running", e
                continue
            mine.append(x[0] if type(x) is tuple else x)
        with lock:
            got.extend(mine)

    run_threads(*[stepper] * 4, seconds=0)
    want = [k[0] if type(k) is tuple else k for k in make(d, key)]
    assert sorted(got) == sorted(want)  # each key handed out once, to one of the threads


def test_positions_under_writes():
    d = SortedDict.fromkeys(range(0, 4000, 2))

    def writer(stop):
        rng = random.Random(2)
        while not stop.is_set():
            k = rng.randrange(4000)
            d.setdefault(k) if rng.random() < 0.5 else d.pop(k, None)
            if rng.random() < 0.05 and len(d):
                d.pop_at(rng.randrange(-len(d), len(d)))

    def reader(stop):
        rng = random.Random(3)
        while not stop.is_set():
            try:
                k = d.key_at(rng.randrange(len(d)))
            except IndexError:
                continue  # shrank meanwhile
            i = d.bisect_left(k)
            assert 0 <= i <= len(d) + 1000

    run_threads(writer, reader, reader)
    assert probe.check(d)["keys"] == len(d) and ascending(list(d))


@pytest.mark.parametrize("key", [int, Slow], ids=["int", "slow"])
@pytest.mark.parametrize("park", [False, True], ids=["", "parked"])
def test_writers_deleting_in_one_region(key, park):
    # Merges, root shrinks and range zips under writers that share nodes: each writer's stripe of keys
    # stays its own, so the models hold whatever order the threads run in; a comparison that meets
    # another thread's change fails and changes nothing.
    d, stripes = SortedDict(3), 3
    models = [dict() for _ in range(stripes)]

    def writer(w):
        def run(stop):
            rng, model = random.Random(w), models[w]
            while not stop.is_set():
                k = rng.randrange(300) * stripes + w
                op = rng.random()
                try:
                    if op < 0.5:
                        d[key(k)] = model[k] = k  # (the model only once the tree took it)
                    elif op < 0.9:
                        assert d.pop(key(k), None) == model.pop(k, None)
                    elif key is int and rng.random() < 0.5:  # another stripe's keys lie between: none
                        assert d.delete_range(k, k, inclusive=(True, True)) == (model.pop(k, None) is not None)
                    else:
                        [d.get(key(j)) for j in range(k - 9, k + 9)]
                except RuntimeError as e:
                    assert str(e) == MUTATED, e
        return run

    def walker(stop):
        while not stop.is_set():
            try:
                keys = [getattr(k, "k", k) for k in d]
            except RuntimeError as e:
                assert str(e) in RESTARTS + (MUTATED,), e
                continue
            assert ascending(keys)

    sylvanmap._park_releases(park, 20)  # parked: every release point detaches its thread for 20 us
    try:
        run_threads(*(writer(w) for w in range(stripes)), walker)
    finally:
        sylvanmap._park_releases(0, 0)
    probe.check(d)
    union = sorted((k, v) for m in models for k, v in m.items())
    assert [(getattr(k, "k", k), v) for k, v in d.items()] == union


def test_reading_lists_another_thread_changes():
    # update() from a list of pairs (some of them lists), and __setstate__ from key and value columns,
    # while another thread clears and refills them; dict.update is the control.
    pairs, n = [(i, i) for i in range(500)], 500
    shared, keys, values, trees, loaded = list(pairs), list(range(n)), list(range(n)), [], []

    def mutator(stop):
        while not stop.is_set():
            for column, full in ((shared, pairs), (keys, range(n)), (values, range(n))):
                column.clear()
                column.extend(full)
            shared[100:300] = [[i, -i] for i in range(50)]

    def updater(stop):
        while not stop.is_set():
            for d in (SortedDict(), SortedDict.fromkeys([1000])):  # bulk loaded, and inserted one by one
                d.update(shared)
                dict().update(shared)
                trees.append(d)

    def loader(stop):
        d = SortedDict()
        while not stop.is_set():
            try:
                d.__setstate__((8, True, keys, values))
            except ValueError as e:  # the two columns read at different lengths
                assert str(e) == "state keys and values differ in length"
                continue
            loaded.append(probe.check(d) and list(d) == list(range(len(d))))  # as some moment saw them

    run_threads(mutator, updater, loader)
    assert loaded and all(loaded)
    for d in trees[-50:]:
        probe.check(d)
        assert set(d.items()) - {(1000, None)} <= set(pairs) | {(i, -i) for i in range(50)}


class Published(SortedDict):
    """Its __new__ publishes every instance before the copy protocol fills it; its __getstate__ blocks (user
    code), letting other threads run."""
    live = []

    def __new__(cls, *args):
        obj = super().__new__(cls, *args)
        cls.live[-3:] = [obj]
        return obj

    def __getstate__(self):
        return time.sleep(0)


def test_copy_whose_new_publishes_the_instance():
    src = Published.fromkeys(range(2000))

    def meddler(stop):
        rng = random.Random(5)
        while not stop.is_set():
            for d in list(Published.live):
                d[rng.randrange(4000)] = 1

    def copier(stop):
        while not stop.is_set():
            for c in (copy.copy(src), src | {}, {} | src):
                assert probe.check(c)["keys"] >= 2000  # its size and counts agree with its keys

    run_threads(meddler, copier)


def test_reduce_reads_items_and_settings_together():
    d, a, b = Published(3), dict.fromkeys(range(0, 100, 2)), dict.fromkeys(range(1, 100, 2))
    allowed = {3: ([], sorted(a)), 5: ([], sorted(b))}

    def reinit(stop):
        while not stop.is_set():
            for order, items in ((3, a), (5, b)):
                d.__init__(order)
                d.update(items)

    def reducer(stop):
        while not stop.is_set():
            order, _, keys, _ = d.__reduce__()[2][:4]
            assert keys in allowed[order], (order, keys[:3])

    run_threads(reinit, reducer)


class Tracked:
    """A value that records its finaliser's run: no reader may ever hold one that has been finalised."""
    alive = True

    def __del__(self):
        self.alive = False


READS_OF_VALUES = {  # reads that skip the lock on free-threaded builds, each giving a value or None
    "getitem": lambda d, k, i: d[k], "get": lambda d, k, i: d.get(k),
    "floor_item": lambda d, k, i: d.floor_item(k)[1], "higher_item": lambda d, k, i: d.higher_item(k)[1],
    "item_at": lambda d, k, i: d.item_at(i)[1], "peekitem": lambda d, k, i: d.peekitem(0)[1],
}


@pytest.mark.parametrize("kind", [int, float, str])
def test_readers_racing_writers_on_the_same_keys(kind):
    # Writers replace and delete the very keys the readers probe (fresh key objects of their own); a value
    # a reader gets must still be alive (held by the tree when the read began, and now by the reader).
    keys = [kind(k) if kind is not str else f"{k:04d}" for k in range(64)]
    fresh = {int: lambda k: int(str(k)), float: lambda k: float(repr(k)), str: lambda k: k[:1] + k[1:]}[kind]
    d = SortedDict()
    d.update({k: Tracked() for k in keys})

    def writer(stop):
        rng = random.Random(7)
        while not stop.is_set():
            k, op = rng.choice(keys), rng.random()
            if op < 0.6:
                d[k] = Tracked()
            elif op < 0.9:
                d.pop(k, None)
            else:
                d.delete_range(k, keys[min(len(keys) - 1, keys.index(k) + 3)])

    def reader(stop):
        rng, names = random.Random(), sorted(READS_OF_VALUES)
        while not stop.is_set():
            try:
                v = READS_OF_VALUES[rng.choice(names)](d, fresh(rng.choice(keys)), rng.randrange(64))
            except (KeyError, IndexError):  # gone meanwhile
                continue
            assert v is None or v.alive, "a value whose finaliser ran"

    sylvanmap._reader_overlaps(2)  # each read without the lock dwells 2 us in its slot
    try:
        run_threads(writer, reader, reader)
    finally:
        overlaps = sylvanmap._reader_overlaps(0)
    assert overlaps == 0, "reads without the lock overlapped a write"
    probe.check(d)


@pytest.mark.parametrize("key", [None, abs], ids=["values", "key"])
def test_sorted_list_shared_by_writers_and_readers(key):
    from sylvanmap.compat import SortedList

    sl = SortedList(range(-500, 500, 2), key=key)
    stripes = 2

    def writer(n):
        def write(stop):
            rng = random.Random(n)
            mine = []
            while not stop.is_set():
                if mine and rng.random() < 0.5:
                    sl.remove(mine.pop(rng.randrange(len(mine))))
                elif rng.random() < 0.1:
                    batch = [rng.randrange(-1000, 1000) * stripes + n for _ in range(20)]
                    sl.update(batch)
                    mine += batch
                else:
                    mine.append(rng.randrange(-1000, 1000) * stripes + n)
                    sl.add(mine[-1])
            for v in mine:  # each writer takes back exactly what it added
                sl.remove(v)

        return write

    def reader(stop):
        rng = random.Random(9)
        while not stop.is_set():
            try:
                seen = list(sl.islice(rng.randrange(100), None)) if rng.random() < 0.5 else sl[10:-10:3]
            except RuntimeError as e:
                assert str(e) == "SortedList changed size during iteration"
                continue
            keys = [v if key is None else key(v) for v in seen]
            assert all(a <= b for a, b in zip(keys, keys[1:]))
            v = rng.randrange(-500, 500, 2)
            assert v in sl and sl.count(v) >= 1 and 0 <= sl.index(v) < len(sl) + 40  # the initial values stay

    run_threads(writer(0), writer(1), reader)
    sl._check()  # equal keys may have traded places: values with equal keys are taken out first come
    assert sorted(sl) == list(range(-500, 500, 2)) and (key or list(sl) == sorted(sl))


def test_key_function_replaced_while_others_add():
    """__init__ again swaps the key function of an emptied list: a call under way in another thread
    keeps the function it took alive."""
    from sylvanmap.compat import SortedKeyList

    sl = SortedKeyList(key=lambda v: (v, 0.0))

    def reinit(stop):
        while not stop.is_set():
            try:
                sl.__init__(key=lambda v, k=random.random(): (v, k))  # each function referenced by sl alone
            except ValueError as e:  # another thread added between clear() and the new key
                assert str(e) == "the key function of a non-empty list cannot change"

    def add(stop):
        rng = random.Random()
        while not stop.is_set():
            v = rng.randrange(100)
            sl.add(v)
            sl.discard(v)  # under another key function by now, perhaps: then it stays until the next clear

    run_threads(reinit, add, add)
    sl._check()

@pytest.mark.parametrize("kind", ["set", "dict"])
@pytest.mark.parametrize("key", [None, operator.neg], ids=["values", "key"])
def test_sorted_set_and_dict_shared_by_writers_and_readers(kind, key):
    # Each write keeps the set or dict and its sorted list in step in one call: readers never see the two
    # apart (no "behind its sorted keys"), only a walk that met a change of the key set.
    from sylvanmap.compat import SortedDict as CompatDict, SortedSet

    initial = range(-600, 600, 3)
    c = SortedSet(initial, key=key) if kind == "set" else CompatDict(key, {k: -k for k in initial})
    order = key or (lambda k: k)

    def writer(n):
        def write(stop):
            rng = random.Random(n)
            mine = set()
            while not stop.is_set():
                k = rng.randrange(-400, 400) * 3 + n
                if rng.random() < 0.05:  # bulk writes: several steps, no other thread between them
                    batch = {rng.randrange(-400, 400) * 3 + n for _ in range(10)}
                    if kind == "dict":
                        c.update({k: -k for k in batch - mine})
                    elif rng.random() < 0.5:
                        c.difference_update(batch & mine)
                        batch = mine - batch
                        mine.clear()
                    else:
                        c.update(batch)
                    mine |= batch
                elif k in mine and rng.random() < 0.5:
                    mine.discard(k)
                    if kind == "set":
                        c.remove(k) if rng.random() < 0.5 else c.discard(k)
                    else:
                        assert (c.pop(k) if rng.random() < 0.5 else c.setdefault(k)) == -k
                        c.__delitem__(k) if k in c else None
                else:
                    mine.add(k)
                    c.add(k) if kind == "set" else c.__setitem__(k, -k)
            for k in mine:  # each writer takes back exactly what it added
                c.discard(k) if kind == "set" else c.pop(k)

        return write

    def reader(stop):
        rng = random.Random(9)
        while not stop.is_set():
            try:
                r = rng.random()
                if kind == "set":
                    seen = list(c) if r < 0.5 else list(reversed(c))[::-1]
                    assert len(seen) == len(set(seen))
                elif r < 0.4:
                    items = list(c.items()) if r < 0.2 else list(reversed(c.items()))[::-1]
                    assert all(v == -k for k, v in items)
                    seen = [k for k, _ in items]
                else:
                    seen = list(c.keys()) if r < 0.7 else [-v for v in c.values()]
                    k, v = c.peekitem(rng.randrange(-len(initial), 0) if len(c) > 0 else -1)
                    assert v == -k
            except RuntimeError as e:
                assert str(e).endswith("changed size during iteration"), e
                continue
            keys = [order(k) for k in seen]
            assert all(a < b for a, b in zip(keys, keys[1:]))
            k = rng.choice(initial)
            assert k in c and (kind == "set" or c[k] == -k)

    run_threads(writer(1), writer(2), reader, reader)
    c._check()
    assert list(c) == sorted(initial, key=order)


@pytest.mark.parametrize("inner", ["write", "walk"])
def test_writes_waiting_for_each_other_fail_rather_than_hang(inner):
    """Hashing inside a write of one collection writes (or walks) a second, whose write in another thread
    hashes a key that writes the first: each would wait for the other for ever. Exactly one of them fails with
    RuntimeError instead, its outer write changing nothing; the other completes; both stay sound."""
    from sylvanmap.compat import SortedDict as CompatDict

    first, second = CompatDict.fromkeys(range(10), 0), CompatDict.fromkeys(range(10), 0)
    barrier, outcomes = threading.Barrier(2, timeout=20), {}

    class Trigger(int):
        def __hash__(self):
            act, self.act = getattr(self, "act", None), None
            if act is not None:
                barrier.wait()  # both threads are inside their outer writes
                act()
            return int.__hash__(self)

    def write(target, key, act):
        trigger = Trigger(key)
        trigger.act = act
        try:
            target[trigger] = 1
            outcomes[key] = "done"
        except RuntimeError as e:
            outcomes[key] = str(e)

    reach = (lambda: second.__setitem__(200, 1)) if inner == "write" else (lambda: list(second))
    threads = [threading.Thread(target=write, args=(first, 100, reach), daemon=True),
               threading.Thread(target=write, args=(second, 101, lambda: first.__setitem__(201, 1)), daemon=True)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "the two writes wait for each other"
    done, failed = sorted(outcomes.values())[::-1]
    assert done == "done" and failed.startswith("deadlock: SortedDict is being written"), outcomes
    for key, target in ((100, first), (101, second)):
        target._check()
        assert (key in target) == (outcomes[key] == "done")
