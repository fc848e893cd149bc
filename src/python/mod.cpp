// The karvelum extension module: functions and classes in their fixed order.
#include <nanobind/nanobind.h>

#include "errors.hpp"
#include "pool.hpp"
#include "python/args.hpp"
#include "python/auto_calibrate.hpp"
#include "python/batch.hpp"
#include "python/calibration.hpp"
#include "python/exceptions.hpp"
#include "python/integrator.hpp"
#include "python/multi_integrator.hpp"
#include "python/results.hpp"
#include "python/rings.hpp"
#include "python/signature.hpp"

namespace nb = nanobind;

namespace karvelum::python {
namespace {

std::size_t rayon_num_threads() { return pool::current_thread_count(); }

void set_rayon_threads(nb::handle threads) {
    std::uint64_t count = arg_u64(threads, "threads");
    try {
        pool::init_global(static_cast<std::size_t>(count));
    } catch (const ValueError& e) {
        raise_value_error(std::string("Failed to set Rayon threads: ") + e.message());
    }
}

}  // namespace
}  // namespace karvelum::python

NB_MODULE(karvelum, m) {
    using namespace karvelum::python;
    m.doc() = "";
    nb::set_leak_warnings(false);
    register_exceptions(m);

    sig::def_function<&rayon_num_threads>(m, "rayon_num_threads()",
                                          "Number of threads of the work-stealing pool the caller runs in.");
    sig::def_function<&set_rayon_threads>(
        m, "set_rayon_threads(threads)", "Size the process-wide thread pool; possible once, before it is first used.");
    bind_refine(m);
    bind_ring_functions(m);
    bind_auto_calibrate(m);
    bind_estimate_ring_center(m);
    bind_integrator(m);
    bind_multi_integrator(m);
    bind_results(m);
    bind_batch_iterator(m);
    bind_calibration_classes(m);
    bind_ring_classes(m);
    bind_auto_calibrate_result(m);

    nb::list all;
    for (const char* name : {"rayon_num_threads", "set_rayon_threads", "refine", "find_peaks_massif", "ransac_ellipses",
                             "identify_rings", "find_peaks_image", "auto_calibrate", "estimate_ring_center",
                             "Integrator", "MultiIntegrator", "IntegrationResult", "BatchResult", "BatchIterator",
                             "Calibrant", "CalibrationPoints", "CalibrationResult", "EllipseFit", "RansacEllipseResult",
                             "RingIdResult", "AutoCalibrateResult"}) {
        all.append(name);
    }
    m.attr("__all__") = all;
}
