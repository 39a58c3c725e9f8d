// peakforge_pattern._engine: one call per structure, from NumPy arrays of the
// cell, atoms, species and symmetry operations to NumPy columns of the peak
// table. The calculation runs without the interpreter lock; between pieces of
// work it takes the lock back briefly to see whether Ctrl-C was pressed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>   // for isnan, isfinite
#include <limits>  // for numeric_limits
#include <string>
#include <utility>  // for move
#include <vector>

#include "array_arguments.hpp"
#include "base/panic.hpp"
#include "numpy_columns.hpp"
#include "pattern/intensity_derivatives.hpp"
#include "pattern/pattern_peaks.hpp"
#include "pattern/reflection_table.hpp"
#include "profile/binned_profile.hpp"
#include "structure_bindings.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace peakforge::engine {
namespace {

using pattern::PatternRequest;

// Thrown by the interrupt check once a signal handler (or the progress
// callback) has raised: the exception it set is raised when the lock is held
// again.
struct Interrupted {};

// Raised for a calculation beyond the work limit given (a ValueError, so
// that callers catching bad requests catch it too); created at import and
// kept for the life of the process.
PyObject* work_limit_error = nullptr;

double finite_number(double value, const char* name) {
  if (!std::isfinite(value)) throw nb::value_error((std::string(name) + " must be finite").c_str());
  return value;
}

pattern::Radiation radiation_of(const std::string& name) {
  if (name == "xray") return pattern::Radiation::xray;
  if (name == "neutron") return pattern::Radiation::neutron;
  if (name == "electron") return pattern::Radiation::electron;
  throw nb::value_error(
      ("radiation must be 'xray', 'neutron' or 'electron', not '" + name + "'").c_str());
}

void read_reciprocal(nb::handle reciprocal, PatternRequest& request) {
  const auto matrix = float_array(reciprocal, "reciprocal", {3, 3});
  require_finite(matrix.values, "reciprocal");
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) request.reciprocal[i][j] = matrix.values[3 * i + j];
}

void read_species(nb::handle atomic_numbers, nb::handle electron_pairs, nb::handle constants,
                  PatternRequest& request) {
  const auto z = float_array(atomic_numbers, "species_atomic_numbers", {-1});
  const size_t n = z.shape[0];
  const auto pairs =
      float_array(electron_pairs, "species_electron_pairs", {static_cast<long>(n), -1, 2});
  const auto constant = float_array(constants, "species_constants", {static_cast<long>(n), 2});
  require_finite(z.values, "species_atomic_numbers");
  require_finite(pairs.values, "species_electron_pairs");
  require_finite(constant.values, "species_constants");
  const size_t per_species = pairs.shape[1];
  request.species.resize(n);
  for (size_t s = 0; s < n; ++s) {
    pattern::Species& species = request.species[s];
    species.atomic_number = z.values[s];
    for (size_t p = 0; p < per_species; ++p) {
      const size_t at = 2 * (s * per_species + p);
      species.electron_pairs.push_back({pairs.values[at], pairs.values[at + 1]});
    }
    species.constant_re = constant.values[2 * s];
    species.constant_im = constant.values[2 * s + 1];
  }
}

void read_atoms(nb::handle frac_coords, nb::handle species_index, nb::handle occupancies,
                nb::handle b_factors, nb::handle anisotropic_beta, PatternRequest& request) {
  const auto frac = float_array(frac_coords, "frac_coords", {-1, 3});
  const long n = static_cast<long>(frac.shape[0]);
  const auto species = int_array(species_index, "species_index", {n});
  const auto occ = float_array(occupancies, "occupancies", {n});
  const auto b = float_array(b_factors, "b_factors", {n});
  require_finite(frac.values, "frac_coords");
  require_finite(occ.values, "occupancies");
  require_finite(b.values, "b_factors");
  for (size_t j = 0; j < occ.values.size(); ++j) {
    if (occ.values[j] < 0.0) throw nb::value_error("occupancies must not be negative");
    if (b.values[j] < 0.0) throw nb::value_error("b_factors must not be negative");
  }
  std::vector<double> beta;
  if (!anisotropic_beta.is_none())
    beta = float_array(anisotropic_beta, "anisotropic_beta", {n, 6}).values;
  request.atoms.resize(static_cast<size_t>(n));
  for (size_t j = 0; j < request.atoms.size(); ++j) {
    pattern::Atom& atom = request.atoms[j];
    atom.frac = {frac.values[3 * j], frac.values[3 * j + 1], frac.values[3 * j + 2]};
    atom.species = species.values[j];
    if (atom.species < 0 || static_cast<size_t>(atom.species) >= request.species.size()) {
      throw nb::value_error(("species_index entries must lie between 0 and " +
                             std::to_string(request.species.size()) + " - 1, not " +
                             std::to_string(atom.species))
                                .c_str());
    }
    atom.occupancy = occ.values[j];
    atom.b_iso = b.values[j];
    if (!beta.empty()) {
      // A row of NaN marks an atom given only isotropically; any other row
      // must be wholly finite.
      const double* row = &beta[6 * j];
      size_t nans = 0, finite = 0;
      for (size_t e = 0; e < 6; ++e) {
        nans += std::isnan(row[e]) ? 1 : 0;
        finite += std::isfinite(row[e]) ? 1 : 0;
      }
      if (nans != 6 && finite != 6)
        throw nb::value_error("anisotropic_beta rows must be finite or all NaN");
      atom.anisotropic = finite == 6;
      for (size_t e = 0; e < 6 && atom.anisotropic; ++e) atom.beta[e] = row[e];
    }
  }
}

void read_operations(nb::handle rotations, nb::handle translations, PatternRequest& request) {
  const auto r = int_array(rotations, "rotations", {-1, 3, 3});
  const auto t = float_array(translations, "translations", {static_cast<long>(r.shape[0]), 3});
  require_finite(t.values, "translations");
  request.operations.resize(r.shape[0]);
  for (size_t i = 0; i < r.shape[0]; ++i) {
    for (size_t e = 0; e < 9; ++e) request.operations[i].rotation[e] = r.values[9 * i + e];
    for (size_t e = 0; e < 3; ++e) request.operations[i].translation[e] = t.values[3 * i + e];
  }
}

nb::dict peak_table_dict(pattern::PeakTable&& table) {
  const size_t peaks = table.two_theta.size();
  const size_t families = table.family_multiplicity.size();
  nb::dict out;
  out["two_theta"] = to_numpy(std::move(table.two_theta), {peaks});
  out["d"] = to_numpy(std::move(table.d), {peaks});
  out["intensity"] = to_numpy(std::move(table.intensity), {peaks});
  out["absolute_intensity"] = to_numpy(std::move(table.absolute_intensity), {peaks});
  out["lorentz_polarisation"] = to_numpy(std::move(table.lorentz_polarisation), {peaks});
  out["multiplicity"] = to_numpy(std::move(table.multiplicity), {peaks});
  out["family_hkl"] = to_numpy(std::move(table.family_hkl), {families, 3});
  out["family_multiplicity"] = to_numpy(std::move(table.family_multiplicity), {families});
  out["family_offsets"] = to_numpy(std::move(table.family_offsets), {peaks + 1});
  out["reflections"] = table.reflections;
  out["unique_reflections"] = table.unique_reflections;
  out["point_group_order"] = table.point_group_order;
  return out;
}

PatternRequest read_request(nb::handle reciprocal, double wavelength, double min_g, double max_g,
                            nb::handle frac_coords, nb::handle species_index,
                            nb::handle occupancies, nb::handle b_factors,
                            nb::handle anisotropic_beta, nb::handle species_atomic_numbers,
                            nb::handle species_electron_pairs, nb::handle species_constants,
                            nb::handle rotations, nb::handle translations,
                            const std::string& radiation, bool anomalous,
                            double monochromator_two_theta, double merge_tolerance,
                            double relative_threshold, double max_walk, double max_work,
                            bool parallel, size_t num_threads, bool use_simd) {
  PatternRequest request;
  read_reciprocal(reciprocal, request);
  request.wavelength = finite_number(wavelength, "wavelength");
  if (!(wavelength > 0.0)) throw nb::value_error("wavelength must be positive");
  request.min_g = finite_number(min_g, "min_g");
  request.max_g = finite_number(max_g, "max_g");
  request.radiation = radiation_of(radiation);
  request.anomalous = anomalous;
  request.monochromator_two_theta =
      finite_number(monochromator_two_theta, "monochromator_two_theta");
  request.merge_tolerance = finite_number(merge_tolerance, "merge_tolerance");
  request.relative_threshold = finite_number(relative_threshold, "relative_threshold");
  if (!(max_walk > 0.0))
    throw nb::value_error("max_walk must be a positive number (inf for no limit)");
  request.max_walk = max_walk;
  if (!(max_work > 0.0))
    throw nb::value_error("max_work must be a positive number (inf for no limit)");
  request.max_work = max_work;
  read_species(species_atomic_numbers, species_electron_pairs, species_constants, request);
  read_atoms(frac_coords, species_index, occupancies, b_factors, anisotropic_beta, request);
  read_operations(rotations, translations, request);
  request.parallel = parallel;
  request.num_threads = num_threads;
  request.use_simd = use_simd;
  return request;
}

// Runs `calculation(check)` without the interpreter lock; `check` sees
// Ctrl-C and reports progress, and every failure becomes one Python exception.
template <class Calculation>
auto run_unlocked(nb::object& progress, Calculation&& calculation) {
  try {
    nb::gil_scoped_release unlocked;
    return calculation([&progress](size_t done, size_t total) {
      nb::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) throw Interrupted{};
      if (progress.is_none() || total == 0) return;
      try {
        progress(done, total);
      } catch (nb::python_error& error) {
        error.restore();  // raised as it is once the lock is held again
        throw Interrupted{};
      }
    });
  } catch (const Interrupted&) {
    throw nb::python_error();
  } catch (const pattern::RequestError& e) {
    throw nb::value_error(e.message.c_str());
  } catch (const pattern::WorkLimitError& e) {
    PyErr_SetString(work_limit_error, e.message.c_str());
    throw nb::python_error();
  } catch (const InternalFailure& e) {
    throw std::runtime_error(e.message);
  }
}

nb::dict compute_peak_table(nb::handle reciprocal, double wavelength, double min_g, double max_g,
                            nb::handle frac_coords, nb::handle species_index,
                            nb::handle occupancies, nb::handle b_factors,
                            nb::handle anisotropic_beta, nb::handle species_atomic_numbers,
                            nb::handle species_electron_pairs, nb::handle species_constants,
                            nb::handle rotations, nb::handle translations,
                            const std::string& radiation, bool anomalous,
                            double monochromator_two_theta, double merge_tolerance,
                            double relative_threshold, double max_walk, double max_work,
                            bool parallel, size_t num_threads, bool use_simd, nb::object progress,
                            bool derivatives) {
  const PatternRequest request = read_request(
      reciprocal, wavelength, min_g, max_g, frac_coords, species_index, occupancies, b_factors,
      anisotropic_beta, species_atomic_numbers, species_electron_pairs, species_constants,
      rotations, translations, radiation, anomalous, monochromator_two_theta, merge_tolerance,
      relative_threshold, max_walk, max_work, parallel, num_threads, use_simd);
  if (!derivatives) {
    return peak_table_dict(run_unlocked(progress, [&](const pattern::InterruptCheck& check) {
      return pattern::compute_peak_table(request, check);
    }));
  }
  pattern::PeakDerivatives result =
      run_unlocked(progress, [&](const pattern::InterruptCheck& check) {
        return pattern::compute_peak_derivatives(request, check);
      });
  const size_t peaks = result.table.two_theta.size(), atoms = result.atoms;
  nb::dict out = peak_table_dict(std::move(result.table));
  out["d_frac"] = to_numpy(std::move(result.d_frac), {peaks, atoms, 3});
  out["d_b"] = to_numpy(std::move(result.d_b), {peaks, atoms});
  out["d_occupancy"] = to_numpy(std::move(result.d_occupancy), {peaks, atoms});
  return out;
}

std::vector<int64_t> window_bounds(nb::handle values, const char* name, size_t peaks) {
  const auto read = int_array(values, name, {static_cast<long>(peaks)});
  return {read.values.begin(), read.values.end()};
}

nb::tuple binned_profile(nb::handle edges, nb::handle centre, nb::handle fwhm, nb::handle eta,
                         nb::handle area, nb::handle asymmetry, nb::handle first, nb::handle last,
                         nb::handle chain) {
  const auto edge_values = float_array(edges, "edges", {-1});
  const auto centres = float_array(centre, "centre", {-1});
  const size_t peaks = centres.shape[0];
  const long n = static_cast<long>(peaks);
  profile::PeakColumns columns;
  columns.centre = centres.values;
  columns.fwhm = float_array(fwhm, "fwhm", {n}).values;
  columns.eta = float_array(eta, "eta", {n}).values;
  columns.area = float_array(area, "area", {n}).values;
  columns.asymmetry = float_array(asymmetry, "asymmetry", {n}).values;
  columns.first = window_bounds(first, "first", peaks);
  columns.last = window_bounds(last, "last", peaks);
  std::vector<double> chain_values;
  size_t parameters = 0;
  if (!chain.is_none()) {
    auto read = float_array(chain, "chain", {n, static_cast<long>(profile::peak_terms), -1});
    require_finite(read.values, "chain");
    parameters = read.shape[2];
    chain_values = std::move(read.values);
  }
  profile::BinnedProfile result;
  try {
    nb::gil_scoped_release unlocked;
    result = profile::binned_profile(edge_values.values, columns, chain_values, parameters, [] {
      nb::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) throw Interrupted{};
    });
  } catch (const Interrupted&) {
    throw nb::python_error();
  } catch (const profile::ProfileError& e) {
    throw nb::value_error(e.message.c_str());
  }
  const size_t bins = result.values.size();
  nb::object jacobian = nb::none();
  if (!chain.is_none()) jacobian = to_numpy(std::move(result.jacobian), {bins, parameters});
  return nb::make_tuple(to_numpy(std::move(result.values), {bins}), jacobian);
}

nb::object lorentz_polarisation(nb::handle two_theta, const std::string& radiation,
                                double monochromator_two_theta) {
  const auto angles = float_array(two_theta, "two_theta", {-1});
  std::vector<double> factors = pattern::lorentz_polarisation_at(
      angles.values, radiation_of(radiation),
      finite_number(monochromator_two_theta, "monochromator_two_theta"));
  return to_numpy(std::move(factors), {angles.values.size()});
}

nb::dict reflection_table_dict(pattern::ReflectionTable&& table) {
  const size_t sets = table.multiplicity.size();
  pattern::PointGroup& symmetry = table.symmetry;
  const size_t order = symmetry.rotations.size();
  std::vector<int32_t> rotations;
  std::vector<double> translations;
  std::vector<uint8_t> known;
  for (size_t i = 0; i < order; ++i) {
    rotations.insert(rotations.end(), symmetry.rotations[i].begin(), symmetry.rotations[i].end());
    translations.insert(translations.end(), symmetry.translations[i].begin(),
                        symmetry.translations[i].end());
    known.push_back(symmetry.translation_known[i] ? 1 : 0);
  }
  std::vector<double> centring;
  for (const pattern::Vector3& c : symmetry.centring)
    centring.insert(centring.end(), c.begin(), c.end());
  const size_t centrings = symmetry.centring.size();
  nb::dict out;
  out["hkl"] = to_numpy(std::move(table.hkl), {sets, 3});
  out["multiplicity"] = to_numpy(std::move(table.multiplicity), {sets});
  out["d"] = to_numpy(std::move(table.d), {sets});
  out["two_theta"] = to_numpy(std::move(table.two_theta), {sets});
  out["f_squared"] = to_numpy(std::move(table.f_squared), {sets});
  out["absent"] = to_numpy(std::move(table.absent), {sets});
  out["rotations"] = to_numpy(std::move(rotations), {order, 3, 3});
  out["translations"] = to_numpy(std::move(translations), {order, 3});
  out["translation_known"] = to_numpy(std::move(known), {order});
  out["centring"] = to_numpy(std::move(centring), {centrings, 3});
  return out;
}

nb::dict compute_reflection_table(nb::handle reciprocal, double wavelength, double min_g,
                                  double max_g, nb::handle frac_coords, nb::handle species_index,
                                  nb::handle occupancies, nb::handle b_factors,
                                  nb::handle anisotropic_beta, nb::handle species_atomic_numbers,
                                  nb::handle species_electron_pairs, nb::handle species_constants,
                                  nb::handle rotations, nb::handle translations,
                                  const std::string& radiation, bool anomalous, double max_walk,
                                  double max_work, bool parallel, size_t num_threads, bool use_simd,
                                  nb::object progress) {
  const PatternRequest request =
      read_request(reciprocal, wavelength, min_g, max_g, frac_coords, species_index, occupancies,
                   b_factors, anisotropic_beta, species_atomic_numbers, species_electron_pairs,
                   species_constants, rotations, translations, radiation, anomalous, 0.0, 1e-5,
                   1e-3, max_walk, max_work, parallel, num_threads, use_simd);
  return reflection_table_dict(run_unlocked(progress, [&](const pattern::InterruptCheck& check) {
    return pattern::compute_reflection_table(request, check);
  }));
}

}  // namespace
}  // namespace peakforge::engine

NB_MODULE(_engine, m) {
  m.doc() =
      "The pattern engine of peakforge_pattern: one call per structure, NumPy arrays in and out.";
  peakforge::engine::work_limit_error =
      PyErr_NewException("peakforge_pattern._engine.WorkLimitError", PyExc_ValueError, nullptr);
  if (peakforge::engine::work_limit_error == nullptr) throw nb::python_error();
  m.attr("WorkLimitError") = nb::handle(peakforge::engine::work_limit_error);
  m.def("compute_peak_table", &peakforge::engine::compute_peak_table, "reciprocal"_a,
        "wavelength"_a, "min_g"_a, "max_g"_a, "frac_coords"_a, "species_index"_a, "occupancies"_a,
        "b_factors"_a, "anisotropic_beta"_a.none(), "species_atomic_numbers"_a,
        "species_electron_pairs"_a, "species_constants"_a, "rotations"_a, "translations"_a,
        nb::kw_only(), "radiation"_a = "xray", "anomalous"_a = false,
        "monochromator_two_theta"_a = 0.0, "merge_tolerance"_a = 1e-5,
        "relative_threshold"_a = 1e-3, "max_walk"_a = 5e6,
        "max_work"_a = std::numeric_limits<double>::infinity(), "parallel"_a = true,
        "num_threads"_a = 0, "use_simd"_a = true, "progress"_a.none() = nb::none(),
        "derivatives"_a = false,
        "The peak table of one structure, as a dict of NumPy columns (see "
        "diffraction/engine_route.py); with "
        "derivatives, also those of each peak's absolute intensity by every atom's fractional "
        "coordinates "
        "(d_frac, peaks x atoms x 3), B (d_b) and occupancy (d_occupancy). A shell spanning more "
        "than max_walk "
        "index triples is refused before it is walked; a symmetry search of atoms without "
        "operations beyond "
        "max_work terms raises WorkLimitError.");
  m.def("lorentz_polarisation", &peakforge::engine::lorentz_polarisation, "two_theta"_a,
        nb::kw_only(), "radiation"_a = "xray", "monochromator_two_theta"_a = 0.0,
        "The Lorentz-polarisation factor the peaks carry, at each 2theta (degrees; a float64 "
        "array).");
  m.def("binned_profile", &peakforge::engine::binned_profile, "edges"_a, "centre"_a, "fwhm"_a,
        "eta"_a, "area"_a, "asymmetry"_a, "first"_a, "last"_a, "chain"_a.none() = nb::none(),
        "Mean over each bin of cut pseudo-Voigt peaks (see profiles/shapes.py), and with a chain "
        "(peaks x 5 x parameters) the Jacobian (bins x parameters).");
  m.def("compute_reflection_table", &peakforge::engine::compute_reflection_table, "reciprocal"_a,
        "wavelength"_a, "min_g"_a, "max_g"_a, "frac_coords"_a, "species_index"_a, "occupancies"_a,
        "b_factors"_a, "anisotropic_beta"_a.none(), "species_atomic_numbers"_a,
        "species_electron_pairs"_a, "species_constants"_a, "rotations"_a, "translations"_a,
        nb::kw_only(), "radiation"_a = "xray", "anomalous"_a = false, "max_walk"_a = 5e6,
        "max_work"_a = std::numeric_limits<double>::infinity(), "parallel"_a = true,
        "num_threads"_a = 0, "use_simd"_a = true, "progress"_a.none() = nb::none(),
        "Every set of equivalent reflections of the shell, unmerged, with |F|^2, whether the space "
        "group "
        "extinguishes it, and the operations the atoms follow (see diffraction/engine_route.py).");
  peakforge::engine::bind_structure_assembly(m);
}
