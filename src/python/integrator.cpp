#include "python/integrator.hpp"

#include <optional>
#include <string>

#include "errors.hpp"
#include "integration/corrections.hpp"
#include "integration/request.hpp"
#include "mask.hpp"
#include "poni.hpp"
#include "python/args.hpp"
#include "python/batch.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

// Settings given to either constructor, converted in their documented order.
struct Settings {
    std::optional<std::string> method;
    std::optional<double> polarization_factor;
    std::optional<std::uint64_t> n_ss;
    std::optional<std::string> unit;
    std::optional<std::pair<double, double>> radial_range;
};

Settings convert_settings(nb::handle method, nb::handle polarization_factor, nb::handle n_ss, nb::handle unit,
                          nb::handle radial_range) {
    Settings s;
    s.method = arg_opt_lower_name(method, "method");
    s.polarization_factor = arg_opt_f64(polarization_factor, "polarization_factor");
    s.n_ss = arg_opt_u64(n_ss, "n_ss");
    s.unit = arg_opt_lower_name(unit, "unit");
    s.radial_range = arg_opt_pair_f64(radial_range, "radial_range");
    return s;
}

std::optional<std::string_view> view(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    return std::string_view(*s);
}

std::shared_ptr<integration::IntegratorCore> build_core(PoniGeometry geometry, const Settings& s) {
    auto core = std::make_shared<integration::IntegratorCore>();
    core->geometry = std::move(geometry);
    core->method = integration::parse_integration_method(view(s.method), s.n_ss);
    core->unit = parse_radial_unit(view(s.unit));
    integration::clear_lut_caches(*core);
    if (s.polarization_factor) {
        core->polarization_factor = s.polarization_factor;
        integration::update_corrections(*core);
    }
    if (s.radial_range) {
        check_radial_range(*s.radial_range);
        core->radial_range = s.radial_range;
        integration::clear_lut_caches(*core);
    }
    return core;
}

void init_integrator(PyIntegrator* self, nb::handle poni_path, nb::handle method, nb::handle polarization_factor,
                     nb::handle n_ss, nb::handle unit, nb::handle radial_range) {
    std::string path = arg_str(poni_path, "poni_path");
    Settings s = convert_settings(method, polarization_factor, n_ss, unit, radial_range);
    auto core = build_core(parse_poni_file(path), s);
    new (self) PyIntegrator(std::move(core));
}

nb::object from_poni_dict(nb::handle poni_dict, nb::handle method, nb::handle polarization_factor, nb::handle n_ss,
                          nb::handle unit, nb::handle radial_range) {
    nb::dict dict = arg_dict(poni_dict, "poni_dict");
    Settings s = convert_settings(method, polarization_factor, n_ss, unit, radial_range);
    auto core = build_core(geometry_from_dict(dict), s);
    nb::object obj = nb::inst_alloc(nb::type<PyIntegrator>());
    new (nb::inst_ptr<PyIntegrator>(obj)) PyIntegrator(std::move(core));
    nb::inst_mark_ready(obj);
    return obj;
}

void set_method(PyIntegrator& self, nb::handle method, nb::handle n_ss) {
    self.thread.check();
    ExclusiveBorrow borrow(self.borrow);
    std::string name = arg_lower_name(method, "method");
    std::optional<std::uint64_t> count = arg_opt_u64(n_ss, "n_ss");
    integration::require_not_in_use(*self.core);
    self.core->method = integration::parse_integration_method(name, count);
}

void set_polarization_factor(PyIntegrator& self, nb::handle polarization_factor) {
    self.thread.check();
    ExclusiveBorrow borrow(self.borrow);
    std::optional<double> factor = arg_opt_f64(polarization_factor, "polarization_factor");
    integration::require_not_in_use(*self.core);
    std::optional<double> previous = self.core->polarization_factor;
    self.core->polarization_factor = factor;
    try {
        integration::update_corrections(*self.core);
    } catch (...) {
        self.core->polarization_factor = previous;
        throw;
    }
}

void set_unit(PyIntegrator& self, nb::handle unit) {
    self.thread.check();
    ExclusiveBorrow borrow(self.borrow);
    std::string name = arg_lower_name(unit, "unit");
    integration::require_not_in_use(*self.core);
    RadialUnit parsed = parse_radial_unit(name);
    if (parsed == self.core->unit) return;
    integration::update_radial_values(*self.core, parsed);
    self.core->unit = parsed;
    integration::clear_lut_caches(*self.core);
}

nb::str get_unit(PyIntegrator& self) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    return nb::str(unit_name(self.core->unit));
}

nb::object integrate1d(PyIntegrator& self, nb::handle image, nb::handle n_points, nb::handle errors,
                       nb::handle azimuthal_std) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    ImageInput input = arg_image(image, "image");
    std::uint64_t n = arg_u64(n_points, "n_points");
    bool with_errors = arg_flag(errors, "errors");
    bool with_std = arg_flag(azimuthal_std, "azimuthal_std");
    const integration::Options1d options{n, with_errors, with_std};
    const integration::ImageSource source = image_source(input);
    return new_integration_result(result_from_1d(integration::integrate1d(*self.core, source, options)));
}

nb::object integrate2d(PyIntegrator& self, nb::handle image, nb::handle n_radial, nb::handle n_azimuthal,
                       nb::handle errors, nb::handle azimuthal_range) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    ImageInput input = arg_image(image, "image");
    std::uint64_t nr = arg_u64(n_radial, "n_radial");
    std::uint64_t na = arg_u64(n_azimuthal, "n_azimuthal");
    bool with_errors = arg_flag(errors, "errors");
    std::optional<std::pair<double, double>> range = arg_opt_pair_f64(azimuthal_range, "azimuthal_range");
    const integration::Options2d options{nr, na, with_errors, range};
    const integration::ImageSource source = image_source(input);
    return new_integration_result(result_from_2d(integration::integrate2d(*self.core, source, options), nr, na));
}

void set_mask(PyIntegrator& self, nb::handle mask) {
    self.thread.check();
    ExclusiveBorrow borrow(self.borrow);
    const char* dtype = "uint8";
    MaskInput input = arg_mask(mask, "mask", dtype);
    integration::require_not_in_use(*self.core);
    if (std::holds_alternative<std::monostate>(input)) {
        self.core->mask.reset();
        return;
    }
    auto next = std::make_shared<PixelMask>();
    if (auto* path = std::get_if<std::string>(&input)) {
        try {
            *next = load_tiff_mask(*path);
        } catch (const LoadError& e) {
            raise_value_error(std::string("Failed to load mask TIFF: ") + e.message());
        }
    } else {
        const ArrayView& array = std::get<ArrayView>(input);
        require_c_contiguous(array, dtype);
        std::span<const std::uint8_t> bytes = contiguous_items<std::uint8_t>(array, "Mask must be contiguous");
        next->dim1 = array.rows();
        next->dim2 = array.cols();
        next->values.assign(bytes.begin(), bytes.end());
        if (next->values.size() != next->dim1 * next->dim2) raise_value_error("mask size does not match dimensions");
    }
    self.core->mask = std::move(next);
}

void clear_mask(PyIntegrator& self) {
    self.thread.check();
    ExclusiveBorrow borrow(self.borrow);
    integration::require_not_in_use(*self.core);
    self.core->mask.reset();
}

}  // namespace

PyIntegrator::~PyIntegrator() {
    if (thread.on_owner_thread()) return;
    thread.report_foreign_drop();
    // Dropped on a foreign thread: the contents are left alone, as the owner
    // thread may still be using what they refer to.
    new std::shared_ptr<integration::IntegratorCore>(std::move(core));
}

void bind_integrator(nb::module_& m) {
    auto cls = sig::def_class<PyIntegrator, &init_integrator>(
        m, "Integrator(poni_path, method=None, polarization_factor=None, n_ss=None, unit=None, radial_range=None)",
        "Azimuthal integrator for one detector geometry.");
    sig::def_static<&from_poni_dict>(
        cls,
        "from_poni_dict(poni_dict, method=None, polarization_factor=None, n_ss=None, unit=None, radial_range=None)",
        "Create an Integrator from a PONI dictionary.");
    sig::def_method<&set_method>(cls, "set_method($self, method, n_ss=None)", "Set the integration method.");
    sig::def_method<&set_polarization_factor>(cls, "set_polarization_factor($self, polarization_factor)",
                                              "Set the polarization factor (None removes it).");
    sig::def_method<&set_unit>(cls, "set_unit($self, unit)", "Set the radial unit.");
    sig::def_method<&get_unit>(cls, "get_unit($self)", "Get the radial unit.");
    sig::def_method<&integrate1d>(
        cls, "integrate1d($self, image, n_points, errors=False, *, azimuthal_std=False)",
        "Integrate one image (a TIFF path or a 2-D float64 array) to a radial pattern of n_points bins.");
    sig::def_method<&integrate2d>(
        cls, "integrate2d($self, image, n_radial, n_azimuthal, errors=False, azimuthal_range=None)",
        "Integrate one image to n_radial x n_azimuthal bins, flat with the radial index running fastest.\n"
        "azimuthal_range: (min, max) in radians; azimuths outside it are left out.");
    sig::def_method<&set_mask>(cls, "set_mask($self, mask)",
                               "Set the pixel mask.\n\n"
                               "mask: a path to a TIFF file (str), a 2-D NumPy array of uint8 or bool, or None to "
                               "clear the mask. Non-zero values mark pixels to be masked (ignored).\n"
                               "Raises ValueError when the mask file cannot be loaded or the array is unsuitable.\n\n"
                               "Example:\n"
                               "    mask = np.zeros((1043, 981), dtype=np.uint8)\n"
                               "    mask[500:600, :] = 1\n"
                               "    integrator.set_mask(mask)");
    sig::def_method<&clear_mask>(cls, "clear_mask($self)", "Remove the pixel mask.");
    bind_batch_methods(cls);
}

}  // namespace karvelum::python
