// Spin-j matrices of su(2) and sl(2) in the basis of decreasing magnetic number.
#pragma once

#include <vector>

#include "dense/matrix.hpp"

namespace tanvo {

RealMatrix jz_matrix(double j);
RealMatrix jplus_matrix(double j);
RealMatrix jminus_matrix(double j);

// [J_z, J_+, J_-]
std::vector<RealMatrix> gen_sl2(double j);
// [J_z, 0.5·(J_+ + J_-), 0.5·(J_+ - J_-)] as complex matrices.
std::vector<ComplexMatrix> gen_su2(double j);

}  // namespace tanvo
