"""Threads sharing trees: truly parallel on free-threaded builds, interleaved at every switch elsewhere.
Nothing may crash or deadlock, no key may be lost or duplicated, and what a reader sees is consistent:
every walk it completes ascends, every export, copy and pickle is sorted and sound.

SYLVANMAP_THREAD_SECONDS sets how long each test runs (make test-threads runs them for minutes)."""

import copy
import os
import pickle
import random
import sys
import sysconfig
import threading

import pytest

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


@pytest.mark.parametrize("make", [iter, reversed, lambda d: d.irange(100, 4900), lambda d: d.islice_items(5)],
                         ids=["iter", "reversed", "irange", "islice_items"])
def test_one_iterator_stepped_by_several_threads(make):
    d = SortedDict.fromkeys(range(5000))
    it, got, lock = make(d), [], threading.Lock()

    def stepper(stop):
        mine = []
        for x in it:
            mine.append(x[0] if type(x) is tuple else x)
        with lock:
            got.extend(mine)

    run_threads(*[stepper] * 4, seconds=0)
    want = [k[0] if type(k) is tuple else k for k in make(d)]
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
