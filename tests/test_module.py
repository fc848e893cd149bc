import os

import pytest

import karvelum

CPUS = os.cpu_count()
ENVIRONMENTS = [({}, CPUS), ({"RAYON_NUM_THREADS": "3"}, 3), ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
                ({"RAYON_RS_NUM_CPUS": "5"}, 5), ({"RAYON_NUM_THREADS": "0"}, CPUS), ({"RAYON_NUM_THREADS": "-2"}, CPUS),
                ({"RAYON_NUM_THREADS": "many"}, CPUS), ({"RAYON_RS_NUM_CPUS": "0"}, CPUS), ({"RAYON_RS_NUM_CPUS": "-5"}, CPUS)]

def test_public_api_empty_doc_and_panics_escaping_except_exception():
    assert karvelum.__all__ == ["rayon_num_threads", "set_rayon_threads", "refine", "find_peaks_massif",
                                "ransac_ellipses", "identify_rings", "find_peaks_image", "auto_calibrate",
                                "estimate_ring_center", "Integrator", "MultiIntegrator", "IntegrationResult",
                                "BatchResult", "BatchIterator", "Calibrant", "CalibrationPoints", "CalibrationResult",
                                "EllipseFit", "RansacEllipseResult", "RingIdResult", "AutoCalibrateResult"]
    assert all(callable(getattr(karvelum, name)) for name in karvelum.__all__) and karvelum.__doc__ == ""
    assert issubclass(karvelum.PanicException, BaseException) and not issubclass(karvelum.PanicException, Exception)
    assert "PanicException" not in karvelum.__all__

@pytest.mark.parametrize("first, env, size", [(first, env, size) for env, size in ENVIRONMENTS
                                              for first in ("set_rayon_threads(0)", "rayon_num_threads()")]
                         + [("set_rayon_threads(4)", {"RAYON_NUM_THREADS": "3"}, 4)])
def test_pool_size_follows_the_environment_and_is_fixed_once_built(run_isolated, first, env, size):
    out = run_isolated(f"""
        import json, karvelum
        karvelum.{first}
        try:
            karvelum.set_rayon_threads(4)
        except ValueError as e:
            print(json.dumps([karvelum.rayon_num_threads(), str(e)]))
    """, **env)
    assert out == [size, "Failed to set Rayon threads: The global thread pool has already been initialized."]

def test_bad_and_huge_thread_counts_are_refused_without_building_the_pool(run_isolated):
    out = run_isolated("""
        import json, karvelum
        errors = []
        for arg in (-1, "4", 4.0, None, 2**32 + 2):
            try:
                karvelum.set_rayon_threads(arg)
            except Exception as e:
                errors.append([type(e).__name__, getattr(e, "__notes__", [])])
        karvelum.set_rayon_threads(threads=3)
        print(json.dumps([errors, karvelum.rayon_num_threads()]))
    """)
    note = ["while processing 'threads'"]
    assert out == [[["OverflowError", note]] + [["TypeError", note]] * 3 + [["ValueError", []]], 3]
