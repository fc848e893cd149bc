#include "geometry_state.hpp"

#include <utility>

namespace karvelum {

GeometryState::GeometryState() {
    auto empty = std::make_shared<GeometrySnapshot>();
    SharedArray none = std::make_shared<const Buffer<double>>();
    empty->two_theta = empty->radial_values = empty->chi = none;
    empty->solid_angle = empty->polarization = empty->correction_factors = none;
    current_ = std::move(empty);
}

GeometryRef GeometryState::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void GeometryState::replace(GeometryRef next) {
    GeometryRef previous;
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::exchange(current_, std::move(next));
}

}  // namespace karvelum
