// Dense linear solve for the small normal-equation systems of the geometry
// fit (at most seven unknowns).
#pragma once

#include <cstddef>
#include <span>

namespace karvelum::calibration {

// Solves a · x = b for n unknowns by Gaussian elimination with partial
// pivoting (the first row of largest |a[row][k]| on ties). `a` is row-major
// n × n and is overwritten, as is `b`, which receives x. Returns false, with
// `a` and `b` in an undefined state, when a pivot's magnitude is below
// 1e-300.
bool solve_linear_system(std::span<double> a, std::span<double> b, std::size_t n);

}  // namespace karvelum::calibration
