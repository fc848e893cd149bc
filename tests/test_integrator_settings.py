import collections
import gc
import math
import sys
import threading
import types

import pytest

import karvelum
from karvelum import Integrator

FAIL = "Failed to load PONI: "
EMPTY = FAIL + "cannot parse float from empty string"
INVALID = FAIL + "invalid float literal"
UNIT_OPTIONS = ". Valid options: 2th_rad, 2th_deg, q_A^-1, q_nm^-1"
UNSENDABLE = "karvelum::python::integrator::PyIntegrator is unsendable, but "
NUMERIC_KEYS = ["Distance", "Poni1", "Poni2", "Rot1", "Rot2", "Rot3",
                "PixelSize1", "PixelSize2", "Wavelength"]
GOOD_FLOATS = ["1.", ".5", "1e5", "1E-5", "1e+5", "-inf", "+Infinity", "INF", "NaN", "+3", "-0", "007"]
BAD_FLOATS = ["1e", ".", "0x10", "1_000", "1 2", "e5", "+-1", "1.2.3", "1,5", "infinity1", "0.1:2"]


def notes(exc):
    return getattr(exc, "__notes__", [])


class Real:
    """Not a float or int, but converts to both, running `hook` first."""
    def __init__(self, value, hook=lambda: None):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return float(self.value)

    def __index__(self):
        self.hook()
        return int(self.value)


@pytest.mark.parametrize("content", [
    pytest.param("", id="empty"),
    pytest.param("# Distance: nonsense\n#\n", id="comments-only"),
    pytest.param("Distance: 0.1\r\nPoni1: 0.2\r\nWavelength: 1e-10\r\n", id="crlf"),
    pytest.param("Distance: 0.1", id="no-final-newline"),
    pytest.param("\n  Distance \t:  0.1  \n\n", id="blanks-around-key-and-value"),
    pytest.param("distance: x\nWAVELENGTH: x\nrot1: x\n", id="keys-are-case-sensitive"),
    pytest.param("Detector: Generic\nposition: x\n: x\nDistance 2: x\n", id="unknown-keys"),
    pytest.param("SplineFile: C:\\data\\grid:2.spline\n", id="colons-in-spline-path"),
    pytest.param(b"Distance: 0.1\n\xff\xfe\x80 junk: 1\nPoni1: 0.2\n", id="invalid-utf8-line"),
    pytest.param("SplineFile: caf\u00e9.spline\n", id="utf8-spline-path"),
    pytest.param('Detector_config: {"pixel1": 7.5e-05, "pixel2": 7.5e-05, "max_shape": [1065, 1030]}\n',
                 id="detector-config-with-list"),
    pytest.param("Detector_config: {}\n", id="detector-config-empty-object"),
    pytest.param('Detector_config: ("pixel1": 1e-4)\nDetector_config: xy\n', id="braces-not-checked"),
    pytest.param("Distance:\u00a00.1\u2003\n", id="unicode-white-space-trimmed"),
    pytest.param('Detector_config: {pixel1: x, "Pixel2": x, "pixel1" : "a:b", "orientation": x}\n',
                 id="detector-config-ignores-other-entries"),
] + [pytest.param(f"Distance: {v}\n", id=f"float-{v}") for v in GOOD_FLOATS])
def test_well_formed_or_ignorable_poni_content_loads(write_poni, content):
    Integrator(write_poni(content))


@pytest.mark.parametrize("content, message", [
    ("Distance\n", EMPTY),
    ("Distance:\n", EMPTY),
    ("Distance:  \t\r\n", EMPTY),
    ("Distance: x\nDistance: 0.1\n", INVALID),
    ('Detector_config: {"pixel1": 7.5e-05x, "pixel2": 7.5e-05}\n', INVALID),
    ('Detector_config: {"pixel1": 1e-4, "pixel2": }\n', EMPTY),
    (b"Distance: 0.1\n\xff\xfe\nDistance: x\n", INVALID),
    (b"Distance: 0.1\xff\n", INVALID),
    ('Detector_config: {"pixel1": 1e-4\n', INVALID),
    ("\u2003Distance\u00a0: x\n", INVALID),
] + [(f"Distance: {v}\n", INVALID) for v in BAD_FLOATS] + [(f"{k}: one\n", INVALID) for k in NUMERIC_KEYS])
def test_bad_numbers_fail_the_whole_load(write_poni, content, message):
    with pytest.raises(ValueError) as exc:
        Integrator(write_poni(content))
    assert str(exc.value) == message


@pytest.mark.parametrize("content", ["Detector_config: {\n", "Detector_config:\n",
                                     "Detector_config: {\u00e9\n"])
def test_truncated_detector_config_is_a_load_error(write_poni, content):
    with pytest.raises(ValueError, match=f"^{FAIL}"):
        Integrator(write_poni(content))


def test_unreadable_paths_report_the_system_error(tmp_path):
    with pytest.raises(ValueError) as missing:
        Integrator(str(tmp_path / "absent.poni"))
    assert str(missing.value) == FAIL + "No such file or directory (os error 2)"
    with pytest.raises(ValueError) as directory:
        Integrator(str(tmp_path))
    assert str(directory.value) == FAIL + "Is a directory (os error 21)"


class DictChild(dict):
    pass


@pytest.mark.parametrize("poni", [
    {},
    {"distance": 1, "pixel1": 75e-6, "pixel2": Real(75e-6), "wavelength": 1e-10},
    {"Distance": None, "spline_file": None, "other": "x"},
    DictChild(distance=0.1),
    collections.OrderedDict(distance=0.1),
    collections.defaultdict(str, distance=0.1),
], ids=["empty", "ints-and-convertibles", "other-keys-ignored", "subclass", "ordered",
        "default-factory-not-used"])
def test_poni_dicts_that_load(poni):
    assert type(Integrator.from_poni_dict(poni)) is Integrator


@pytest.mark.parametrize("value", [None, "0.1", [0.1], 1j])
def test_poni_dict_conversion_error_is_the_interpreters(value):
    with pytest.raises(Exception) as expected:
        math.fabs(value)  # the interpreter's own float conversion
    with pytest.raises(type(expected.value)) as got:
        Integrator.from_poni_dict({"distance": value})
    assert str(got.value) == str(expected.value)


def test_poni_dict_exception_passes_through_and_later_keys_are_not_read():
    err, read = LookupError("boom"), []
    with pytest.raises(LookupError) as got:
        Integrator.from_poni_dict({"wavelength": Real(1, hook=lambda: read.append(1)),
                                   "poni1": Real(0, hook=lambda: (_ for _ in ()).throw(err))})
    assert got.value is err and notes(got.value) == [] and read == []


@pytest.mark.parametrize("poni", [[("distance", 0.1)], None, "distance",
                                  types.MappingProxyType({"distance": 0.1})])
def test_poni_dict_must_be_a_dict(poni):
    with pytest.raises(TypeError) as exc:
        Integrator.from_poni_dict(poni)
    assert notes(exc.value) == ["while processing 'poni_dict'"]


@pytest.mark.parametrize("source, kwargs, exc_type, text", [
    ("missing", dict(method="bogus"), ValueError, "Failed to load PONI"),
    ("good", dict(method="bogus", unit="bogus"), ValueError, "Unknown integration method"),
    ({"distance": None}, dict(method="bogus"), TypeError, "must be real number"),
    ("missing", dict(unit=5), TypeError, "while processing 'unit'"),
    ("good", dict(method="bogus", radial_range=[0, 1]), TypeError, "while processing 'radial_range'"),
    ("good", dict(method=1, polarization_factor="x"), TypeError, "while processing 'method'"),
    ("good", dict(n_ss="x", unit=3), TypeError, "while processing 'n_ss'"),
])
def test_first_failure_in_documented_order_is_reported(poni_path, tmp_path, source, kwargs,
                                                       exc_type, text):
    with pytest.raises(exc_type) as exc:
        if isinstance(source, dict):
            Integrator.from_poni_dict(source, **kwargs)
        else:
            Integrator(poni_path if source == "good" else str(tmp_path / "x.poni"), **kwargs)
    assert text in " ".join([str(exc.value)] + notes(exc.value))


@pytest.mark.parametrize("name", ["pixel_split", "pixelsplit", "pixelsplitting", "ps", "PS",
                                  "Pixel_Split", "PIXELSPLITTING", "supersampled", "supersample",
                                  "ss", "SS", "SuperSampled", "histogram", "hist", "HIST",
                                  "counting", "count", "Count"])
def test_method_names_accepted_in_any_letter_case(poni_path, ai, name):
    Integrator(poni_path, method=name)
    Integrator.from_poni_dict({}, method=name)
    assert ai.set_method(name) is None


@pytest.mark.parametrize("name", ["FOO", "pixel-split", " ps", "ps ", "", "Pixel Split",
                                  "hist\n", "\u00c9T\u00c9", "H\u0130ST"])
def test_unknown_method_reported_lower_cased_and_untrimmed(poni_path, ai, name):
    message = "Unknown integration method: " + name.lower()
    for call in (lambda: Integrator(poni_path, method=name),
                 lambda: Integrator.from_poni_dict({}, method=name),
                 lambda: ai.set_method(name)):
        with pytest.raises(ValueError) as exc:
            call()
        assert str(exc.value) == message


@pytest.mark.parametrize("name", ["ss", "supersampled", "SUPERSAMPLE"])
def test_supersampling_refuses_zero_subsamples(poni_path, ai, name):
    for call in (lambda: Integrator(poni_path, method=name, n_ss=0),
                 lambda: Integrator.from_poni_dict({}, method=name, n_ss=0),
                 lambda: ai.set_method(name, n_ss=0)):
        with pytest.raises(ValueError, match="^n_ss must be positive$"):
            call()


@pytest.mark.parametrize("name", ["counting", "hist", "ps", None])
def test_subsample_count_ignored_by_other_methods(poni_path, ai, name):
    Integrator(poni_path, method=name, n_ss=0)
    if name is not None:
        ai.set_method(name, n_ss=0)


def test_supersampling_accepts_any_positive_count(poni_path, ai):
    Integrator(poni_path, method="ss", n_ss=2**64 - 1)
    Integrator(poni_path, method="ss", n_ss=Real(3))
    ai.set_method("supersampled")
    ai.set_method("ss", n_ss=7)
    ai.set_method(method="ss", n_ss=1)
    with pytest.raises(OverflowError):
        ai.set_method("ss", n_ss=2**64)


UNITS = [(n, "2th_rad") for n in ["2th_rad", "tth_rad", "2theta_rad", "2TH_RAD"]] + \
        [(n, "2th_deg") for n in ["2th_deg", "tth_deg", "2theta_deg", "2TH_DEG", "TTH_deg",
                                  "2Theta_Deg"]] + \
        [(n, "q_A^-1") for n in ["q_a^-1", "q_a", "q_angstrom", "Q_A^-1", "q_A", "Q_Angstrom"]] + \
        [(n, "q_nm^-1") for n in ["q_nm^-1", "q_nm", "Q_NM", "Q_nm^-1"]]


@pytest.mark.parametrize("name, canonical", UNITS + [(None, "2th_rad")])
def test_unit_aliases_read_back_as_canonical_names(poni_path, name, canonical):
    assert Integrator(poni_path, unit=name).get_unit() == canonical
    assert Integrator.from_poni_dict({}, unit=name).get_unit() == canonical
    ai = Integrator(poni_path, unit="q_nm" if canonical == "2th_rad" else None)
    ai.set_unit(name or "2th_rad")
    assert ai.get_unit() == canonical


@pytest.mark.parametrize("name", ["2th", "2th_rad ", "", " q_nm", "Q_XYZ", "degrees",
                                  "\u00c5NGSTR\u00d6M"])
def test_unknown_unit_is_refused_and_changes_nothing(poni_path, ai, name):
    message = "Unknown radial unit: " + name.lower() + UNIT_OPTIONS
    with pytest.raises(ValueError) as exc:
        Integrator(poni_path, unit=name)
    assert str(exc.value) == message
    ai.set_unit("2th_deg")
    with pytest.raises(ValueError) as exc:
        ai.set_unit(name)
    assert str(exc.value) == message
    assert ai.get_unit() == "2th_deg"


def test_q_unit_accepted_without_wavelength_before_any_image(write_poni):
    ai = Integrator(write_poni("Distance: 0.1\n"), unit="q_nm")
    ai.set_unit("q_A")
    assert ai.get_unit() == "q_A^-1"


@pytest.mark.parametrize("value, length", [((0, 1, 2), 3), ((1,), 1), ((), 0)])
def test_radial_range_needs_two_values(poni_path, value, length):
    with pytest.raises(ValueError) as exc:
        Integrator(poni_path, radial_range=value)
    assert str(exc.value) == f"expected tuple of length 2, but got tuple of length {length}"


@pytest.mark.parametrize("value", [(math.nan, 1), (0, math.nan), (-math.inf, 0), (0, math.inf),
                                   (1, 1), (2, 1), (0.0, -0.0)])
def test_radial_range_must_be_finite_and_increasing(poni_path, value):
    for call in (lambda: Integrator(poni_path, radial_range=value),
                 lambda: Integrator.from_poni_dict({}, radial_range=value)):
        with pytest.raises(ValueError, match="^radial_range must be finite with min < max$"):
            call()


@pytest.mark.parametrize("value", [(0, 1), (-1.5, 2.0), (0.0, 5e-324), (Real(0.1), Real(2)),
                                   collections.namedtuple("Span", "lo hi")(0.1, 0.2)])
def test_radial_range_accepts_pairs_that_convert_to_float(poni_path, value):
    Integrator(poni_path, radial_range=value)
    Integrator.from_poni_dict({}, radial_range=value)


@pytest.mark.parametrize("call, exc_type, name", [
    (lambda p, ai: Integrator(p, method=1), TypeError, "method"),
    (lambda p, ai: Integrator(p, polarization_factor="0.5"), TypeError, "polarization_factor"),
    (lambda p, ai: Integrator(p, polarization_factor=object()), TypeError, "polarization_factor"),
    (lambda p, ai: Integrator(p, n_ss=-1), OverflowError, "n_ss"),
    (lambda p, ai: Integrator(p, n_ss=2.0), TypeError, "n_ss"),
    (lambda p, ai: Integrator(p, unit=b"q_nm"), TypeError, "unit"),
    (lambda p, ai: Integrator(p, radial_range=[0, 1]), TypeError, "radial_range"),
    (lambda p, ai: Integrator(p, radial_range=(0, "1")), TypeError, "radial_range"),
    (lambda p, ai: Integrator(__import__("pathlib").Path(p)), TypeError, "poni_path"),
    (lambda p, ai: ai.set_method(3), TypeError, "method"),
    (lambda p, ai: ai.set_method("ss", n_ss=-2), OverflowError, "n_ss"),
    (lambda p, ai: ai.set_polarization_factor("x"), TypeError, "polarization_factor"),
    (lambda p, ai: ai.set_unit(2), TypeError, "unit"),
    (lambda p, ai: ai.set_unit(None), TypeError, "unit"),
    (lambda p, ai: ai.set_method("ss", n_ss=Real(0, hook=lambda: 1 / 0)), ZeroDivisionError, "n_ss"),
])
def test_conversion_failure_keeps_its_type_and_names_the_argument(poni_path, ai, call, exc_type, name):
    with pytest.raises(exc_type) as exc:
        call(poni_path, ai)
    assert notes(exc.value) == [f"while processing '{name}'"]


@pytest.mark.parametrize("factor", [None, 1, 0.5, Real(0.9), 2**70])
def test_polarization_factor_accepts_numbers_and_float_convertibles(poni_path, ai, factor):
    Integrator(poni_path, polarization_factor=factor)
    Integrator.from_poni_dict({}, polarization_factor=factor)
    assert ai.set_polarization_factor(factor) is None


@pytest.mark.parametrize("call", [
    lambda p, ai: Integrator(),
    lambda p, ai: Integrator(p, bogus=1),
    lambda p, ai: Integrator(p, "hist", 0.5, 3, "2th_deg", (0, 1), None),
    lambda p, ai: Integrator.from_poni_dict(),
    lambda p, ai: ai.set_unit(),
    lambda p, ai: ai.set_polarization_factor(),
    lambda p, ai: ai.set_method(),
    lambda p, ai: ai.get_unit(1),
    lambda p, ai: ai.clear_mask(1),
])
def test_missing_or_surplus_arguments_are_type_errors(poni_path, ai, call):
    with pytest.raises(TypeError):
        call(poni_path, ai)


def test_arguments_bind_by_position_or_keyword_and_subclasses_construct(poni_path):
    Integrator(poni_path, "hist", 0.5, 3, "2th_deg", (0, 1))
    ai = Integrator(poni_path=poni_path, method="ss", n_ss=2, unit="q_nm", radial_range=(0, 1))
    ai.set_unit(unit="2th_deg")
    ai.set_polarization_factor(polarization_factor=0.9)
    assert ai.clear_mask() is None and ai.clear_mask() is None and ai.get_unit() == "2th_deg"
    Sub = type("Sub", (Integrator,), {})
    assert type(Sub(poni_path)) is Sub
    assert type(Sub.from_poni_dict(poni_dict={})) is Integrator


@pytest.mark.parametrize("setter, reenter, message", [
    ("set_method", "get_unit", "Already mutably borrowed"),
    ("set_polarization_factor", "get_unit", "Already mutably borrowed"),
    ("set_method", "clear_mask", "Already borrowed"),
    ("set_polarization_factor", "set_unit", "Already borrowed"),
])
def test_reentrant_use_during_a_setter_is_refused_and_released(ai, setter, reenter, message):
    args = ("q_A",) if reenter == "set_unit" else ()
    arg = Real(3, hook=lambda: getattr(ai, reenter)(*args))
    with pytest.raises(RuntimeError) as exc:
        ai.set_method("ss", n_ss=arg) if setter == "set_method" else ai.set_polarization_factor(arg)
    assert str(exc.value) == message
    assert ai.get_unit() == "2th_rad"
    ai.set_unit("2th_deg")
    assert ai.get_unit() == "2th_deg"


def run_in_thread(fn):
    """Run `fn` on a new thread and return what it raised.

    Cyclic garbage is collected first and collection is held off meanwhile, so the
    worker never frees an integrator left over from another test.
    """
    caught = []

    def body():
        try:
            fn()
        except BaseException as e:  # PanicException is not an Exception
            caught.append(e)
    gc.collect()
    gc.disable()
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        gc.enable()
    return caught


@pytest.mark.parametrize("call", [
    lambda ai: ai.get_unit(),
    lambda ai: ai.set_unit("2th_deg"),
    lambda ai: ai.set_unit(None),
    lambda ai: ai.set_method("hist"),
    lambda ai: ai.set_polarization_factor(0.5),
    lambda ai: ai.clear_mask(),
], ids=["get_unit", "set_unit", "set_unit-bad-arg", "set_method", "set_polarization", "clear_mask"])
def test_integrator_is_bound_to_its_creating_thread(ai, call):
    caught = run_in_thread(lambda: call(ai))
    assert [type(e) for e in caught] == [karvelum.PanicException]
    assert str(caught[0]) == UNSENDABLE + "sent to another thread"
    assert ai.get_unit() == "2th_rad"


def test_integrator_created_on_a_worker_thread_belongs_to_it(poni_path):
    box = []
    assert run_in_thread(lambda: box.append(Integrator(poni_path, unit="2th_deg").get_unit())) == []
    assert box == ["2th_deg"]


def test_dropping_on_another_thread_is_reported_as_unraisable(poni_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    box = [Integrator(poni_path)]
    assert run_in_thread(box.pop) == []
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [
        (RuntimeError, UNSENDABLE + "is being dropped on another thread")]
