// Each entry reads and checks its arrays with the interpreter lock held,
// computes without it, and builds NumPy results that own their buffers.
#include "structure_bindings.hpp"

#include <nanobind/stl/tuple.h>

#include <cstdint>  // for int32_t, int64_t
#include <string>
#include <utility>  // for move
#include <vector>

#include "array_arguments.hpp"
#include "numpy_columns.hpp"
#include "structure/cell_metric.hpp"
#include "structure/close_pairs.hpp"
#include "structure/site_check.hpp"
#include "structure/site_expansion.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace peakforge::engine {
namespace {

using structure::Matrix3;
using structure::Operation;
using structure::Vector3;

Matrix3 read_lattice(nb::handle lattice) {
  const auto m = float_array(lattice, "lattice", {3, 3});
  require_finite(m.values, "lattice");
  Matrix3 out{};
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) out[i][j] = m.values[3 * i + j];
  return out;
}

std::vector<Vector3> read_positions(nb::handle positions, const char* name) {
  const auto p = float_array(positions, name, {-1, 3});
  require_finite(p.values, name);
  std::vector<Vector3> out(p.shape[0]);
  for (size_t a = 0; a < out.size(); ++a)
    out[a] = {p.values[3 * a], p.values[3 * a + 1], p.values[3 * a + 2]};
  return out;
}

std::vector<Operation> read_operations(nb::handle rotations, nb::handle translations) {
  const auto r = float_array(rotations, "rotations", {-1, 3, 3});
  const auto t = float_array(translations, "translations", {static_cast<long>(r.shape[0]), 3});
  require_finite(r.values, "rotations");
  require_finite(t.values, "translations");
  std::vector<Operation> out(r.shape[0]);
  for (size_t k = 0; k < out.size(); ++k) {
    for (size_t e = 0; e < 9; ++e) out[k].rotation[e] = r.values[9 * k + e];
    for (size_t e = 0; e < 3; ++e) out[k].translation[e] = t.values[3 * k + e];
  }
  return out;
}

double positive(double value, const char* name) {
  if (!(value > 0.0 && value < 1e300))
    throw nb::value_error((std::string(name) + " must be a positive number").c_str());
  return value;
}

// Runs `work` without the interpreter lock; an assembly failure is a ValueError.
template <class Work>
auto unlocked(Work&& work) {
  try {
    nb::gil_scoped_release released;
    return work();
  } catch (const structure::AssemblyError& e) {
    throw nb::value_error(e.message.c_str());
  }
}

void add_check(nb::dict& out, structure::SiteCheckResult&& check) {
  const size_t atoms = check.keep.size(), repeated = check.repeated_site.size();
  const size_t merged = check.merged_site.size(), clashes = check.clash_first.size();
  out["keep"] = to_numpy(std::move(check.keep), {atoms}).attr("astype")("bool");
  out["repeated_site"] = to_numpy(std::move(check.repeated_site), {repeated});
  out["repeated_of"] = to_numpy(std::move(check.repeated_of), {repeated});
  out["merged_site"] = to_numpy(std::move(check.merged_site), {merged});
  out["merged_distance"] = to_numpy(std::move(check.merged_distance), {merged});
  out["clash_first"] = to_numpy(std::move(check.clash_first), {clashes});
  out["clash_second"] = to_numpy(std::move(check.clash_second), {clashes});
  out["clash_distance"] = to_numpy(std::move(check.clash_distance), {clashes});
}

structure::SiteCheckLimits limits_of(double close, double same_position, double occupancy_slack) {
  return {positive(close, "close"), positive(same_position, "same_position"),
          positive(occupancy_slack, "occupancy_slack")};
}

std::vector<int32_t> read_numbers(nb::handle numbers, size_t count) {
  return int_array(numbers, "atomic_numbers", {static_cast<long>(count)}).values;
}

std::vector<double> read_occupancies(nb::handle occupancies, size_t count) {
  auto occ = float_array(occupancies, "occupancies", {static_cast<long>(count)});
  require_finite(occ.values, "occupancies");
  return std::move(occ.values);
}

nb::dict assemble_sites(nb::handle lattice, nb::handle sites, nb::handle site_numbers,
                        nb::handle site_occupancies, nb::handle rotations, nb::handle translations,
                        double same_position, double close, double occupancy_slack) {
  const Matrix3 cell = read_lattice(lattice);
  const std::vector<Vector3> coords = read_positions(sites, "sites");
  const std::vector<int32_t> numbers = read_numbers(site_numbers, coords.size());
  const std::vector<double> occupancies = read_occupancies(site_occupancies, coords.size());
  const std::vector<Operation> operations = read_operations(rotations, translations);
  const structure::SiteCheckLimits limits = limits_of(close, same_position, occupancy_slack);
  auto [expansion, check] = unlocked([&] {
    structure::Expansion e =
        structure::expand_sites(cell, coords, operations, limits.same_position);
    std::vector<int32_t> image_numbers(e.site_of.size());
    std::vector<double> image_occupancies(e.site_of.size());
    for (size_t a = 0; a < e.site_of.size(); ++a) {
      image_numbers[a] = numbers[static_cast<size_t>(e.site_of[a])];
      image_occupancies[a] = occupancies[static_cast<size_t>(e.site_of[a])];
    }
    structure::SiteCheckResult c = structure::check_close_sites(
        cell, e.positions, image_numbers, image_occupancies, e.site_of, limits);
    return std::pair{std::move(e), std::move(c)};
  });
  const size_t atoms = expansion.positions.size();
  std::vector<double> flat(3 * atoms);
  for (size_t a = 0; a < atoms; ++a)
    for (size_t i = 0; i < 3; ++i) flat[3 * a + i] = expansion.positions[a][i];
  nb::dict out;
  out["positions"] = to_numpy(std::move(flat), {atoms, 3});
  out["site_of"] = to_numpy(std::move(expansion.site_of), {atoms});
  out["operation_of"] = to_numpy(std::move(expansion.operation_of), {atoms});
  add_check(out, std::move(check));
  return out;
}

nb::dict check_close_sites(nb::handle lattice, nb::handle frac, nb::handle atomic_numbers,
                           nb::handle occupancies, nb::handle site_of, double same_position,
                           double close, double occupancy_slack) {
  const Matrix3 cell = read_lattice(lattice);
  const std::vector<Vector3> coords = read_positions(frac, "frac_coords");
  const std::vector<int32_t> numbers = read_numbers(atomic_numbers, coords.size());
  const std::vector<double> occ = read_occupancies(occupancies, coords.size());
  const structure::SiteCheckLimits limits = limits_of(close, same_position, occupancy_slack);
  // Each atom its own site unless told otherwise.
  std::vector<int64_t> sites(coords.size());
  if (site_of.is_none()) {
    for (size_t a = 0; a < sites.size(); ++a) sites[a] = static_cast<int64_t>(a);
  } else {
    const auto given = int_array(site_of, "site_of", {static_cast<long>(coords.size())});
    for (size_t a = 0; a < sites.size(); ++a) sites[a] = given.values[a];
  }
  structure::SiteCheckResult check = unlocked(
      [&] { return structure::check_close_sites(cell, coords, numbers, occ, sites, limits); });
  nb::dict out;
  add_check(out, std::move(check));
  return out;
}

nb::tuple close_pairs(nb::handle lattice, nb::handle frac, double radius, size_t single_bin_pairs) {
  const Matrix3 cell = read_lattice(lattice);
  const std::vector<Vector3> coords = read_positions(frac, "frac_coords");
  positive(radius, "radius");
  structure::ClosePairs pairs =
      unlocked([&] { return structure::close_pairs(cell, coords, radius, single_bin_pairs); });
  const size_t n = pairs.first.size();
  return nb::make_tuple(to_numpy(std::move(pairs.first), {n}),
                        to_numpy(std::move(pairs.second), {n}),
                        to_numpy(std::move(pairs.distance), {n}));
}

nb::tuple expand_sites(nb::handle lattice, nb::handle sites, nb::handle rotations,
                       nb::handle translations, double tolerance) {
  const Matrix3 cell = read_lattice(lattice);
  const std::vector<Vector3> coords = read_positions(sites, "sites");
  const std::vector<Operation> operations = read_operations(rotations, translations);
  positive(tolerance, "tolerance");
  structure::Expansion e =
      unlocked([&] { return structure::expand_sites(cell, coords, operations, tolerance); });
  const size_t atoms = e.positions.size();
  std::vector<double> flat(3 * atoms);
  for (size_t a = 0; a < atoms; ++a)
    for (size_t i = 0; i < 3; ++i) flat[3 * a + i] = e.positions[a][i];
  return nb::make_tuple(to_numpy(std::move(flat), {atoms, 3}),
                        to_numpy(std::move(e.site_of), {atoms}),
                        to_numpy(std::move(e.operation_of), {atoms}));
}

double metric_mismatch(nb::handle lattice, nb::handle rotations) {
  const Matrix3 cell = read_lattice(lattice);
  const auto r = float_array(rotations, "rotations", {-1, 3, 3});
  require_finite(r.values, "rotations");
  std::vector<Operation> operations(r.shape[0]);
  for (size_t k = 0; k < operations.size(); ++k)
    for (size_t e = 0; e < 9; ++e) operations[k].rotation[e] = r.values[9 * k + e];
  return structure::metric_mismatch(cell, operations);
}

}  // namespace

void bind_structure_assembly(nb::module_& m) {
  m.def("assemble_sites", &assemble_sites, "lattice"_a, "sites"_a, "site_numbers"_a,
        "site_occupancies"_a, "rotations"_a, "translations"_a, nb::kw_only(), "same_position"_a,
        "close"_a, "occupancy_slack"_a,
        "Listed sites expanded by the operations and their close atoms sorted out (see "
        "structures/assembly.py).");
  m.def("check_close_sites", &check_close_sites, "lattice"_a, "frac_coords"_a, "atomic_numbers"_a,
        "occupancies"_a, "site_of"_a.none() = nb::none(), nb::kw_only(), "same_position"_a,
        "close"_a, "occupancy_slack"_a,
        "The close-site check of atoms whose listed sites site_of gives (default: each its own).");
  m.def(
      "close_pairs", &close_pairs, "lattice"_a, "frac_coords"_a, "radius"_a,
      "single_bin_pairs"_a = 1'000'000,
      "Pairs i < j of atoms closer than radius (Å) over the periodic images, and their distances.");
  m.def("expand_sites", &expand_sites, "lattice"_a, "sites"_a, "rotations"_a, "translations"_a,
        "tolerance"_a,
        "Every image of every site wrapped into the cell, images of one site within tolerance (Å) "
        "once.");
  m.def("metric_mismatch", &metric_mismatch, "lattice"_a, "rotations"_a,
        "Largest relative change of the cell's metric tensor under the rotations.");
}

}  // namespace peakforge::engine
