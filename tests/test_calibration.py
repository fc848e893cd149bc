"""Calibrants, control points and geometry refinement, against control points made on the rings of a known
geometry by the numpy model of oracle.py."""
import math
import os
import pathlib

import numpy as np
import pytest

import karvelum
import oracle
from calibrant_images import LAB6, parameter_spread
from karvelum import Calibrant, CalibrationPoints, refine

TRUE = dict(pixel1=1e-4, pixel2=1e-4, distance=0.1, poni1=0.051, poni2=0.048, rot1=0.02, rot2=-0.015, rot3=0.3,
            wavelength=1e-10)
# Off by 2 % in distance, 0.5 mm in the PONI and 0.01 rad in the tilts; rot3 leaves 2-theta alone.
START = dict(TRUE, distance=0.102, poni1=0.0515, poni2=0.0475, rot1=0.03, rot2=-0.005, rot3=0.7)
FITTED = ("distance", "poni1", "poni2", "rot1", "rot2")
RING_ANGLES = oracle.ring_two_theta(LAB6, TRUE["wavelength"])


def ring_points(per_ring=12, rings=5, noise=0.0, seed=0):
    """Pixel coordinates on the first `rings` rings of TRUE, spread in azimuth, and their ring indices."""
    ring = np.repeat(np.arange(rings), per_ring)
    chi = np.tile(np.linspace(-np.pi, np.pi, per_ring, endpoint=False), rings) + 0.1
    d1, d2 = oracle.ring_points(TRUE, RING_ANGLES[ring], chi)
    rng = np.random.default_rng(seed)
    return d1 + noise * rng.standard_normal(d1.size), d2 + noise * rng.standard_normal(d1.size), ring


def points_of(d1, d2, ring):
    points = CalibrationPoints()
    points.extend(list(d1), list(d2), [None if r is None else int(r) for r in ring])
    return points


@pytest.fixture(scope="module")
def lab6():
    return Calibrant.from_d_spacings("LaB6", LAB6)


@pytest.fixture(scope="module")
def exact_points():
    return points_of(*ring_points())


def plain(x):
    return np.format_float_positional(x, trim="-")


@pytest.mark.parametrize("noise", [0.0, 0.25])
@pytest.mark.parametrize("start_from", ["dict", "integrator"])
def test_refine_recovers_the_geometry_within_the_noise(lab6, noise, start_from):
    d1, d2, ring = ring_points(per_ring=40, noise=noise, seed=3)
    start = START if start_from == "dict" else karvelum.Integrator.from_poni_dict(START)
    result = refine(start, points_of(d1, d2, ring), lab6)
    poni = result.poni
    assert list(poni) == list(oracle.GEOMETRY_KEYS) and all(type(v) is float for v in poni.values())
    # rot3 cannot be fitted from 2-theta and comes back as given; the wavelength is fixed by default.
    assert [poni[k] for k in ("pixel1", "pixel2", "rot3", "wavelength")] == \
        [START[k] for k in ("pixel1", "pixel2", "rot3", "wavelength")]
    residuals = oracle.point_two_theta(poni, d1, d2) - RING_ANGLES[ring]
    assert result.chi2 == pytest.approx(np.sum(residuals ** 2), rel=1e-6, abs=1e-28)
    assert result.rms_rad == pytest.approx(np.sqrt(np.mean(residuals ** 2)), rel=1e-6, abs=1e-15)
    # Expected spread of each parameter from the noise: sigma^2 (J^T J)^-1 with J from the numpy model.
    spread = parameter_spread(TRUE, np.stack([d1, d2], -1), LAB6, FITTED)
    for name in FITTED:
        assert abs(poni[name] - TRUE[name]) <= 1e-9 * abs(TRUE[name]) + 5 * spread[name], name
    assert result.assignments == ring.tolist() and result.inliers == [True] * d1.size
    assert result.assignments is not result.assignments
    assert repr(result) == f"CalibrationResult(n_iter={result.n_iter}, chi2={plain(result.chi2)}, " \
                           f"rms_rad={plain(result.rms_rad)})"


@pytest.mark.parametrize("fix, fixed", [
    (None, {"wavelength"}),
    ([], set()),
    (["dist", "wl", "dist"], {"distance", "wavelength"}),
    (["poni1", "poni2", "rot1", "rot2", "rot3"], {"poni1", "poni2", "rot1", "rot2", "rot3"}),
])
def test_fixed_parameters_stay_bit_identical(lab6, exact_points, fix, fixed):
    start = dict(START, wavelength=1.002e-10)
    poni = refine(start, exact_points, lab6, fix=fix).poni
    assert {k for k in oracle.GEOMETRY_KEYS[2:] if poni[k] == start[k]} == fixed | {"rot3"}
    if not fixed:  # everything free, the wavelength too: the true geometry
        assert all(poni[k] == pytest.approx(TRUE[k], rel=1e-9) for k in FITTED + ("wavelength",))


@pytest.mark.parametrize("loss, same_as", [
    ("LSQ", None), ("least_squares", None), ({"type": "l2", "c": -1}, None),
    ("HUBER", {"type": "huber", "c": 1e-3}), ({"type": "Huber", "c": 2e-3}, {"type": "huber", "c": 0.002}),
])
def test_loss_spellings(lab6, loss, same_as):
    d1, d2, ring = ring_points(noise=0.5, seed=1)
    points = points_of(d1, d2, ring)
    assert refine(START, points, lab6, loss=loss).poni == refine(START, points, lab6, loss=same_as).poni


def test_huber_ignores_an_outlier_that_pulls_l2_away(lab6):
    d1, d2, ring = ring_points()
    o1, o2 = oracle.ring_points(TRUE, RING_ANGLES[2] + 0.05, 0.5)
    points = points_of(np.append(d1, o1), np.append(d2, o2), np.append(ring, 2))
    error = lambda poni: max(abs(poni[k] - TRUE[k]) / abs(TRUE[k]) for k in FITTED)
    assert error(refine(START, points, lab6).poni) > 0.1
    assert error(refine(START, points, lab6, loss={"type": "huber", "c": 1e-6}).poni) < 1e-4


def test_auto_assign_labels_points_within_assign_tol(lab6):
    d1, d2, ring = ring_points()
    s1, s2 = oracle.ring_points(TRUE, 0.29, 1.0)  # 0.049 and 0.052 rad from rings 0 and 1
    labels = [None] * ring.size + [None]
    labels[5] = int(ring[5])
    result = refine(START, points_of(np.append(d1, s1), np.append(d2, s2), labels), lab6, auto_assign=True,
                    assign_tol=0.03)
    assert result.assignments == ring.tolist() + [None]
    assert result.inliers == [True] * ring.size + [False]
    assert all(result.poni[k] == pytest.approx(TRUE[k], rel=1e-9) for k in FITTED)
    assert result.rms_rad < 1e-14  # the stray point does not count


ALL_FIXED = ["distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength"]


@pytest.mark.parametrize("kwargs, n_iter", [(dict(max_iter=0), 1), (dict(fix=ALL_FIXED), 16),
                                            (dict(fix=ALL_FIXED, max_iter=5), 5)])
def test_fits_that_cannot_move_end_at_the_start(lab6, kwargs, n_iter):
    d1, d2, ring = ring_points(rings=3)
    result = refine(START, points_of(d1, d2, ring), lab6, **kwargs)
    assert result.n_iter == n_iter and result.poni == START
    residuals = oracle.point_two_theta(START, d1, d2) - RING_ANGLES[ring]
    assert result.chi2 == pytest.approx(np.sum(residuals ** 2), rel=1e-12)


@pytest.mark.parametrize("rot3", [4.0, -math.pi, 1e300])
def test_accepted_steps_wrap_rotations_into_minus_pi_to_pi(lab6, exact_points, rot3):
    wrapped = math.remainder(rot3, 2 * math.pi)
    wrapped = wrapped + 2 * math.pi if wrapped <= -math.pi else wrapped
    assert refine(dict(START, rot3=rot3), exact_points, lab6).poni["rot3"] == wrapped


def points_list(*rows):
    points = CalibrationPoints()
    for row in rows:
        points.add(*row)
    return points


# Arguments replaced in a valid call, and the exception expected: type, message (None: not checked), note.
REFUSED = {
    "no points": (dict(points=CalibrationPoints(), start=dict(TRUE, wavelength=0.0)), ValueError, "no control points provided", None),
    # Missing points and a bad wavelength are reported whatever else is wrong with the start.
    "no points, non-finite start": (dict(points=CalibrationPoints(), start=dict(START, distance=math.nan)), ValueError,
                                    "no control points provided", None),
    "no wavelength, non-finite start": (dict(start=dict(START, wavelength=0.0, rot1=math.inf)), ValueError,
                                        "wavelength must be positive and finite", None),
    "no wavelength": (dict(start={k: v for k, v in START.items() if k != "wavelength"}), ValueError,
                      "wavelength must be positive and finite", None),
    "infinite wavelength": (dict(start=dict(START, wavelength=math.inf)), ValueError,
                            "wavelength must be positive and finite", None),
    "ring out of range": (dict(points=points_list((1, 1, 0), (2, 2, 4), (3, 3, 7), (4, 4)),
                               calibrant=Calibrant.from_d_spacings("five", LAB6[:5])), ValueError,
                          "point 2 references ring 7 but calibrant has only 5 rings", None),
    "unassigned": (dict(points=points_list((1, 1, 0), (2, 2), (3, 3))), ValueError,
                   "point 1 has no ring assigned but auto_assign_rings is off", None),
    "non-finite point": (dict(points=points_list((1, 1, 0), (math.nan, 2, 0))), ValueError,
                         "point 1 has non-finite coordinates", None),
    "underdetermined": (dict(points=points_list((1, 1, 0), (2, 2, 1)), fix=["poni1", "poni2", "rot3", "wl"]),
                        ValueError, "underdetermined: 2 effective points < 3 free parameters", None),
    # 2-theta of about 1e-155 rad: the distance column of the Jacobian squares to below 1e-300.
    "singular": (dict(start=dict(pixel1=1e-155, pixel2=1e-155, distance=1.0, wavelength=1e-10),
                      points=points_list((0, 0, 0), (1, 0, 0), (0, 1, 0)),
                      calibrant=Calibrant.from_d_spacings("tiny", [1e155]), fix=ALL_FIXED[1:6]),
                 ValueError, "normal-equations matrix is singular", None),
    "start list": (dict(start=[START], loss="bogus"), ValueError,
                   "start must be a karvelum.Integrator or a PONI dict", None),
    "start value": (dict(start=dict(START, distance="far")), TypeError, None, None),
    **{f"start {key} {value}": (dict(start=dict(START, **{key: value})), ValueError, f"start {key} must be finite", None)
       for key, value in (("distance", math.nan), ("poni1", math.inf), ("rot3", -math.inf), ("pixel2", math.nan))},
    "fix tuple": (dict(fix=("rot3",)), TypeError, None, "fix"),
    "fix unknown": (dict(fix=["rot3", "Distance"]), ValueError, "unknown parameter 'Distance' in fix list", None),
    "fix item": (dict(fix=[3]), TypeError, None, None),
    "loss type": (dict(loss=3), ValueError, "loss must be a string or a dict like {type:'huber', c:1e-3}", None),
    "loss name": (dict(loss="Cauchy"), ValueError,
                  "unknown loss 'cauchy'; use 'l2' or 'huber' or a dict like {type:'huber', c:1e-3}", None),
    "loss dict": (dict(loss={"c": 1e-3}), ValueError, "loss dict needs a 'type' key", None),
    "loss dict name": (dict(loss={"type": "LSQ"}), ValueError, "unknown loss type 'lsq'", None),
    "loss dict type": (dict(loss={"type": 1}), TypeError, None, None),
    "huber without c": (dict(loss={"type": "huber"}), ValueError, "huber loss needs 'c' (rad)", None),
    "huber zero c": (dict(loss={"type": "huber", "c": 0.0}), ValueError,
                     "huber loss needs a positive finite 'c' (rad)", None),
    "huber nan c": (dict(loss={"type": "huber", "c": math.nan}), ValueError,
                    "huber loss needs a positive finite 'c' (rad)", None),
    "points": (dict(points=[(1.0, 2.0)]), TypeError, None, "points"),
    "calibrant": (dict(calibrant=LAB6), TypeError, None, "calibrant"),
    "auto_assign": (dict(auto_assign=1), TypeError, None, "auto_assign"),
    "assign_tol": (dict(assign_tol=None), TypeError, None, "assign_tol"),
    "max_iter": (dict(max_iter=-1), OverflowError, None, "max_iter"),
    "tol": (dict(tol="small"), TypeError, None, "tol"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refine_refusals(lab6, exact_points, assert_refused, case):
    changes, *expected = REFUSED[case]
    arguments = dict(start=START, points=exact_points, calibrant=lab6) | changes
    assert_refused(lambda: refine(**arguments), *expected)


def test_an_integrator_of_another_thread_is_a_panic(lab6, exact_points, on_other_thread):
    ai = karvelum.Integrator.from_poni_dict(START)
    error = on_other_thread(lambda: refine(ai, exact_points, lab6), caught=True)
    assert isinstance(error, karvelum.PanicException)


# --- calibrants ---------------------------------------------------------------


@pytest.mark.parametrize("file_name, name, content, values", [  # the name is the file stem
    ("LaB6.D", "LaB6", b"# LaB6\n\n4.15690 1 0 0\n2.93937 # (110)\n-1\n", [4.15690, 2.93937]),
    ("Si.cal.D", "Si.cal", b"1.0\r\n3.0\r\n\r\n2.0", [3.0, 2.0, 1.0]),
    (".D", ".D", b"1.0\n2.5\r", [2.5, 1.0]),
    ("a.", "a", b"nan\ninf\n1e0\n.5\n+2.\n0\n", [math.inf, 2.0, 1.0, 0.5]),
    ("CeO2", "CeO2", "\u00a01.5\u2003x\n\t2#\u3000".encode(), [2.0, 1.5]),
    ("Si.D", "Si", b"3.1\n", [3.1]),
])
def test_d_file_values_largest_first_and_the_name(tmp_path, file_name, name, content, values):
    (tmp_path / file_name).write_bytes(content)
    calibrant = Calibrant.from_file(str(tmp_path / file_name))
    assert calibrant.d_spacings == values and calibrant.n_rings() == len(values) and calibrant.name == name


@pytest.mark.parametrize("content, message", [
    (b"# c\n\nabc\n1.0\n", 'could not parse d-spacing on line 3: "abc"'),
    (b'1.0\n\t1,5 "q"\\ \x01 # n\r\n', 'could not parse d-spacing on line 2: "\\t1,5 \\"q\\"\\\\ \\u{1} # n"'),
    (b"1.0\n2.0 \r\n3.0x\r", 'could not parse d-spacing on line 3: "3.0x\\r"'),
    (b"0\n-2.5\n", "no d-spacing entries found in file"),
    (b"# only a comment\n\n", "no d-spacing entries found in file"),
    (b"", "no d-spacing entries found in file"),
    (b"1.0\n\xff2.0\n", "I/O error: stream did not contain valid UTF-8"),
    (None, "I/O error: No such file or directory (os error 2)"),
    ("dir", "I/O error: Is a directory (os error 21)"),
    ("fifo", "I/O error: not a regular file"),  # read, it would block for ever
    ("/dev/zero", "I/O error: not a regular file"),  # read, it would never end
    ("huge", "I/O error: file is larger than 64 MiB"),
])
def test_d_file_failures_are_os_errors(tmp_path, content, message):
    path = tmp_path / "bad.D"
    if content == "dir":
        path.mkdir()
    elif content == "fifo":
        os.mkfifo(path)
    elif content == "/dev/zero":
        path = pathlib.Path(content)
    elif content == "huge":
        with open(path, "wb") as f:
            f.truncate((64 << 20) + 1)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError) as info:
        Calibrant.from_file(str(path))
    assert type(info.value) is OSError and str(info.value) == message


def test_from_d_spacings_keeps_every_value_largest_first_and_gives_ring_angles():
    calibrant = Calibrant.from_d_spacings("x", (0.0, -2.5, 4, 0.5, 0.4, 1.0))
    assert calibrant.d_spacings == [4.0, 1.0, 0.5, 0.4, 0.0, -2.5] and calibrant.n_rings() == 6
    assert calibrant.d_spacings is not calibrant.d_spacings
    expected = [2 * math.asin(0.125), 2 * math.asin(0.5), math.pi, None, None, -2 * math.asin(0.2)]
    angles = calibrant.two_theta_rad(1e-10)
    assert [a is None for a in angles] == [e is None for e in expected]
    assert [a for a in angles if a is not None] == pytest.approx([e for e in expected if e is not None], rel=1e-15)
    assert calibrant.two_theta_rad(math.nan) == [None] * 6 and Calibrant.from_d_spacings("", []).two_theta_rad(1) == []
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        Calibrant.from_d_spacings("x", "1.0")
    with pytest.raises(TypeError) as info:
        Calibrant.from_file(pathlib.Path("Si.D"))
    assert info.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize("name, shown", [
    ("LaB6", '"LaB6"'),
    ('a"b\\c\t\r\n\x00\x01\x7f\u00e9\u200b\u2028 ', '"a\\"b\\\\c\\t\\r\\n\\0\\u{1}\\u{7f}\u00e9\\u{200b}\\u{2028} "'),
    # unassigned, private use, a noncharacter, format, no-break and ideographic spaces are
    # escaped; a combining mark and an emoji are printable
    ("\u0378\ue000\uffff\u0600\u00a0\u3000e\u0301\U0001f600",
     '"\\u{378}\\u{e000}\\u{ffff}\\u{600}\\u{a0}\\u{3000}e\u0301\U0001f600"'),
])
def test_calibrant_repr_quotes_its_name(name, shown):
    assert repr(Calibrant.from_d_spacings(name, [1.0, 2.0, 3.0])) == f"Calibrant(name={shown}, n_rings=3)"


# --- control points -------------------------------------------------------------


def test_points_keep_what_add_and_extend_append(lab6):
    points = CalibrationPoints()
    points.add(7.0, 8.0, 1)
    points.clear()
    points.add(1, 2.5)
    points.add(3.0, 4.0, 3)
    points.extend([5.0, 6], (7.0, 8.0), [0, None])
    points.extend([], [], [])
    assert len(points) == 4
    # Nothing is auto-assigned with a negative tolerance, so the assignments are the labels as stored.
    result = refine(TRUE, points, lab6, fix=ALL_FIXED, auto_assign=True, assign_tol=-1.0, max_iter=0)
    assert result.assignments == [None, 3, 0, None] and result.inliers == [False, True, True, False]
    residuals = oracle.point_two_theta(TRUE, [3.0, 5.0], [4.0, 7.0]) - RING_ANGLES[[3, 0]]
    assert result.chi2 == pytest.approx(np.sum(residuals ** 2), rel=1e-12)


class Reenter:
    """A number whose conversion to float runs `action` first."""
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


REFUSED_POINTS = {
    "negative ring": (lambda p: p.add(1.0, 2.0, -1), OverflowError, None, "ring"),
    "float ring": (lambda p: p.add(1.0, 2.0, 1.5), TypeError, None, "ring"),
    "str coordinate": (lambda p: p.add("1", 2.0), TypeError, None, "d1"),
    "lengths": (lambda p: p.extend([1.0], [2.0, 3.0], [0]), ValueError,
                "d1, d2, and ring lists must have the same length", None),
    "str sequence": (lambda p: p.extend("ab", [1.0, 2.0], [0, 1]), TypeError, "Can't extract `str` to `Vec`", "d1"),
    "not a sequence": (lambda p: p.extend([1.0], 2.0, [0]), TypeError, None, "d2"),
    "negative ring in list": (lambda p: p.extend([1.0], [2.0], [-1]), OverflowError, None, "ring"),
    "add during add": (lambda p: p.add(Reenter(lambda: p.add(0.0, 0.0)), 1.0), RuntimeError, "Already borrowed", "d1"),
    "len during add": (lambda p: p.add(Reenter(lambda: len(p)), 1.0), RuntimeError, "Already mutably borrowed", "d1"),
    "refine during add": (lambda p: p.add(Reenter(lambda: refine(START, p, Calibrant.from_d_spacings("x", [1.0]))), 1.0),
                          RuntimeError, "Already mutably borrowed", ["points", "d1"]),
}


@pytest.mark.parametrize("case", REFUSED_POINTS)
def test_points_refuse_bad_input_appending_nothing(assert_refused, case):
    call, *expected = REFUSED_POINTS[case]
    points = points_list((1.0, 1.0, 0))
    assert_refused(lambda: call(points), *expected)
    assert len(points) == 1
