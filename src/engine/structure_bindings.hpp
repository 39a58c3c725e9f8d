// The structure assembly of the engine: site expansion, the close-site check,
// the periodic neighbour search and the metric check, on NumPy arrays.
#pragma once

#include <nanobind/nanobind.h>

namespace peakforge::engine {

void bind_structure_assembly(nanobind::module_& m);

}  // namespace peakforge::engine
