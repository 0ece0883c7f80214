// Spin-j matrices of su(2) and sl(2) in the basis of decreasing magnetic number.
#pragma once

#include <vector>

#include "core/interrupt.hpp"
#include "core/matrix.hpp"

namespace tanvo {

// n = trunc(2j + 1) in double. NaN, negative j (unless 2j + 1 rounds to 1) and an n x n shape
// beyond isize are internal failures.
RealMatrix jz_matrix(double j, Interrupt interrupt = {});
RealMatrix jplus_matrix(double j, Interrupt interrupt = {});
RealMatrix jminus_matrix(double j, Interrupt interrupt = {});

// [J_z, J_+, J_-]. Both generators throw std::bad_alloc, before any matrix exists, when their
// results could not fit in memory.
std::vector<RealMatrix> gen_sl2(double j, Interrupt interrupt = {});
// [J_z, 0.5·(J_+ + J_-), 0.5·(J_+ - J_-)] as complex matrices.
std::vector<ComplexMatrix> gen_su2(double j, Interrupt interrupt = {});

}  // namespace tanvo
