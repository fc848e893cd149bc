import os

import pytest

import karvelum

CPUS = os.cpu_count()
ALREADY = "Failed to set Rayon threads: The global thread pool has already been initialized."


def test_module_exports_exactly_its_public_api_and_has_empty_doc():
    assert karvelum.__all__ == ["rayon_num_threads", "set_rayon_threads", "Integrator", "MultiIntegrator", "IntegrationResult", "BatchResult"]
    assert all(callable(getattr(karvelum, name)) for name in karvelum.__all__)
    assert karvelum.__doc__ == ""


def test_panic_exception_is_not_caught_by_except_exception():
    assert issubclass(karvelum.PanicException, BaseException)
    assert not issubclass(karvelum.PanicException, Exception)
    assert "PanicException" not in karvelum.__all__


def test_set_rayon_threads_builds_the_pool_once(run_isolated):
    out = run_isolated("""
        import json, karvelum
        karvelum.set_rayon_threads(4)
        size = karvelum.rayon_num_threads()
        try:
            karvelum.set_rayon_threads(4)
            err = None
        except ValueError as e:
            err = str(e)
        print(json.dumps([size, err, karvelum.rayon_num_threads()]))
    """)
    assert out == [4, ALREADY, 4]


def test_pool_created_by_first_use_cannot_be_resized(run_isolated):
    out = run_isolated("""
        import json, karvelum
        size = karvelum.rayon_num_threads()
        try:
            karvelum.set_rayon_threads(2)
            err = None
        except ValueError as e:
            err = str(e)
        print(json.dumps([size, err, karvelum.rayon_num_threads()]))
    """)
    assert out == [CPUS, ALREADY, CPUS]


@pytest.mark.parametrize("first_call", ["set_rayon_threads(0)", "rayon_num_threads()"])
@pytest.mark.parametrize("env, expected", [
    pytest.param({}, CPUS, id="unset"),
    pytest.param({"RAYON_NUM_THREADS": "3"}, 3, id="num-threads"),
    pytest.param({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3, id="num-threads-first"),
    pytest.param({"RAYON_RS_NUM_CPUS": "5"}, 5, id="rs-num-cpus"),
    pytest.param({"RAYON_NUM_THREADS": "0"}, CPUS, id="num-threads-zero"),
    pytest.param({"RAYON_NUM_THREADS": "-2"}, CPUS, id="num-threads-negative"),
    pytest.param({"RAYON_NUM_THREADS": "many"}, CPUS, id="num-threads-not-a-number"),
    pytest.param({"RAYON_RS_NUM_CPUS": "0"}, CPUS, id="rs-num-cpus-zero"),
    pytest.param({"RAYON_RS_NUM_CPUS": "-5"}, CPUS, id="rs-num-cpus-negative"),
])
def test_default_pool_size_follows_environment(run_isolated, first_call, env, expected):
    out = run_isolated(f"""
        import json, karvelum
        karvelum.{first_call}
        print(json.dumps(karvelum.rayon_num_threads()))
    """, **env)
    assert out == expected


def test_bad_thread_counts_are_refused_without_building_the_pool(run_isolated):
    out = run_isolated("""
        import json, karvelum
        errors = []
        for arg in (-1, "4", 4.0, None):
            try:
                karvelum.set_rayon_threads(arg)
                errors.append(None)
            except Exception as e:
                errors.append([type(e).__name__, getattr(e, "__notes__", [])])
        karvelum.set_rayon_threads(threads=3)
        print(json.dumps([errors, karvelum.rayon_num_threads()]))
    """)
    note = ["while processing 'threads'"]
    assert out == [[["OverflowError", note], ["TypeError", note],
                    ["TypeError", note], ["TypeError", note]], 3]



def test_huge_thread_count_is_refused_not_truncated(run_isolated):
    out = run_isolated("""
        import json, karvelum
        try:
            karvelum.set_rayon_threads(2**32 + 2)
            print(json.dumps(karvelum.rayon_num_threads()))
        except (ValueError, OverflowError, MemoryError) as e:
            print(json.dumps(type(e).__name__))
    """)
    assert out in ("ValueError", "OverflowError", "MemoryError", 2**32 + 2)
