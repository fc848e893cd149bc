#include "python/multi_integrator.hpp"

#include <string>

#include "multi.hpp"
#include "python/args.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/integrator.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

void init_multi(PyMultiIntegrator* self, nb::handle integrators) {
    std::vector<IntegratorRef> refs;
    with_note("integrators", [&] {
        for (const nb::object& item : sequence_items(integrators)) refs.push_back(extract_integrator(item));
    });
    std::vector<std::shared_ptr<integration::IntegratorCore>> cores;
    for (const IntegratorRef& r : refs) cores.push_back(r.core());
    check_multi_members(cores);
    std::vector<integration::CoreHold> members;
    members.reserve(cores.size());
    for (const auto& core : cores) members.emplace_back(core);
    new (self) PyMultiIntegrator(std::move(members));
}

std::vector<ImageInput> image_list(nb::handle value) {
    std::vector<ImageInput> inputs;
    for (const nb::object& item : sequence_items(value)) inputs.push_back(extract_image_input(item));
    return inputs;
}

std::vector<integration::ImageSource> image_sources(const std::vector<ImageInput>& inputs) {
    std::vector<integration::ImageSource> sources;
    for (const ImageInput& input : inputs) sources.push_back(image_source(input));
    return sources;
}

std::vector<integration::IntegratorCore*> member_cores(const PyMultiIntegrator& self) {
    std::vector<integration::IntegratorCore*> cores;
    for (const auto& m : self.members) cores.push_back(m.get());
    return cores;
}

nb::object multi_integrate1d(PyMultiIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    const std::vector<ImageInput> inputs = with_note("images", [&] { return image_list(images); });
    const std::uint64_t n = arg_u64(n_points, "n_points");
    const bool with_errors = arg_flag(errors, "errors");
    const std::vector<integration::ImageSource> sources = image_sources(inputs);
    return new_integration_result(
        result_from_1d(integrate_multi_1d(member_cores(self), sources, n, with_errors)));
}

nb::object multi_batch1d(PyMultiIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    std::vector<std::vector<ImageInput>> inputs;
    with_note("images", [&] {
        for (const nb::object& inner : sequence_items(images)) inputs.push_back(image_list(inner));
    });
    const std::uint64_t n = arg_u64(n_points, "n_points");
    const bool with_errors = arg_flag(errors, "errors");
    std::vector<std::vector<integration::ImageSource>> sets;
    for (const auto& set : inputs) sets.push_back(image_sources(set));
    std::vector<integration::Integration1dOutput> outputs = batch_multi_1d(member_cores(self), sets, n, with_errors);
    nb::list out;
    for (integration::Integration1dOutput& o : outputs) out.append(new_integration_result(result_from_1d(std::move(o))));
    return out;
}

}  // namespace

PyMultiIntegrator::~PyMultiIntegrator() {
    if (thread.on_owner_thread()) return;
    thread.report_foreign_drop();
    // Dropped on a foreign thread: the members stay in use for good.
    new std::vector<integration::CoreHold>(std::move(members));
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
