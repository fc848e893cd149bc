"""Streamed batches (batch1d_iter, batch2d_iter, BatchIterator): every input form against the single-image calls,
input order, failed items, the interpreter lock, borrows, the in-use rule and processes that end mid-stream."""
import threading, time

import numpy as np
import pytest
import tifffile

import oracle

SHAPE = (30, 40)
N1, N2 = 24, (6, 8)  # 1D points; 2D radial x azimuthal bins
SPAN = (-1.0, 2.0)  # an azimuthal range that leaves some cells empty
PLAIN1, PLAIN2 = (1, False, False), (2, False, None)
KINDS = [(1, errors, spread) for errors, spread in oracle.FORMS] + [(2, e, s) for e in (False, True) for s in (None, SPAN)]
# The first frame is large and of a shape of its own: the items after it finish long before it.
FRAMES = [oracle.noisy_image((120, 160) if s == 0 else SHAPE, seed=s) for s in range(4)]
MISALIGNED = np.frombuffer(bytes(8 * 12 + 1), np.float64, offset=1).reshape(3, 4)  # row-major but not aligned
DEADLINE = 20.0  # seconds before a wait counts as a hang

def stream(ai, images, kind, **counts):
    dim, errors, extra = kind
    if dim == 1:
        return ai.batch1d_iter(images, N1, errors, azimuthal_std=extra, **counts)
    return ai.batch2d_iter(images, *N2, errors, extra, **counts)

def single(ai, image, kind):
    dim, errors, extra = kind
    return ai.integrate1d(image, N1, errors, azimuthal_std=extra) if dim == 1 else ai.integrate2d(image, *N2, errors, extra)

def assert_single_results(ai, items, expected, kind):
    """`items` are the BatchResults of (name, image) `expected`: named so, with the fields of the kind and the
    vectors of the single-image call bit for bit."""
    assert [item.filename for item in items] == [name for name, _ in expected]
    dim, errors, spread = kind
    for item, (_, image) in zip(items, expected):
        assert item.error is None and item.is_ok() and not item.is_err()
        got = item.result
        assert got.azimuthal is None and (got.errors is not None) == errors
        if dim == 1:
            assert (got.n_radial, got.n_azimuthal, got.azimuthal_std is not None) == (None, None, spread)
        else:
            assert (got.n_radial, got.n_azimuthal) == N2 and got.radial is None and got.azimuthal_std is None
        oracle.assert_same(got, single(ai, image, kind))

def wait_until(condition, what):
    end = time.monotonic() + DEADLINE
    while not condition():
        assert time.monotonic() < end, what
        time.sleep(0.005)

def in_use(ai):
    try:
        ai.set_unit(ai.get_unit())  # changes nothing: only the in-use rule can refuse
    except ValueError as e:
        assert str(e) == "Integrator is in use by a batch operation"
        return True
    return False

SCRIPT_HEAD = """
    import itertools, json, threading, time
    import numpy as np, karvelum
    ai = karvelum.Integrator.from_poni_dict({geom!r})
    img = np.random.default_rng(0).normal(5.0, 4.0, {shape!r})
    """

@pytest.fixture
def tilted(integrator):
    return integrator("tilted")

@pytest.fixture
def paths(tmp_path, monkeypatch):
    """FRAMES written to the one-letter files a, b, c, d of the working directory; their absolute paths."""
    monkeypatch.chdir(tmp_path)
    for name, frame in zip("abcd", FRAMES):
        tifffile.imwrite(name, frame)
    return [str(tmp_path / name) for name in "abcd"]

@pytest.fixture
def head(geoms):
    return lambda shape=SHAPE: SCRIPT_HEAD.format(geom=geoms["tilted"], shape=shape)

def road(name, paths):
    """The images argument of an input form and, per position, the expected name and the image to integrate."""
    mixed, unordered = [paths[0], FRAMES[1], FRAMES[2], paths[3]], set(paths)
    roads = {
        "paths": (paths, paths),
        "arrays": (FRAMES, FRAMES),
        "empty": ([], []),
        "array generator": ((f for f in FRAMES), FRAMES),
        "path generator": ((p for p in paths), paths),
        "mixed list": (mixed, mixed),
        "set": (unordered, list(unordered)),
        "dict": (dict.fromkeys(paths[::-1]), paths[::-1]),
        "str": ("abca", list("abca")),  # its characters, each a path
    }
    images, sources = roads[name]
    listed = name in ("paths", "arrays", "empty")
    names = [s if isinstance(s, str) else f"{'array' if listed else 'iter'}[{k}]" for k, s in enumerate(sources)]
    return images, list(zip(names, sources)), len(sources) if listed else 0

ROAD_CASES = ([(name, kind) for name in ("paths", "arrays", "empty", "array generator", "path generator", "mixed list",
                                         "set", "dict", "str") for kind in (PLAIN1, PLAIN2)]
              + [(name, kind) for name in ("paths", "arrays", "array generator") for kind in KINDS
                 if kind not in (PLAIN1, PLAIN2)])

@pytest.mark.parametrize("name, kind", ROAD_CASES)
def test_every_input_form_yields_the_single_image_results_in_input_order_with_its_progress(tilted, paths, name,
                                                                                          kind):
    images, expected, total = road(name, paths)
    it = stream(tilted, images, kind, num_workers=3, num_threads=2)
    assert iter(it) is it
    items, counts = [], [(it.total, it.completed, it.progress)]
    for item in it:
        items.append(item)
        counts.append((it.total, it.completed, it.progress))
    assert counts == [(total, k, k / total if total else None) for k in range(len(expected) + 1)]
    for _ in range(2):  # the end repeats, without a value
        with pytest.raises(StopIteration) as stop:
            next(it)
        assert stop.value.args == ()
    assert not in_use(tilted)  # every producer let go before the end was reported
    assert_single_results(tilted, items, expected, kind)

class Outer:
    class Failure(Exception):
        pass

class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")

class Finished(StopIteration):
    pass

class Items:
    """An iterator over `items` that raises the exception instances among them; counts the items pulled."""
    def __init__(self, *items):
        self.items, self.pulled = iter(items), 0
    def __iter__(self):
        return self
    def __next__(self):
        self.pulled += 1
        item = next(self.items)
        if isinstance(item, BaseException):
            raise item
        return item

MISSING = "no such file"
NOT_IMAGE = "error: ValueError: Iterator item 1 must be a file path (str) or a 2D float64 numpy array"
FAILURES = {  # items of a generator; the results' errors (None: integrated); the number of items pulled
    "missing paths go on": ((MISSING, FRAMES[0], MISSING, FRAMES[1]), [MISSING, None, MISSING, None], 5),
    "raised": ((FRAMES[0], FRAMES[1], ValueError("bad frame"), FRAMES[2]),
               [None, None, "error: ValueError: bad frame"], 3),
    "nested class": ((FRAMES[0], Outer.Failure("x")), [None, "error: Outer.Failure: x"], 2),
    "str raises": ((Unprintable(),), ["error: Unprintable: <exception str() failed>"], 1),
    "not an image": ((FRAMES[0], FRAMES[0].astype(np.float32), FRAMES[1]), [None, NOT_IMAGE], 2),
    "transposed": ((FRAMES[0], FRAMES[0].T, FRAMES[1]),
                   [None, "error: ValueError: Array must be C-contiguous (row-major) and float64"], 2),
    "misaligned": ((FRAMES[0], MISALIGNED, FRAMES[1]), [None, "error: ValueError: Iterator item 1 array must be "
                                                        "contiguous: The given array is not contiguous or is misaligned."], 2),
    "StopIteration subclass": ((FRAMES[0], Finished("quiet"), FRAMES[1]), [None], 2),
}

@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize("case", FAILURES)
def test_failed_items_become_error_results_and_end_the_stream_where_iteration_fails(tilted, case, dim):
    items, errors, pulled = FAILURES[case]
    with pytest.raises(ValueError) as raised:
        tilted.integrate1d(MISSING, N1)
    load_error = str(raised.value).removeprefix("Failed to load TIFF: ")
    source = Items(*items)
    got = list(stream(tilted, source, PLAIN1 if dim == 1 else PLAIN2, num_workers=2))
    assert source.pulled == pulled  # nothing is pulled after a failed item
    names = [i if isinstance(i, str) else f"iter[{k}]" for k, i in enumerate(items)]
    assert [(r.filename, r.error) for r in got] == [(n, load_error if e == MISSING else e) for n, e in zip(names, errors)]
    assert all(r.is_ok() == (e is None) == (r.result is not None) for r, e in zip(got, errors))
    assert not in_use(tilted)

@pytest.mark.parametrize("name", ["paths", "arrays", "array generator", "path generator"])
@pytest.mark.parametrize("kind", [PLAIN1, (1, True, True), PLAIN2])
def test_a_mask_of_another_shape_fails_every_item_alone(integrator, paths, name, kind):
    ai = integrator("tilted", mask=np.zeros((3, 3), np.uint8))
    images, expected, _ = road(name, paths)
    got = list(stream(ai, images, kind, num_workers=2))
    rows = [len(FRAMES[paths.index(s)] if isinstance(s, str) else s) for _, s in expected]
    assert [(r.filename, r.error) for r in got] == [(n, f"mask dim1 mismatch: mask = 3, data = {k}")
                                                    for (n, _), k in zip(expected, rows)]
    assert not in_use(ai)

def test_while_next_waits_other_calls_fail_at_once_and_the_integrator_is_in_use(tilted):
    release = threading.Event()
    def frames():
        yield FRAMES[0]
        release.wait()
        yield FRAMES[1]
    it = stream(tilted, frames(), PLAIN1, num_workers=2)
    assert next(it).filename == "iter[0]"
    got = []
    waiter = threading.Thread(target=lambda: got.append(next(it)))
    waiter.start()
    try:
        def borrowed():
            try:
                it.completed
            except RuntimeError:
                return True
            return False
        wait_until(borrowed, "next() on the other thread never took the iterator")
        for read in (lambda: it.total, lambda: it.completed, lambda: it.progress, lambda: iter(it)):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                read()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(it)
        assert in_use(tilted)
        with pytest.raises(ValueError, match="^Integrator is in use by a batch operation$"):
            tilted.set_method("histogram")
    finally:
        release.set()
        waiter.join(DEADLINE)
    assert [r.filename for r in got] == ["iter[1]"] and (it.completed, it.progress) == (2, None)
    assert list(it) == [] and not in_use(tilted)

@pytest.mark.parametrize("name", ["paths", "arrays", "arrays 2d", "generator"])
def test_an_abandoned_stream_lets_go_of_the_integrator(tilted, paths, name):
    # An endless one is abandoned in a fresh interpreter below: a stream that never stops would hang this one.
    many = [FRAMES[1 + k % 3] for k in range(200)]  # small frames only
    images = {"paths": paths[1:] * 67, "arrays": many, "arrays 2d": many, "generator": iter(many)}[name]
    it = stream(tilted, images, PLAIN2 if name == "arrays 2d" else PLAIN1, num_workers=2, num_threads=1)
    next(it)
    del it
    wait_until(lambda: not in_use(tilted), "the stream kept the integrator")

SETTINGS = {  # a setter's arguments and the constructor keywords that give the same setting
    "set_method": (("histogram",), dict(method="histogram")),
    "set_polarization_factor": ((0.4,), dict(polarization_factor=0.4)),
    "set_unit": (("q_nm^-1",), dict(unit="q_nm^-1")),
}

@pytest.mark.parametrize("setter", SETTINGS)
def test_a_setter_retried_after_an_abandoned_generator_stream_gets_through_and_takes_effect(integrator, setter):
    # The workers are still integrating when the stream is dropped: the call that first finds the integrator free
    # must come after everything they read (the thread sanitizer run checks that order).
    ai, image = integrator("tilted"), oracle.noisy_image((200, 300))
    it = ai.batch2d_iter((image for _ in range(6)), *N2, num_workers=2, num_threads=1)
    next(it)
    del it
    args, settings = SETTINGS[setter]
    end = time.monotonic() + DEADLINE
    while True:
        try:
            getattr(ai, setter)(*args)
            break
        except ValueError as e:
            assert str(e) == "Integrator is in use by a batch operation"
            assert time.monotonic() < end, "the stream kept the integrator"
            time.sleep(0.001)
    for kind in (PLAIN1, PLAIN2):
        oracle.assert_same(single(ai, FRAMES[1], kind), single(integrator("tilted", **settings), FRAMES[1], kind))

def test_the_feeder_runs_ahead_of_a_consumer_that_keeps_up_by_no_more_than_the_queue_holds(tilted):
    # Slow items (large frames, every output) and a table built beforehand: the worker is what limits the stream,
    # and a consumer that a busy machine wakes a few milliseconds late still keeps up.
    workers, pulled, ahead = 1, 0, []
    image = oracle.noisy_image((1000, 1000))
    tilted.integrate1d(image, N1)
    def frames():
        nonlocal pulled
        for _ in range(20):
            pulled += 1
            yield image
    for k, _ in enumerate(stream(tilted, frames(), (1, True, True), num_workers=workers, num_threads=1), 1):
        ahead.append(pulled - k)
    # Queued jobs, the ones being integrated, the one waiting to be sent and the one being pulled.
    assert len(ahead) == 20 and max(ahead) <= 2 * workers + workers + 2

@pytest.mark.parametrize("method, args, message", [
    ("batch1d_iter", (42, 0, False, 0, 0), "n_points must be positive"),
    ("batch1d_iter", (42, 1, False, 0, 0), "num_threads must be > 0"),
    ("batch1d_iter", (42, 1, False, 0, 1), "num_workers must be > 0"),
    ("batch2d_iter", (42, 0, 0, False, None, 0, 0), "num_threads must be > 0"),
    ("batch2d_iter", (42, 0, 0, False, None, 0), "num_workers must be > 0"),
    ("batch1d_iter", (42, 1), "images must be a list of file paths, a list of numpy arrays, or an iterable/generator"),
    ("batch2d_iter", (object(), 1, 1), "images must be a list of file paths, a list of numpy arrays, or an "
                                       "iterable/generator"),
    ("batch1d_iter", ([FRAMES[0], FRAMES[0].T, MISALIGNED], 1), "Array must be C-contiguous (row-major) and float64"),
    ("batch2d_iter", ([FRAMES[0], FRAMES[0].T, MISALIGNED], 1, 1), "Array must be C-contiguous (row-major) and float64"),
    ("batch1d_iter", ([FRAMES[0], MISALIGNED, FRAMES[0].T], 1),
     "Array 1 must be contiguous: The given array is not contiguous or is misaligned."),
    ("batch2d_iter", ([FRAMES[0], MISALIGNED, FRAMES[0].T], 1, 1),
     "Array 1 must be contiguous: The given array is not contiguous or is misaligned."),
])
def test_bad_arguments_are_refused_in_order_before_anything_starts(tilted, method, args, message):
    with pytest.raises(ValueError) as e:
        getattr(tilted, method)(*args)
    assert str(e.value) == message
    assert not in_use(tilted)

class InterruptedSequence:
    """A sequence whose items cannot be read: reading one raises `error`."""
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_an_interrupt_or_exhausted_memory_while_reading_the_images_reaches_the_caller(tilted, error):
    for stream in (lambda: tilted.batch1d_iter(InterruptedSequence(error), 1),
                   lambda: tilted.batch2d_iter(InterruptedSequence(error), 1, 1)):
        with pytest.raises(error):
            stream()
        assert not in_use(tilted)


def test_waiting_releases_the_interpreter_and_an_abandoned_endless_iterator_stops(head, run_isolated):
    # next() waits for an item that only a timer thread lets the generator yield; then a counting thread keeps
    # running while an endless C-level iterator is consumed, and dropping that stream frees the integrator.
    got = run_isolated(head() + """
    release = threading.Event()
    def frames():
        release.wait()
        yield img
    threading.Timer(0.05, release.set).start()
    waited = [r.filename for r in ai.batch1d_iter(frames(), 10, num_workers=1)]
    count, stop = [0], threading.Event()
    def counting():
        while not stop.is_set():
            count[0] += 1
    counter = threading.Thread(target=counting)
    counter.start()
    it, results, end = ai.batch1d_iter(itertools.repeat(img), 10, num_workers=2, num_threads=1), 0, time.monotonic() + 0.2
    while time.monotonic() < end:
        results += next(it).is_ok()
    stop.set()
    counter.join()
    del it
    end = time.monotonic() + 20
    while True:
        try:
            ai.clear_mask()
            break
        except ValueError:
            assert time.monotonic() < end, "the endless stream kept the integrator"
            time.sleep(0.005)
    print(json.dumps([waited, results, count[0]]))
    """, stderr="")
    assert got[0] == ["iter[0]"] and got[1] >= 5 and got[2] > 0

SIGNALS = {  # how the signal comes; the exception its handler raises
    "SIGINT": ("threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()", "KeyboardInterrupt"),
    "alarm": ("signal.signal(signal.SIGALRM, alarm), signal.setitimer(signal.ITIMER_REAL, 0.3)", "TimeoutError"),
}
CALLS = {  # a stream of the generator `frames()`; the single-image call for the image `img * k`
    1: ("batch1d_iter(frames(), 10, num_workers=2)", "integrate1d(img * k, 10)"),
    2: ("batch2d_iter(frames(), 6, 8, num_workers=2)", "integrate2d(img * k, 6, 8)"),
}

@pytest.mark.parametrize("signal_name", SIGNALS)
@pytest.mark.parametrize("dim", CALLS)
def test_a_signal_interrupts_a_waiting_next_and_the_stream_goes_on_in_order(head, run_isolated, signal_name, dim):
    # The generator's second item comes only once the interrupted next() is over: a next() that cannot be
    # interrupted waits a minute for it.
    (send, raised), (call, single) = SIGNALS[signal_name], CALLS[dim]
    got = run_isolated(head() + f"""
    import os, signal
    release = threading.Event()
    def frames():
        yield img
        end = time.monotonic() + 60
        while not release.is_set() and time.monotonic() < end:
            time.sleep(0.01)
        yield from (img * k for k in (2, 3, 4))
    def alarm(number, frame):
        raise TimeoutError("alarm")
    it = ai.{call}
    first, start = next(it).filename, time.monotonic()
    try:
        {send}
        next(it)
        caught = None
    except BaseException as e:
        caught = type(e).__name__
    waited, completed = time.monotonic() - start, it.completed
    release.set()
    rest = list(it)
    same = [bool(np.array_equal(r.result.intensity, ai.{single}.intensity, equal_nan=True))
            for k, r in zip((2, 3, 4), rest)]
    print(json.dumps([first, caught, waited, completed, [r.filename for r in rest], same, it.completed]))
    """, stderr="")
    first, caught, waited, completed, names, same, done = got
    assert (first, caught, completed) == ("iter[0]", raised, 1) and waited < 0.3 + 5
    assert names == ["iter[1]", "iter[2]", "iter[3]"] and same == [True] * 3 and done == 4

ARMED = {  # the signal of SIGNALS, sent `lead` seconds after this runs on the generator's thread
    "SIGINT": "threading.Timer(lead, os.kill, (os.getpid(), signal.SIGINT)).start()",
    "alarm": "signal.setitimer(signal.ITIMER_REAL, lead)",
}

@pytest.mark.parametrize("signal_name", SIGNALS)
@pytest.mark.parametrize("dim", CALLS)
def test_a_signal_that_comes_with_the_awaited_item_loses_no_item(head, run_isolated, signal_name, dim):
    # Each frame is yielded 0.3 s after the generator is pulled and a signal comes 0.27-0.29 s into that sleep.
    # next() waits in slices of 50 ms; the caller's pause of 15 ms before each call starts them so that the signal
    # and the item fall in one. Every signal interrupts a call, and every item still reaches the caller once, in
    # order, counted in completed only then.
    (_, raised), (call, single) = SIGNALS[signal_name], CALLS[dim]
    got = run_isolated(head() + f"""
    import os, signal
    def alarm(number, frame):
        raise TimeoutError("alarm")
    signal.signal(signal.SIGALRM, alarm)
    def frames():
        for k in range(1, 11):
            lead = 0.27 + 0.01 * (k % 3)
            {ARMED[signal_name]}
            time.sleep(0.3)
            yield img * k
    it, results, interrupts = ai.{call}, [], 0
    while True:
        try:
            time.sleep(0.015)
            results.append(next(it))
        except StopIteration:
            break
        except {raised}:
            interrupts += 1
    same = [bool(np.array_equal(r.result.intensity, ai.{single}.intensity, equal_nan=True))
            for k, r in enumerate(results, 1)]
    print(json.dumps([[r.filename for r in results], same, interrupts, it.completed]))
    """, stderr="")
    names, same, interrupts, completed = got
    assert names == [f"iter[{k}]" for k in range(10)] and same == [True] * 10
    assert (interrupts, completed) == (10, 10)

@pytest.mark.parametrize("call, daemon", [
    ("batch1d_iter(itertools.repeat(img), 50, ", False),
    ("batch2d_iter((img.copy() for _ in itertools.count()), 20, 30, ", False),
    ("batch1d_iter(blocked(), 50, ", False),
    ("batch2d_iter([path] * 500, 20, 30, ", False),
    ("batch1d_iter([img] * 500, 50, azimuthal_std=True, ", False),
    ("batch2d_iter([img] * 500, 20, 30, ", False),
    ("batch1d_iter(itertools.repeat(img), 50, ", True),  # a daemon thread still iterating
    ("batch2d_iter([path] * 500, 20, 30, ", True),
])
def test_a_script_that_ends_with_a_live_stream_exits_cleanly(head, run_isolated, tmp_path, call, daemon):
    run_isolated(head((200, 300)) + f"""
    import tifffile
    path = {str(tmp_path / "big.tif")!r}
    tifffile.imwrite(path, img)
    never = threading.Event()
    def blocked():
        yield img
        never.wait()
        yield img
    it = ai.{call}num_workers=2, num_threads=2)
    next(it)
    if {daemon}:
        threading.Thread(target=lambda: [r for r in it], daemon=True).start()
        time.sleep(0.05)
    print("null")
    """, stderr="")
