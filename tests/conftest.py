"""Fixtures shared by the test modules: detector geometries, an integrator factory, files written on demand,
code run in a fresh interpreter or on another thread."""
import gc, itertools, json, os, subprocess, sys, textwrap, uuid
from concurrent.futures import ThreadPoolExecutor

import pytest
import tifffile

import karvelum
import oracle

# A complete geometry file as a calibration step writes it.
GOOD_PONI = ("# Calibration done at Mon Jan 01 00:00:00 2024\nponi_version: 2.1\nDetector: Detector\n"
             'Detector_config: {"pixel1": 7.5e-05, "pixel2": 7.5e-05, "max_shape": [1065, 1030]}\n'
             "Distance: 0.1\nPoni1: 0.04\nPoni2: 0.039\nRot1: 0.01\nRot2: -0.02\nRot3: 0.0\nWavelength: 1e-10\n")

GEOMETRIES = {  # PONI dictionaries by name; pixels are rectangular unless said otherwise
    # Tilted and rotated, beam centre near a corner (inside detectors of more than 17 x 19 pixels).
    "tilted": dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.12, poni1=1.3e-3, poni2=2.1e-3,
                   rot1=0.05, rot2=-0.08, rot3=0.6, wavelength=0.7e-10),
    # Square pixels, beam on the centre of a 64 x 64 detector, no rotation.
    "centred": dict(pixel1=1e-4, pixel2=1e-4, distance=0.1, poni1=3.2e-3, poni2=3.2e-3,
                    rot1=0.0, rot2=0.0, rot3=0.0, wavelength=1e-10),
    # Beam centre inside detectors of more than 41 x 48 pixels: azimuths cover the whole circle.
    "around": dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.1, poni1=3.1e-3, poni2=5.3e-3,
                   rot1=0.012, rot2=-0.009, rot3=0.6, wavelength=0.7e-10),
    # Beam centre inside a 12 x 16 detector at a short distance: pixels near it span wide azimuths.
    "close": dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.02, poni1=0.61e-3, poni2=1.23e-3,
                  rot1=0.012, rot2=-0.009, rot3=0.6, wavelength=0.7e-10),
    # Detector to one side of the beam: azimuths in about [0.65, 2.0].
    "aside": dict(pixel1=1.1e-4, pixel2=7.5e-5, distance=0.08, poni1=-6e-3, poni2=2.5e-3,
                  rot1=0.03, rot2=0.05, rot3=-0.4, wavelength=1.2e-10),
    # Steep tilt, beam outside: nearly every pixel of a 21 x 37 detector has a 5000-point bin of its own.
    "steep": dict(pixel1=1e-4, pixel2=1.3e-4, distance=0.05, poni1=-1.1e-3, poni2=-0.7e-3,
                  rot1=0.35, rot2=-0.25, rot3=0.5, wavelength=1e-10),
}

@pytest.fixture(scope="session")
def geoms():
    return GEOMETRIES

@pytest.fixture(scope="session")
def integrator():
    """Integrator factory: a geometry (name or PONI dict) whose keys the PONI keywords override, the method,
    n_ss, other settings as keywords and an optional mask."""
    def make(geom="tilted", method="counting", n_ss=None, mask=None, **kw):
        poni = dict(GEOMETRIES[geom] if isinstance(geom, str) else geom)
        poni.update((k, kw.pop(k)) for k in oracle.GEOMETRY_KEYS if k in kw)
        ai = karvelum.Integrator.from_poni_dict(poni, method=method, n_ss=n_ss, **kw)
        if mask is not None:
            ai.set_mask(mask)
        return ai
    return make

@pytest.fixture
def write_poni(tmp_path):
    """Write `content` (str, or bytes byte for byte) to a new file; return its path as str."""
    counter = itertools.count()
    def write(content):
        path = tmp_path / f"geometry_{next(counter)}.poni"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write

@pytest.fixture
def write_tiff(tmp_path):
    """Write `data` with tifffile (keyword arguments passed on); return the path as str."""
    counter = itertools.count()
    def write(data, **kwargs):
        path = str(tmp_path / f"image_{next(counter)}.tif")
        tifffile.imwrite(path, data, **kwargs)
        return path
    return write

@pytest.fixture
def poni_path(write_poni):
    return write_poni(GOOD_PONI)

@pytest.fixture
def ai(poni_path):
    return karvelum.Integrator(poni_path)

@pytest.fixture
def run_isolated():
    """Run `code` in a fresh interpreter without inherited RAYON_* variables; return the JSON on its last line.

    `stderr`, when given, is all the interpreter may write to standard error."""
    def run(code, stderr=None, **env):
        environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, env={**environ, **env}, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert stderr is None or proc.stderr == stderr
        return json.loads(proc.stdout.strip().splitlines()[-1])
    return run

@pytest.fixture(scope="session")
def assert_refused():
    """Check that `call()` raises exactly `exc`, with the text `message` (None: not checked) and the notes
    "while processing '<name>'" of `note` (None: no note, a str: one, a list: those); return the exception."""
    def check(call, exc, message=None, note=None):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and (message is None or str(info.value) == message)
        notes = [note] if isinstance(note, str) else note or []
        assert getattr(info.value, "__notes__", []) == [f"while processing '{n}'" for n in notes]
        return info.value
    return check

@pytest.fixture(scope="session")
def on_other_thread():
    """Run `fn` on a new thread and return its result or exception (raised, or returned with caught=True);
    garbage collection is held off so that thread frees no object of another test."""
    def run(fn, caught=False):
        gc.collect()
        gc.disable()
        try:
            with ThreadPoolExecutor(1) as pool:
                future = pool.submit(fn)
                return future.exception() if caught else future.result()
        finally:
            gc.enable()
    return run

@pytest.fixture(autouse=True, scope="module")
def collect_cycles_on_the_main_thread():
    """Free the reference cycles a module's tests leave (caught exceptions holding frames with integrators) on the
    main thread: a collection that a later stream's feeder thread happens to run would drop those thread-bound
    objects on another thread, which reports an unraisable error."""
    yield
    gc.collect()

def own_memory_group():
    """This process's cgroup v1 memory group directory and None, or None and why no child of it can be made."""
    if os.geteuid() != 0:
        return None, "making a memory group needs root"
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if "memory" in controllers.split(","):
                directory = "/sys/fs/cgroup/memory" + path
                if os.path.exists(os.path.join(directory, "memory.limit_in_bytes")) and os.access(directory, os.W_OK):
                    return directory, None
                return None, f"the cgroup v1 memory group {directory} is not writable"
    return None, "no cgroup v1 memory hierarchy (a cgroup v2 child group needs the memory controller delegated)"

# The first lines of a child's code that joins the memory group JOIN_GROUP names (nothing when it is empty).
JOIN_GROUP = """
import os as _os
if _os.environ.get("JOIN_GROUP"):
    with open(_os.path.join(_os.environ["JOIN_GROUP"], "cgroup.procs"), "w") as _f:
        _f.write(str(_os.getpid()))
"""

@pytest.fixture
def memory_group():
    """Make a child memory group of this process's own with a limit in bytes; returns its directory, or (with
    skip=False) None where none can be made, else the test is skipped with the reason. Child interpreters join it
    by running `memory_group.join` first with JOIN_GROUP set to it in their environment. The groups are removed
    after the test, when their processes have exited."""
    made = []
    def make(limit, skip=True):
        parent, reason = own_memory_group()
        if parent is None:
            if skip:
                pytest.skip(reason)
            return None
        path = os.path.join(parent, f"karvelum_test_{uuid.uuid4().hex[:12]}")
        os.mkdir(path)
        made.append(path)
        with open(os.path.join(path, "memory.limit_in_bytes"), "w") as f:
            f.write(str(limit))
        return path
    make.join = JOIN_GROUP
    yield make
    for path in made:
        os.rmdir(path)
