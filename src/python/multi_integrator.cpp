#include "python/multi_integrator.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "frame.hpp"
#include "multi.hpp"
#include "python/args.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/integrator.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

IntegratorRef::IntegratorRef(nb::object obj, std::shared_ptr<IntegratorCore> core)
    : object_(std::move(obj)), core_(std::move(core)) {}

IntegratorRef::IntegratorRef(IntegratorRef&& other) noexcept
    : object_(std::move(other.object_)), core_(std::move(other.core_)) {}

IntegratorRef::~IntegratorRef() {
    if (object_.is_valid()) nb::inst_ptr<PyIntegrator>(object_)->borrow.release_shared();
}

IntegratorRef extract_integrator(nb::handle value) {
    if (!nb::isinstance<PyIntegrator>(value)) {
        if (value.is_none()) raise_type_error("'None' is not an instance of 'Integrator'");
        raise_type_error("'" + type_qualname(value) + "' object is not an instance of 'Integrator'");
    }
    // An instance made by __new__ alone has no core to share.
    if (!nb::inst_ready(value)) raise_type_error("the Integrator was never initialised");
    PyIntegrator* integrator = nb::inst_ptr<PyIntegrator>(value);
    integrator->thread.check();
    integrator->borrow.acquire_shared();
    return IntegratorRef(nb::borrow(value), integrator->core);
}

std::vector<nb::object> sequence_items(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(value.ptr())) {
        raise_type_error("'" + type_qualname(value) + "' object is not an instance of 'Sequence'");
    }
    std::vector<nb::object> items;
    Py_ssize_t length = PySequence_Size(value.ptr());
    if (length < 0) PyErr_Clear();
    else items.reserve(static_cast<std::size_t>(length));
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(iterator.ptr())) items.push_back(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
    return items;
}

namespace {

void init_multi(PyMultiIntegrator* self, nb::handle integrators) {
    std::vector<IntegratorRef> refs;
    with_note("integrators", [&] {
        for (const nb::object& item : sequence_items(integrators)) refs.push_back(extract_integrator(item));
    });
    if (refs.empty()) raise_value_error("MultiIntegrator requires at least one integrator");
    std::vector<std::shared_ptr<IntegratorCore>> members;
    for (const IntegratorRef& r : refs) members.push_back(r.core());
    const IntegratorCore& first = *members[0];
    if (!first.radial_range) raise_value_error("All integrators must have a radial_range set for MultiIntegrator");
    for (std::size_t i = 0; i < members.size(); ++i) {
        const IntegratorCore& m = *members[i];
        const std::string index = std::to_string(i);
        if (m.method.kind == MethodKind::Histogram) {
            raise_value_error("MultiIntegrator does not support Histogram method (integrator " + index + ")");
        }
        // Overlap areas and pixel counts are weights of different units.
        if ((m.method.kind == MethodKind::PixelSplit) != (first.method.kind == MethodKind::PixelSplit)) {
            raise_value_error("MultiIntegrator cannot mix pixel splitting with other methods (integrator " + index +
                              " differs)");
        }
        if (m.unit != first.unit) {
            raise_value_error("All integrators must have the same radial_unit (integrator " + index + " differs)");
        }
        if (!m.radial_range) {
            raise_value_error("All integrators must have a radial_range set (integrator " + index + " missing)");
        }
        const double eps = 2.220446049250313e-16;
        if (std::fabs(m.radial_range->first - first.radial_range->first) > eps ||
            std::fabs(m.radial_range->second - first.radial_range->second) > eps) {
            raise_value_error("All integrators must have the same radial_range (integrator " + index + " differs)");
        }
    }
    new (self) PyMultiIntegrator(std::move(members));
}

// The images of one frame set, each in its own form: a path decoded into a
// frame, an array read in place.
struct FrameSet {
    std::vector<ImageInput> inputs;
    std::vector<ImageFrame> frames;
    std::vector<ImageView> views;
};

std::vector<ImageInput> image_list(nb::handle value) {
    std::vector<ImageInput> inputs;
    for (const nb::object& item : sequence_items(value)) inputs.push_back(extract_image_input(item));
    return inputs;
}

// `frame_label` is "" for integrate1d and " frame {k}" for batch1d.
void prepare(FrameSet& set, const std::string& frame_label) {
    set.frames.resize(set.inputs.size());
    for (std::size_t i = 0; i < set.inputs.size(); ++i) {
        if (auto* array = std::get_if<ArrayView>(&set.inputs[i])) {
            require_c_contiguous_f64(*array);
            set.views.push_back({contiguous_samples(*array, "Array must be contiguous"), array->rows(), array->cols()});
            continue;
        }
        try {
            load_tiff_frame(set.frames[i], std::get<std::string>(set.inputs[i]));
        } catch (const LoadError& e) {
            raise_value_error("Failed to load TIFF for detector " + std::to_string(i) + frame_label + ": " + e.what());
        }
        set.views.push_back({set.frames[i].data, set.frames[i].dim1, set.frames[i].dim2});
    }
}

PyIntegrationResult merge(PyMultiIntegrator& self, const FrameSet& set, std::uint64_t n_points, bool errors) {
    std::vector<IntegratorCore*> cores;
    for (const auto& m : self.members) cores.push_back(m.get());
    Integration1dOutput out = integrate1d_raw(cores, set.views, n_points, errors);
    return result_from_1d(std::move(out));
}

nb::object multi_integrate1d(PyMultiIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    FrameSet set;
    set.inputs = with_note("images", [&] { return image_list(images); });
    const std::uint64_t n = arg_u64(n_points, "n_points");
    const bool with_errors = arg_flag(errors, "errors");
    if (n == 0) raise_value_error("n_points must be positive");
    if (set.inputs.size() != self.members.size()) {
        raise_value_error("Expected " + std::to_string(self.members.size()) + " images (one per detector), got " +
                          std::to_string(set.inputs.size()));
    }
    prepare(set, "");
    return new_integration_result(merge(self, set, n, with_errors));
}

nb::object multi_batch1d(PyMultiIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    std::vector<FrameSet> sets;
    with_note("images", [&] {
        for (const nb::object& inner : sequence_items(images)) {
            sets.emplace_back();
            sets.back().inputs = image_list(inner);
        }
    });
    const std::uint64_t n = arg_u64(n_points, "n_points");
    const bool with_errors = arg_flag(errors, "errors");
    if (n == 0) raise_value_error("n_points must be positive");
    std::vector<PyIntegrationResult> results;
    results.reserve(sets.size());
    for (std::size_t k = 0; k < sets.size(); ++k) {
        FrameSet& set = sets[k];
        if (set.inputs.size() != self.members.size()) {
            raise_value_error("Frame set " + std::to_string(k) + " has " + std::to_string(set.inputs.size()) +
                              " images, expected " + std::to_string(self.members.size()) + " (one per detector)");
        }
        prepare(set, " frame " + std::to_string(k));
        results.push_back(merge(self, set, n, with_errors));
        set.frames.clear();
    }
    nb::list out;
    for (PyIntegrationResult& r : results) out.append(new_integration_result(std::move(r)));
    return std::move(out);
}

}  // namespace

PyMultiIntegrator::~PyMultiIntegrator() {
    if (thread.on_owner_thread()) return;
    thread.report_foreign_drop();
    // Dropped on a foreign thread: the members stay in use for good.
    new std::vector<std::shared_ptr<IntegratorCore>>(std::move(members));
}

void bind_multi_integrator(nb::module_& m) {
    auto cls = sig::def_class<PyMultiIntegrator, &init_multi>(m, "MultiIntegrator(integrators)", "");
    sig::def_method<&multi_integrate1d>(
        cls, "integrate1d($self, images, n_points, errors=False)",
        "Integrate one image per detector and merge into a single 1D pattern.\n\n"
        "# Arguments\n"
        "* `images` - List of images (file paths or NumPy arrays), one per detector\n"
        "* `n_points` - Number of bins for the 1D integration output\n"
        "* `errors` - Whether to compute error estimates (default: False)\n\n"
        "# Returns\n"
        "IntegrationResult with merged radial values, intensities, and optional errors");
    sig::def_method<&multi_batch1d>(
        cls, "batch1d($self, images, n_points, errors=False)",
        "Batch integrate multiple sets of detector images.\n\n"
        "# Arguments\n"
        "* `images` - List of image-lists, e.g. `[[det1_frame1, det2_frame1], ...]`\n"
        "* `n_points` - Number of bins for the 1D integration output\n"
        "* `errors` - Whether to compute error estimates (default: False)\n\n"
        "# Returns\n"
        "List of IntegrationResult, one per frame set");
}

}  // namespace karvelum::python
