// Unit tests of the intensity core that Python cannot reach: the bits of the
// vector sine/cosine, the worker-count rules and the call pool.
#include <dirent.h>  // for opendir, readdir: counting this process's threads

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>  // for setenv, unsetenv
#include <limits>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/call_pool.hpp"
#include "base/panic.hpp"
#include "base/platform.hpp"
#include "base/worker_count.hpp"
#include "intensity/lane_scalar.hpp"
#include "intensity/sin_cos_x4.hpp"
#include "intensity/structure_factor_x8.hpp"

#include "check.hpp"  // the tests' assertion

namespace {

using test_support::check;

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

std::string hex(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%016llx (%.17g)", static_cast<unsigned long long>(bits(v)),
                v);
  return text;
}

// ---- the vector sine/cosine ------------------------------------------------

// Distance in units in the last place between two doubles of the same sign
// (the count of representable doubles between them).
int64_t ulps_apart(double a, double b) {
  auto ordered = [](double v) {
    const int64_t i = std::bit_cast<int64_t>(v);
    return i < 0 ? std::numeric_limits<int64_t>::min() - i : i;
  };
  const int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

std::string mismatch(const std::string& what, double phi, double got_sin, double got_cos,
                     double want_sin, double want_cos) {
  return what + "(" + hex(phi) + ") = (" + hex(got_sin) + ", " + hex(got_cos) + "), expected (" +
         hex(want_sin) + ", " + hex(want_cos) +
         "): " + std::to_string(ulps_apart(got_sin, want_sin)) + " and " +
         std::to_string(ulps_apart(got_cos, want_cos)) + " ulps apart";
}

// Special values, quadrant counts around 2^51 .. 2^64 (where n's bits and
// the overflow and saturation rules change), random magnitudes from 2^-60
// to 2^80 and arbitrary bit patterns (every exponent, NaN payloads,
// subnormals).
std::vector<double> fixed_phases() {
  std::vector<double> phases = {0.0,
                                -0.0,
                                1e17,
                                -1e17,
                                1e20,
                                -1e20,
                                std::numeric_limits<double>::quiet_NaN(),
                                -std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max(),
                                M_PI_4,
                                M_PI_2,
                                M_PI,
                                3 * M_PI_2,
                                2 * M_PI,
                                1e6 * M_PI};
  const double two_over_pi = std::bit_cast<double>(peakforge::sin_cos_constants::two_over_pi);
  for (int e : {51, 52, 53, 54, 55, 56, 62, 63, 64}) {
    const double quadrant = std::ldexp(1.0, e) / two_over_pi;
    double v = quadrant;
    for (int step = 0; step < 40; ++step) {
      phases.push_back(v);
      phases.push_back(-v);
      v = std::nextafter(v, 0.0);
    }
    v = quadrant;
    for (int step = 0; step < 40; ++step) phases.push_back(v = std::nextafter(v, INFINITY));
  }
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 100000; ++i) {
    const double magnitude = std::ldexp(1.0, static_cast<int>(random() % 140) - 60);
    const double u = std::bit_cast<double>((random() >> 12) | 0x3FF0000000000000) - 1.0;
    phases.push_back((random() & 1 ? -1.0 : 1.0) * u * magnitude);
  }
  for (int i = 0; i < 10000; ++i) phases.push_back(std::bit_cast<double>(random()));
  return phases;
}

struct Digest {  // FNV-1a over the bytes of doubles
  uint64_t state = 0xcbf29ce484222325;
  void add(double v) {
    const uint64_t b = bits(v);
    for (int i = 0; i < 8; ++i) {
      state ^= (b >> (8 * i)) & 0xFF;
      state *= 0x100000001b3;
    }
  }
};

// (sin, cos) of every phase by the 4-lane, the 8-lane (where the processor
// has it) and the scalar form.
std::vector<std::pair<double, double>> sin_cos_by(const std::string& form,
                                                  std::vector<double> phases) {
  while (phases.size() % 8 != 0) phases.push_back(0.0);
  std::vector<std::pair<double, double>> out(phases.size());
  for (size_t i = 0; i < phases.size(); i += 8) {
    if (form == "4-lane") {
      for (size_t half : {0, 4}) {
        const auto four = peakforge::sin_cos_x4(
            {phases[i + half], phases[i + half + 1], phases[i + half + 2], phases[i + half + 3]});
        for (size_t lane = 0; lane < 4; ++lane) out[i + half + lane] = four[lane];
      }
    } else if (form == "8-lane") {
      double s[8], c[8];
      peakforge::sin_cos_x8(&phases[i], s, c);
      for (size_t lane = 0; lane < 8; ++lane) out[i + lane] = {s[lane], c[lane]};
    } else {
      for (size_t lane = 0; lane < 8; ++lane)
        out[i + lane] = peakforge::sin_cos_model(phases[i + lane]);
    }
  }
  return out;
}

std::vector<std::string> vector_forms() {
  std::vector<std::string> forms = {"4-lane"};
  if (peakforge::platform::avx512f_usable()) forms.push_back("8-lane");
  return forms;
}

// The outputs over the fixed phases, and the two polynomial steps at
// arguments far outside the reduced range, where the last bit of every
// coefficient shows, are pinned: a constant or a step changed in its last
// bit changes a digest. The stored values are those of the module's results
// as first defined.
void test_sin_cos_digest() {
  constexpr uint64_t pinned_outputs = 0xe2ade9f4a8712bc3;
  constexpr uint64_t pinned_polynomials = 0x54b5e766013896ba;
  const std::vector<double> phases = fixed_phases();
  std::vector<std::string> forms = vector_forms();
  forms.push_back("scalar model");
  for (const std::string& form : forms) {
    const auto out = sin_cos_by(form, phases);
    Digest digest;
    for (size_t i = 0; i < phases.size(); ++i) digest.add(out[i].first), digest.add(out[i].second);
    char text[32];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest.state));
    check(digest.state == pinned_outputs, form + " outputs over the fixed phases: digest " + text);
  }
  namespace steps = peakforge::sin_cos_steps;
  Digest digest;
  for (int e = -3; e <= 6; ++e) {
    for (double m : {1.0, -1.0, 1.37, -2.91}) {
      const auto x = steps::powers<peakforge::ScalarLane>(m * std::ldexp(1.0, e));
      digest.add(steps::sine_polynomial<peakforge::ScalarLane>(x));
      digest.add(steps::cosine_polynomial<peakforge::ScalarLane>(x));
    }
  }
  check(digest.state == pinned_polynomials, "polynomial steps at the probe arguments");
}

void test_sin_cos_bit_patterns() {
  struct Case {
    double phi;
    double sin;
    double cos;
  };
  const Case cases[] = {
      {0.0, 0.0, 1.0},    {-0.0, -0.0, 1.0}, {1e17, 0.0, 1.0},
      {-1e17, -0.0, 1.0}, {1e20, -1.0, 0.0}, {-1e20, 1.0, 0.0},
  };
  for (const Case& c : cases) {
    const auto [s, co] = peakforge::sin_cos_model(c.phi);
    check(bits(s) == bits(c.sin) && bits(co) == bits(c.cos),
          mismatch("sin_cos_model", c.phi, s, co, c.sin, c.cos));
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double phi : {nan, -nan, inf, -inf}) {
    const auto [s, c] = peakforge::sin_cos_model(phi);
    check(std::isnan(s) && std::isnan(c), "non-finite phase gives NaN: " + hex(phi));
  }
}

// Each phase goes into a random lane among garbage lanes, as the lanes must
// not influence one another; garbage of any bit pattern mostly sends a
// vector down the path for huge phases, moderate garbage keeps it on the
// common one. Every lane must give the scalar model's bits.
void test_sin_cos_lanes_match_the_model() {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> moderate(-1e3, 1e3);
  const std::vector<double> phases = fixed_phases();
  for (const std::string& form : vector_forms()) {
    const size_t width = form == "8-lane" ? 8 : 4;
    int mismatches = 0;
    for (double phi : phases) {
      for (bool wild : {true, false}) {
        std::vector<double> lanes(width);
        for (double& lane : lanes) lane = wild ? std::bit_cast<double>(random()) : moderate(random);
        const size_t lane = random() % width;
        lanes[lane] = phi;
        const auto [s, c] = sin_cos_by(form, lanes)[lane];
        const auto [ms, mc] = peakforge::sin_cos_model(phi);
        if ((bits(s) != bits(ms) || bits(c) != bits(mc)) && ++mismatches <= 10) {
          check(false, mismatch(form, phi, s, c, ms, mc));
        }
      }
    }
    check(mismatches == 0, form + ": " + std::to_string(mismatches) + " mismatches over " +
                               std::to_string(phases.size()) + " phases");
  }
}

// The error bound stated in sin_cos.hpp, against long double sinl and cosl
// (64-bit significands): at most 1 ulp on the reduced range [-pi/4, pi/4],
// at most 2 ulps for |phi| up to 1e6 (the test's range; 2e6 samples per
// decade band up to 1e12 showed the same).
void test_sin_cos_accuracy() {
  std::mt19937_64 random(99);
  for (const auto& [limit, bound] : {std::pair{M_PI_4, int64_t{1}}, std::pair{1e6, int64_t{2}}}) {
    int64_t worst = 0;
    double worst_phi = 0.0;
    for (int i = 0; i < 200000; ++i) {
      const double phi = std::uniform_real_distribution<double>(-1.0, 1.0)(random) *
                         std::min(limit, std::ldexp(1.0, static_cast<int>(random() % 40) - 20));
      const auto [s, c] = peakforge::sin_cos_model(phi);
      const int64_t error = std::max(ulps_apart(s, static_cast<double>(sinl(phi))),
                                     ulps_apart(c, static_cast<double>(cosl(phi))));
      if (error > worst) worst = error, worst_phi = phi;
    }
    check(worst <= bound, "sin_cos within " + std::to_string(bound) +
                              " ulp of sinl and cosl for |phi| <= " + std::to_string(limit) +
                              ", worst " + std::to_string(worst) + " ulps at " + hex(worst_phi));
  }
}

// Reusing the intensity of a reflection for its mirror image (-h, -k, -l)
// relies on the C library's sine being odd and its cosine even, bit for bit.
void test_c_library_sine_is_odd() {
  std::mt19937_64 random(7);
  int failures = 0;
  for (int i = 0; i < 1000000; ++i) {
    // Finite x of every exponent (a NaN result is never reused).
    const double x = std::ldexp(std::bit_cast<double>((random() >> 12) | 0x3FF0000000000000),
                                static_cast<int>(random() % 2098) - 1074);
    if (!std::isfinite(x)) continue;
    const bool odd = bits(std::sin(-x)) == bits(-std::sin(x));
    const bool even = bits(std::cos(-x)) == bits(std::cos(x));
    if ((!odd || !even) && ++failures <= 5) {
      check(false, "sin(-x) = -sin(x) and cos(-x) = cos(x) for x = " + hex(x));
    }
  }
  check(failures == 0, "the C library's sine is odd and cosine even");
}

// ---- worker count ----------------------------------------------------------

void test_parse_unsigned_decimal() {
  using peakforge::parse_unsigned_decimal;
  check(parse_unsigned_decimal("2") == 2u && parse_unsigned_decimal("+2") == 2u &&
            parse_unsigned_decimal("0") == 0u && parse_unsigned_decimal("007") == 7u,
        "plain and '+' decimals parse");
  check(parse_unsigned_decimal("18446744073709551615") == UINT64_MAX, "2^64 - 1 parses");
  for (const char* bad : {"", "+", "++2", "-2", "2.0", "abc", " 2", "2 ", "0x10", "1e3",
                          "18446744073709551616", "99999999999999999999"}) {
    check(!parse_unsigned_decimal(bad), std::string("rejects '") + bad + "'");
  }
}

void set_env(const char* name, const char* value) {
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

void test_worker_count_rules() {
  const size_t cpus = std::max(1u, peakforge::platform::logical_processor_count());
  struct Case {
    const char* num_threads_env;
    const char* cpus_env;
    size_t expected;
  };
  const Case cases[] = {
      {"2", "5", 2},
      {"+2", nullptr, 2},
      {"0", "5", cpus},
      {"2.0", "5", 5},
      {"abc", "5", 5},
      {" 2", "5", 5},
      {"", "5", 5},
      {nullptr, "5", 5},
      {nullptr, "+6", 6},
      {nullptr, "0", cpus},
      {nullptr, "x", cpus},
      {nullptr, nullptr, cpus},
      {"100000", nullptr, 65535},
      {"18446744073709551615", nullptr, 65535},
      {nullptr, "70000", 65535},
  };
  for (const Case& c : cases) {
    set_env("RAYON_NUM_THREADS", c.num_threads_env);
    set_env("RAYON_RS_NUM_CPUS", c.cpus_env);
    const size_t w = peakforge::worker_count(0);
    check(w == c.expected,
          std::string("RAYON_NUM_THREADS=") + (c.num_threads_env ? c.num_threads_env : "(unset)") +
              " RAYON_RS_NUM_CPUS=" + (c.cpus_env ? c.cpus_env : "(unset)") + ": " +
              std::to_string(w) + " workers, expected " + std::to_string(c.expected));
  }
  set_env("RAYON_NUM_THREADS", "5");
  check(peakforge::worker_count(3) == 3, "num_threads wins over the environment");
  check(peakforge::worker_count(100000) == 65535, "num_threads is capped at 65535");
  set_env("RAYON_NUM_THREADS", nullptr);
  set_env("RAYON_RS_NUM_CPUS", nullptr);
}

// ---- call pool -------------------------------------------------------------

size_t thread_count() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// A joined thread leaves /proc/self/task a moment after pthread_join returns
// (the kernel clears the joined tid before it finishes reaping the task), so
// on a busy machine the count is awaited rather than read once.
size_t settled_thread_count(size_t expected) {
  size_t count = thread_count();
  for (int tries = 0; count != expected && tries < 400; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    count = thread_count();
  }
  return count;
}

void test_every_index_once() {
  for (size_t workers : {1, 2, 3, 7}) {
    for (size_t n : {0, 1, 5, 1000}) {
      std::vector<std::atomic<int>> visits(n);
      std::atomic<size_t> states{0};
      {
        peakforge::CallPool pool(workers);
        check(pool.size() == workers && settled_thread_count(1 + workers) == 1 + workers,
              "pool of " + std::to_string(workers) + " runs that many threads");
        struct State {
          int dummy = 0;
        };
        peakforge::parallel_for_each_index<State>(pool, n, [&](State& state, size_t i) {
          if (state.dummy++ == 0) ++states;
          ++visits[i];
        });
      }
      bool once = true;
      for (auto& v : visits) once = once && v == 1;
      check(once,
            "every index exactly once, W=" + std::to_string(workers) + " n=" + std::to_string(n));
      check(states <= workers, "at most one state per worker");
      check(settled_thread_count(1) == 1, "no worker outlives its pool");
    }
  }
}

void test_failures_reach_the_caller() {
  peakforge::CallPool pool(3);
  std::atomic<int> pieces{0};
  try {
    pool.run([&] {
      ++pieces;
      peakforge::panic("piece failed");
    });
    check(false, "a failing piece fails the run");
  } catch (const peakforge::InternalFailure& failure) {
    check(failure.message == "piece failed", "the failure's message reaches the caller");
    check(pieces == 3, "the run ends only after every piece has stopped");
  }
  try {
    pool.run([] { throw std::bad_alloc(); });
    check(false, "running out of memory on a worker fails the run");
  } catch (const std::bad_alloc&) {
    check(true, "bad_alloc is carried to the caller");
  }
  std::atomic<int> after{0};
  pool.run([&] { ++after; });
  check(after == 3, "the pool works after a failed run");
}

void test_build_failure_leaks_no_thread() {
  int started = 0;
  const peakforge::CallPool::ThreadStarter flaky =
      [&](size_t stack, std::function<void()> body,
          std::string& error) -> std::optional<peakforge::platform::ThreadHandle> {
    if (++started == 3) {
      error = "Resource temporarily unavailable (os error 11)";
      return std::nullopt;
    }
    return peakforge::platform::start_thread(stack, std::move(body), error);
  };
  try {
    peakforge::CallPool pool(5, flaky);
    check(false, "a thread that cannot start fails the build");
  } catch (const peakforge::InternalFailure& failure) {
    check(failure.message ==
              "called `Result::unwrap()` on an `Err` value: cannot start worker "
              "thread 3 of 5: Resource temporarily unavailable (os error 11)",
          "build failure message names the thread that failed: " + failure.message);
    check(settled_thread_count(1) == 1, "the two started workers were stopped and joined");
  }
}

}  // namespace

int main() {
  test_sin_cos_digest();
  test_sin_cos_bit_patterns();
  test_sin_cos_lanes_match_the_model();
  test_sin_cos_accuracy();
  test_c_library_sine_is_odd();
  test_parse_unsigned_decimal();
  test_worker_count_rules();
  test_every_index_once();
  test_failures_reach_the_caller();
  test_build_failure_leaks_no_thread();
  return test_support::tally();
}
