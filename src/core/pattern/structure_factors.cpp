#include "pattern/structure_factors.hpp"

#include <algorithm>  // for sort, fill, min, max, clamp
#include <cmath>      // for exp
#include <map>
#include <numeric>  // for iota
#include <optional>
#include <tuple>  // for make_tuple

#include "base/call_pool.hpp"
#include "base/worker_count.hpp"
#include "pattern/phase_sums.hpp"

namespace peakforge::pattern {
namespace {

// 8π² a0 with a0 = 0.529177 Å: the Mott–Bethe prefactor.
constexpr double mott_bethe = 41.78214;
// Work is counted in atom terms (one atom of one reflection, or of one
// product A = X·Y). Below this a pool costs more CPU than it saves.
constexpr double pool_threshold = 1 << 21;
// Terms between two interrupt checks: tens of milliseconds.
constexpr double batch_terms = 1 << 25;

// Atoms sorted by species, each species a block padded to lane_block, and
// within a block grouped into runs that share one weight per reflection.
struct Layout {
  struct Run {
    size_t begin, end;
    double occupancy;
    size_t b_index;  // into distinct_b; unused for an anisotropic atom
    bool anisotropic;
    std::array<double, 6> beta;
  };
  struct Block {
    size_t begin, end;
    size_t species;
  };
  std::vector<double> x, y, z;  // padded; padding at the origin
  std::vector<Block> blocks;
  std::vector<Run> runs;
  std::vector<double> distinct_b;
};

Layout lay_out(const PatternRequest& request) {
  Layout layout;
  const std::vector<Atom>& atoms = request.atoms;
  std::vector<size_t> order(atoms.size());
  std::iota(order.begin(), order.end(), size_t{0});
  auto run_key = [&](size_t j) {
    const Atom& a = atoms[j];
    return std::make_tuple(a.species, a.anisotropic, a.anisotropic ? 0.0 : a.b_iso, a.occupancy);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t i, size_t j) { return run_key(i) < run_key(j); });

  std::map<double, size_t> b_indices;
  size_t position = 0;
  for (size_t i = 0; i < order.size();) {
    const int32_t species = atoms[order[i]].species;
    const size_t block_begin = position;
    for (; i < order.size() && atoms[order[i]].species == species; ++i) {
      const Atom& a = atoms[order[i]];
      layout.x.push_back(a.frac[0]);
      layout.y.push_back(a.frac[1]);
      layout.z.push_back(a.frac[2]);
      const bool joins = !a.anisotropic && !layout.runs.empty() &&
                         layout.runs.back().end == position && !layout.runs.back().anisotropic &&
                         layout.runs.back().occupancy == a.occupancy &&
                         layout.distinct_b[layout.runs.back().b_index] == a.b_iso &&
                         layout.runs.back().begin >= block_begin;
      if (joins) {
        ++layout.runs.back().end;
      } else {
        size_t b_index = 0;
        if (!a.anisotropic) {
          auto [place, added] = b_indices.try_emplace(a.b_iso, layout.distinct_b.size());
          if (added) layout.distinct_b.push_back(a.b_iso);
          b_index = place->second;
        }
        layout.runs.push_back(
            {position, position + 1, a.occupancy, b_index, a.anisotropic, a.beta});
      }
      ++position;
    }
    const size_t block_end = padded(position);
    for (; position < block_end; ++position) {
      layout.x.push_back(0.0);
      layout.y.push_back(0.0);
      layout.z.push_back(0.0);
    }
    layout.blocks.push_back({block_begin, block_end, static_cast<size_t>(species)});
  }
  return layout;
}

// Orbits sharing h and k: [first, last) of the sorted list.
struct Row {
  size_t first, last;
};

// Per worker: A = X_h · Y_k, the weights, the Debye–Waller factors.
struct Scratch {
  std::vector<double> a_re, a_im, w, d;
};

class Calculation {
 public:
  Calculation(const PatternRequest& request, const std::vector<ReflectionOrbit>& orbits,
              bool bijvoet_mean)
      : request_(request), orbits_(orbits), layout_(lay_out(request)), bijvoet_mean_(bijvoet_mean) {
    int32_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    if (!orbits.empty()) {
      lo[0] = hi[0] = orbits[0].h;
      lo[1] = hi[1] = orbits[0].k;
      lo[2] = hi[2] = orbits[0].l;
    }
    for (const ReflectionOrbit& o : orbits) {
      lo[0] = std::min(lo[0], o.h), hi[0] = std::max(hi[0], o.h);
      lo[1] = std::min(lo[1], o.k), hi[1] = std::max(hi[1], o.k);
      lo[2] = std::min(lo[2], o.l), hi[2] = std::max(hi[2], o.l);
    }
    const bool simd = request.use_simd;
    x_table_ = PhaseTable(layout_.x, lo[0], hi[0], simd);
    y_table_ = PhaseTable(layout_.y, lo[1], hi[1], simd);
    z_table_ = PhaseTable(layout_.z, lo[2], hi[2], simd);
  }

  size_t atoms() const { return layout_.x.size(); }

  void prepare(Scratch& scratch) const {
    if (scratch.w.size() == atoms()) return;
    scratch.a_re.assign(atoms(), 0.0);
    scratch.a_im.assign(atoms(), 0.0);
    scratch.w.assign(atoms(), 0.0);  // padding keeps weight 0
    scratch.d.assign(layout_.distinct_b.size(), 0.0);
  }

  void compute_row(const Row& row, Scratch& scratch, std::vector<double>& out) const {
    prepare(scratch);
    const bool simd = request_.use_simd;
    const ReflectionOrbit& head = orbits_[row.first];
    multiply_phases(x_table_.re(head.h), x_table_.im(head.h), y_table_.re(head.k),
                    y_table_.im(head.k), scratch.a_re.data(), scratch.a_im.data(), atoms(), simd);
    for (size_t i = row.first; i < row.last; ++i) {
      const ReflectionOrbit& o = orbits_[i];
      const double t = o.g * 0.5;
      const double s2 = t * t;
      fill_weights(o, s2, scratch);
      double re = 0.0, im = 0.0, mate_re = 0.0, mate_im = 0.0;
      for (const Layout::Block& block : layout_.blocks) {
        const ComplexSum sum =
            weighted_phase_sum(scratch.w.data(), scratch.a_re.data(), scratch.a_im.data(),
                               z_table_.re(o.l), z_table_.im(o.l), block.begin, block.end, simd);
        const std::array<double, 2> f =
            scattering_factor(request_.species[block.species], request_.radiation, s2);
        re += f[0] * sum.re - f[1] * sum.im;
        im += f[0] * sum.im + f[1] * sum.re;
        if (bijvoet_mean_) {  // F(-h): f times the conjugate sum
          mate_re += f[0] * sum.re + f[1] * sum.im;
          mate_im += f[1] * sum.re - f[0] * sum.im;
        }
      }
      out[i] = re * re + im * im;
      if (bijvoet_mean_) out[i] = (out[i] + (mate_re * mate_re + mate_im * mate_im)) * 0.5;
    }
  }

 private:
  void fill_weights(const ReflectionOrbit& o, double s2, Scratch& scratch) const {
    for (size_t i = 0; i < layout_.distinct_b.size(); ++i)
      scratch.d[i] = std::exp(s2 * -layout_.distinct_b[i]);
    const double h = o.h, k = o.k, l = o.l;
    for (const Layout::Run& run : layout_.runs) {
      if (run.anisotropic) {
        const std::array<double, 6>& b = run.beta;
        const double q = b[0] * h * h + b[1] * k * k + b[2] * l * l +
                         2.0 * (b[3] * h * k + b[4] * h * l + b[5] * k * l);
        scratch.w[run.begin] = run.occupancy * std::exp(-q);
      } else {
        std::fill(scratch.w.begin() + static_cast<std::ptrdiff_t>(run.begin),
                  scratch.w.begin() + static_cast<std::ptrdiff_t>(run.end),
                  run.occupancy * scratch.d[run.b_index]);
      }
    }
  }

  const PatternRequest& request_;
  const std::vector<ReflectionOrbit>& orbits_;
  Layout layout_;
  bool bijvoet_mean_;
  PhaseTable x_table_, y_table_, z_table_;
};

}  // namespace

std::array<double, 2> scattering_factor(const Species& species, Radiation radiation, double s2) {
  if (radiation == Radiation::neutron) return {species.constant_re, species.constant_im};
  double sum = 0.0;
  for (const std::array<double, 2>& pair : species.electron_pairs)
    sum = sum + std::exp(s2 * -pair[1]) * pair[0];
  if (radiation == Radiation::electron) return {sum + species.constant_re, species.constant_im};
  const double k = s2 * mott_bethe;
  const double f0 = species.atomic_number - k * sum;
  return {f0 + species.constant_re, species.constant_im};
}

std::vector<double> squared_structure_factors(const PatternRequest& request,
                                              const std::vector<ReflectionOrbit>& orbits,
                                              const InterruptCheck& check_interrupt,
                                              bool bijvoet_mean) {
  std::vector<double> out(orbits.size(), 0.0);
  if (orbits.empty() || request.atoms.empty()) return out;

  // Rows of orbits sharing (h, k), walked in (h, k, l) order.
  std::vector<size_t> order(orbits.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t i, size_t j) {
    const ReflectionOrbit &a = orbits[i], &b = orbits[j];
    if (a.h != b.h) return a.h < b.h;
    if (a.k != b.k) return a.k < b.k;
    return a.l < b.l;
  });
  std::vector<ReflectionOrbit> sorted;
  sorted.reserve(orbits.size());
  for (size_t i : order) sorted.push_back(orbits[i]);
  std::vector<Row> rows;
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i + 1;
    while (j < sorted.size() && sorted[j].h == sorted[i].h && sorted[j].k == sorted[i].k) ++j;
    rows.push_back({i, j});
    i = j;
  }

  const Calculation calculation(request, sorted, bijvoet_mean && request.anomalous);
  const double atoms = static_cast<double>(calculation.atoms());
  auto row_terms = [&](const Row& row) {
    return atoms * static_cast<double>(row.last - row.first + 1);
  };
  double total = 0.0;
  for (const Row& row : rows) total += row_terms(row);

  std::vector<double> sorted_out(sorted.size(), 0.0);
  std::optional<CallPool> pool;
  if (request.parallel && total >= pool_threshold) {
    // No more workers than the work keeps busy.
    const size_t useful = static_cast<size_t>(std::max(1.0, total / pool_threshold));
    const size_t workers = std::min({worker_count(request.num_threads), useful, rows.size()});
    if (workers > 1) pool.emplace(workers);
  }

  size_t reflections = 0, done = 0;
  for (const ReflectionOrbit& o : sorted) reflections += static_cast<size_t>(o.multiplicity);
  Scratch serial_scratch;
  for (size_t first = 0; first < rows.size();) {
    double terms = 0.0;
    size_t last = first;
    while (last < rows.size() && (terms < batch_terms || last == first))
      terms += row_terms(rows[last++]);
    if (pool) {
      parallel_for_each_index<Scratch>(*pool, last - first, [&](Scratch& scratch, size_t i) {
        calculation.compute_row(rows[first + i], scratch, sorted_out);
      });
    } else {
      for (size_t r = first; r < last; ++r)
        calculation.compute_row(rows[r], serial_scratch, sorted_out);
    }
    for (size_t i = rows[first].first; i < rows[last - 1].last; ++i) {
      done += static_cast<size_t>(sorted[i].multiplicity);
    }
    first = last;
    check_interrupt(done, reflections);
  }
  for (size_t i = 0; i < order.size(); ++i) out[order[i]] = sorted_out[i];
  return out;
}

}  // namespace peakforge::pattern
