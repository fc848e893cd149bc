import collections, math, os, pathlib, sys, types

import numpy as np
import pytest

import karvelum
import oracle
from karvelum import Integrator

FAIL, P = "Failed to load PONI: ", "Failed to load PONI: ..."  # P: only this prefix is checked
EMPTY, INVALID = FAIL + "cannot parse float from empty string", FAIL + "invalid float literal"
UNSENDABLE = "karvelum::python::integrator::PyIntegrator is unsendable, but "
NOTE = "while processing '{}'".format

def notes(exc):
    return getattr(exc, "__notes__", [])

def Real(value, hook=lambda: None):
    """Neither float nor int, but converts to both, running `hook` first."""
    convert = lambda self: (hook(), float(value))[1]  # noqa: E731
    return type("Real", (), {"__float__": convert, "__index__": lambda self: int(convert(self))})()

def calls(case, path, ai, write):
    """PONI file content is loaded; settings go to both constructors and to the setter taking exactly them."""
    if isinstance(case, (str, bytes)):
        return [lambda: Integrator(write(case))]
    if callable(case):
        return [lambda: case(path, ai)]
    setters = [getattr(ai, "set_" + keys[0]) for keys in [("method", "n_ss"), ("unit",), ("polarization_factor",)]
               if set(case) <= set(keys) and case.get(keys[0]) is not None]
    return [lambda: Integrator(path, **case), lambda: Integrator.from_poni_dict({}, **case)] + [
        lambda: setter(**case) for setter in setters]

ACCEPTED = [
    "", "# Distance: nonsense\n#\n", "Distance: 0.1\r\nPoni1: 0.2\r\nWavelength: 1e-10\r\n", "Distance: 0.1",
    "\n  Distance \t:  0.1  \n\n", "distance: x\nWAVELENGTH: x\nrot1: x\n", "Distance:\u00a00.1\u2003\n",
    "Detector: Generic\nposition: x\n: x\nDistance 2: x\n", "SplineFile: C:\\data\\grid:2.spline\n",
    "SplineFile: caf\u00e9.spline\n", b"Distance: 0.1\n\xff\xfe\x80 junk: 1\nPoni1: 0.2\n", "Detector_config: {}\n",
    'Detector_config: ("pixel1": 1e-4)\nDetector_config: xy\n',
    'Detector_config: {pixel1: x, "Pixel2": x, "pixel1" : "a:b", "orientation": x}\n',
] + [f"Distance: {v}\n" for v in "1. .5 1e5 1E-5 1e+5 -inf +Infinity INF NaN +3 -0 007".split()] + [
    lambda p, ai, d=d: Integrator.from_poni_dict(d) for d in [
        {}, {"distance": 1, "pixel1": 75e-6, "pixel2": Real(75e-6), "wavelength": 1e-10},
        {"Distance": None, "spline_file": None, "other": "x"}, type("DictChild", (dict,), {})(distance=0.1),
        collections.OrderedDict(distance=0.1), collections.defaultdict(str, distance=0.1)]] + [
    {"method": m} for m in ("pixel_split pixelsplit pixelsplitting ps PS Pixel_Split PIXELSPLITTING supersampled ss SS "
                            "supersample SuperSampled histogram hist HIST counting count Count").split()] + [
    {"method": m, "n_ss": 0} for m in ["counting", "hist", "ps", None]] + [
    {"method": "ss", "n_ss": n} for n in [2**64 - 1, Real(3), 7, 1]] + [
    {"radial_range": r} for r in [(0, 1), (-1.5, 2.0), (0.0, 5e-324), (Real(0.1), Real(2)),
                                  collections.namedtuple("Span", "lo hi")(0.1, 0.2)]] + [
    {"polarization_factor": f} for f in [None, 1, 0.5, Real(0.9), 2**70]] + [
    lambda p, ai: ai.set_polarization_factor(None), lambda p, ai: ai.clear_mask() or ai.clear_mask(),
    lambda p, ai: Integrator(p, "hist", 0.5, 3, "2th_deg", (0, 1)),  # arguments bind by position too
    lambda p, ai: Integrator(poni_path=p, method="ss", n_ss=2, unit="q_nm", radial_range=(0, 1))]

@pytest.mark.parametrize("case", ACCEPTED)
def test_accepted_files_and_settings(poni_path, ai, write_poni, case):
    for call in calls(case, poni_path, ai, write_poni):
        assert type(call()) in (Integrator, type(None))

REFUSED = [(case, ValueError, message) for case, message in [
    ("Distance\n", EMPTY), ("Distance:\n", EMPTY), ("Distance:  \t\r\n", EMPTY), ("Distance: x\nDistance: 1\n", INVALID),
    ('Detector_config: {"pixel1": 7.5e-05x, "pixel2": 7.5e-05}\n', INVALID), ("\u2003Distance\u00a0: x\n", INVALID),
    ('Detector_config: {"pixel1": 1e-4, "pixel2": }\n', EMPTY), ('Detector_config: {"pixel1": 1e-4\n', INVALID),
    (b"Distance: 0.1\n\xff\xfe\nDistance: x\n", INVALID), (b"Distance: 0.1\xff\n", INVALID),
    ("Detector_config: {\n", P), ("Detector_config:\n", P), ("Detector_config: {\u00e9\n", P),
    (lambda p, ai: Integrator(p + ".absent"), FAIL + "No such file or directory (os error 2)"),
    (lambda p, ai: Integrator(os.path.dirname(p)), FAIL + "Is a directory (os error 21)"),
    # the first failure in the documented order: file, poni dict, argument types in turn, method name, unit name
    (lambda p, ai: Integrator(p + ".absent", method="x"), P), ({"method": "x", "unit": "x"}, "Unknown integration method: x"),
] + [(f"Distance: {v}\n", INVALID) for v in "1e . 0x10 1_000 e5 +-1 1.2.3 1,5 infinity1 0.1:2".split() + ["1 2"]] + [
    (f"{key}: one\n", INVALID) for key in "Distance Poni1 Poni2 Rot1 Rot2 Rot3 PixelSize1 PixelSize2 Wavelength".split()] + [
    ({"method": m}, "Unknown integration method: " + m.lower())  # lower-cased, not trimmed
    for m in ["FOO", "pixel-split", " ps", "ps ", "", "Pixel Split", "hist\n", "\u00c9T\u00c9", "H\u0130ST", "ps\0x"]] + [
    ({"method": m, "n_ss": 0}, "n_ss must be positive") for m in ["ss", "supersampled", "SUPERSAMPLE"]] + [
    ({"unit": u}, f"Unknown radial unit: {u.lower()}. Valid options: 2th_rad, 2th_deg, q_A^-1, q_nm^-1")
    for u in ["2th", "2th_rad ", "", " q_nm", "Q_XYZ", "degrees", "\u00c5NGSTR\u00d6M", "2th_deg\0x"]] + [
    ({"radial_range": r}, f"expected tuple of length 2, but got tuple of length {len(r)}") for r in [(0, 1, 2), (1,), ()]] + [
    ({"radial_range": r}, "radial_range must be finite with min < max")
    for r in [(math.nan, 1), (0, math.nan), (-math.inf, 0), (0, math.inf), (1, 1), (2, 1), (0.0, -0.0)]]] + [
    (lambda p, ai, v=v: Integrator.from_poni_dict({"distance": v}, method="x"), TypeError,
     f"must be real number, not {type(v).__name__}") for v in [None, "0.1", [0.1], 1j]] + [
    (lambda p, ai, v=v: Integrator.from_poni_dict(v), TypeError, NOTE("poni_dict"))
    for v in [[("distance", 0.1)], None, "distance", types.MappingProxyType({"distance": 0.1})]] + [
    (case, TypeError, NOTE(name)) for case, name in [  # conversion failures keep their type and name the argument
        ({"method": 1}, "method"), ({"polarization_factor": "0.5"}, "polarization_factor"), ({"n_ss": 2.0}, "n_ss"),
        ({"polarization_factor": object()}, "polarization_factor"), ({"unit": b"q_nm"}, "unit"),
        ({"radial_range": [0, 1]}, "radial_range"), ({"radial_range": (0, "1")}, "radial_range"),
        (lambda p, ai: ai.set_unit(None), "unit"), (lambda p, ai: Integrator(pathlib.Path(p)), "poni_path"),
        (lambda p, ai: Integrator(p + ".absent", unit=5), "unit"), ({"method": 1, "polarization_factor": "x"}, "method"),
        ({"method": "x", "radial_range": [0, 1]}, "radial_range"), ({"n_ss": "x", "unit": 3}, "n_ss")]] + [
    ({"n_ss": -1}, OverflowError, NOTE("n_ss")), ({"method": "ss", "n_ss": -2}, OverflowError, NOTE("n_ss")),
    (lambda p, ai: ai.set_method("ss", n_ss=2**64), OverflowError, NOTE("n_ss")),
    ({"method": "ss", "n_ss": Real(0, hook=lambda: 1 / 0)}, ZeroDivisionError, NOTE("n_ss"))] + [
    (call, TypeError, "") for call in [  # missing or surplus arguments
        lambda p, ai: Integrator(), lambda p, ai: Integrator(p, bogus=1), lambda p, ai: Integrator.from_poni_dict(),
        lambda p, ai: Integrator(p, "hist", 0.5, 3, "2th_deg", (0, 1), None), lambda p, ai: ai.set_unit(),
        lambda p, ai: ai.set_polarization_factor(), lambda p, ai: ai.set_method(), lambda p, ai: ai.get_unit(1),
        lambda p, ai: ai.clear_mask(1)]] + [
    (call, RuntimeError, message) for call, message in [  # re-entry while a setter converts its argument
        (lambda p, ai: ai.set_method("ss", n_ss=Real(3, hook=ai.get_unit)), "Already mutably borrowed"),
        (lambda p, ai: ai.set_polarization_factor(Real(3, hook=ai.get_unit)), "Already mutably borrowed"),
        (lambda p, ai: ai.set_method("ss", n_ss=Real(3, hook=ai.clear_mask)), "Already borrowed"),
        (lambda p, ai: ai.set_polarization_factor(Real(3, hook=lambda: ai.set_unit("q_A"))), "Already borrowed")]]

@pytest.mark.parametrize("case, exc_type, message", REFUSED)
def test_refusals_report_their_cause_and_leave_the_integrator_usable(poni_path, ai, write_poni, case, exc_type, message):
    ai.set_unit("2th_deg")
    for call in calls(case, poni_path, ai, write_poni):
        with pytest.raises(exc_type) as exc:
            call()
        if message.startswith("while processing"):
            assert notes(exc.value) == [message]
        elif message:
            assert str(exc.value).startswith(message[:-3]) if message.endswith("...") else str(exc.value) == message
    assert ai.get_unit() == "2th_deg"
    ai.set_unit("q_A")  # every borrow was released
    assert ai.get_unit() == "q_A^-1"

POSITION = {"Distance": "distance", "Poni1": "poni1", "Poni2": "poni2", "Rot1": "rot1", "Rot2": "rot2",
            "Rot3": "rot3", "Wavelength": "wavelength"}
@pytest.mark.parametrize("sizes", ["PixelSize1: {}\nPixelSize2: {}\n", 'Detector_config: {{"pixel1": {}, "pixel2": {}}}\n'])
def test_a_poni_file_integrates_with_its_two_pixel_sizes(write_poni, geoms, sizes):
    # Rectangular pixels on a detector that is not square: swapped sizes would move every ring.
    geom, shape, n = geoms["tilted"], (61, 47), 40
    text = "".join(f"{key}: {geom[name]!r}\n" for key, name in POSITION.items())
    ai = Integrator(write_poni(text + sizes.format(repr(geom["pixel1"]), repr(geom["pixel2"]))), "counting",
                    unit="2th_deg")
    image = np.random.default_rng(0).normal(5.0, 4.0, shape)
    want = oracle.integrate1d(geom, image, n, "2th_deg", "counting")
    got = ai.integrate1d(image, n, True)
    ok = want["trusted"]
    assert ok.sum() >= n - 4
    np.testing.assert_allclose(got.radial, want["radial"], rtol=1e-12)
    for key in ("intensity", "errors"):
        np.testing.assert_allclose(np.array(getattr(got, key))[ok], want[key][ok], rtol=1e-9, err_msg=key)

def test_poni_dict_errors_pass_through_unannotated_and_later_keys_are_not_read():
    err, read = LookupError("boom"), []
    with pytest.raises(LookupError) as got:
        Integrator.from_poni_dict({"wavelength": Real(1, hook=lambda: read.append(1)),
                                   "poni1": Real(0, hook=lambda: (_ for _ in ()).throw(err))})
    assert got.value is err and notes(got.value) == [] and read == []

@pytest.mark.parametrize("name, canonical", [(n, c) for c, names in {
    "2th_rad": ["2th_rad", "tth_rad", "2theta_rad", "2TH_RAD", None],
    "2th_deg": ["2th_deg", "tth_deg", "2theta_deg", "2TH_DEG", "TTH_deg", "2Theta_Deg"],
    "q_A^-1": ["q_a^-1", "q_a", "q_angstrom", "Q_A^-1", "q_A", "Q_Angstrom"],
    "q_nm^-1": ["q_nm^-1", "q_nm", "Q_NM", "Q_nm^-1"]}.items() for n in names])
def test_unit_aliases_read_back_as_canonical_names_even_without_wavelength(write_poni, name, canonical):
    path = write_poni("Distance: 0.1\n")
    ai = Integrator(path, unit="q_nm" if canonical == "2th_rad" and name else None)
    made = [call() for call in calls({"unit": name}, path, ai, None)]
    assert [(m or ai).get_unit() for m in made] + [ai.get_unit()] == [canonical] * (len(made) + 1)

def test_subclasses_construct_but_from_poni_dict_gives_the_base_class(poni_path):
    Sub = type("Sub", (Integrator,), {})
    assert type(Sub(poni_path)) is Sub and type(Sub.from_poni_dict(poni_dict={})) is Integrator

def test_integrator_belongs_to_the_thread_that_made_it_and_dropping_it_elsewhere_is_unraisable(
        poni_path, ai, monkeypatch, on_other_thread):
    seen, box = [], [Integrator(poni_path)]
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert on_other_thread(lambda: Integrator(poni_path, unit="2th_deg").get_unit()) == "2th_deg"
    for call in [ai.get_unit, lambda: ai.set_unit("q_nm"), lambda: ai.set_unit(None), lambda: ai.set_method("hist"),
                 lambda: ai.set_polarization_factor(0.5), ai.clear_mask]:
        caught = on_other_thread(call, caught=True)
        assert type(caught) is karvelum.PanicException and str(caught) == UNSENDABLE + "sent to another thread"
    assert ai.get_unit() == "2th_rad" and ai.set_unit("q_A") is None  # unchanged, and usable on its own thread
    assert on_other_thread(box.clear) is None and box == []
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [
        (RuntimeError, UNSENDABLE + "is being dropped on another thread")]

def test_named_pipes_and_devices_are_refused_instead_of_read(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    for path in (str(fifo), "/dev/zero"):
        with pytest.raises(ValueError, match="^Failed to load PONI: not a regular file$"):
            Integrator(path)
        with pytest.raises(ValueError, match="^Failed to load TIFF: not a regular file$"):
            Integrator.from_poni_dict({"distance": 0.1}).integrate1d(path, 5)
