// Unit tests of the intensity core that Python cannot reach: the bits of the
// 4-lane sine/cosine, the worker-count rules and the call pool.
#include <dirent.h>  // for opendir, readdir: counting this process's threads

#include <atomic>
#include <bit>
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

#include "base/panic.hpp"
#include "base/platform.hpp"
#include "intensity/call_pool.hpp"
#include "intensity/sin_cos_x4.hpp"
#include "intensity/worker_count.hpp"

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

std::string hex(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%016llx (%.17g)", static_cast<unsigned long long>(bits(v)), v);
  return text;
}

// ---- sin_cos_x4 against a plain scalar model of the same steps -----------

double constant(uint64_t pattern) { return std::bit_cast<double>(pattern); }

std::pair<double, double> reference_sin_cos(double phi) {
  namespace k = peakforge::sin_cos_constants;
  const double a = std::fabs(phi);
  const double y = std::nearbyint(a * constant(k::two_over_pi));  // default mode: ties to even
  double r = std::fma(y, constant(k::minus_p1), a);
  r = std::fma(y, constant(k::minus_p2), r);
  r = std::fma(y, constant(k::minus_p3), r);
  const double r2 = r * r, r4 = r2 * r2, r8 = r4 * r4, r3 = r * r2;
  double p = std::fma(r8, std::fma(r2, constant(k::s5), constant(k::s4)),
                      std::fma(r2, constant(k::s1), constant(k::s0)));
  p = std::fma(r4, std::fma(r2, constant(k::s3), constant(k::s2)), p);
  double s = std::fma(r3, p, r);
  double q = std::fma(r8, std::fma(r2, constant(k::c5), constant(k::c4)),
                      std::fma(r2, constant(k::c1), constant(k::c0)));
  q = std::fma(r4, std::fma(r2, constant(k::c3), constant(k::c2)), q);
  double c = std::fma(r4, q, std::fma(r2, -0.5, 1.0));

  int64_t n;
  if (std::isnan(y)) {
    n = 0;
  } else if (y >= 9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::max();
  } else {
    n = static_cast<int64_t>(y);
  }
  if (n > (int64_t{1} << 55) && std::isfinite(a)) {
    s = 0.0;
    c = 1.0;
  }
  if (n & 1) std::swap(s, c);
  const uint64_t un = static_cast<uint64_t>(n);
  const bool phi_negative = std::signbit(phi);
  if (((un >> 1) & 1) != static_cast<uint64_t>(phi_negative)) s = -s;
  if (((un + 1) >> 1) & 1) c = -c;
  return {s, c};
}

void test_sin_cos_bit_patterns() {
  struct Case { double phi; double sin; double cos; };
  const Case cases[] = {
      {0.0, 0.0, 1.0}, {-0.0, -0.0, 1.0}, {1e17, 0.0, 1.0}, {-1e17, -0.0, 1.0},
      {1e20, -1.0, 0.0}, {-1e20, 1.0, 0.0},
  };
  for (const Case& c : cases) {
    const auto out = peakforge::sin_cos_x4({c.phi, c.phi, c.phi, c.phi});
    for (const auto& [s, co] : out) {
      check(bits(s) == bits(c.sin) && bits(co) == bits(c.cos),
            "sin_cos_x4(" + hex(c.phi) + ") = (" + hex(s) + ", " + hex(co) + ")");
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double phi : {nan, -nan, inf, -inf}) {
    const auto [s, c] = peakforge::sin_cos_x4({phi, 0.0, 0.0, 0.0})[0];
    check(std::isnan(s) && std::isnan(c), "non-finite phase gives NaN: " + hex(phi));
  }
}

// Each input goes into a random lane among garbage lanes, as the lanes must
// not influence one another.
void test_sin_cos_sweep() {
  std::mt19937_64 random(12345);
  std::vector<double> phases = {
      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
      std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
      std::bit_cast<double>(uint64_t{0x7FF0000000000001}),  // signalling NaN
      M_PI_4, M_PI_2, M_PI, 3 * M_PI_2, 2 * M_PI, 1e6 * M_PI,
  };
  // Quadrant counts around 2^52 .. 2^55 and 2^63, where n's bits and the
  // overflow and saturation rules change.
  for (int e : {51, 52, 53, 54, 55, 56, 62, 63, 64}) {
    const double quadrant = std::ldexp(1.0, e) / constant(peakforge::sin_cos_constants::two_over_pi);
    double v = quadrant;
    for (int step = 0; step < 40; ++step) {
      phases.push_back(v);
      phases.push_back(-v);
      v = std::nextafter(v, 0.0);
    }
    v = quadrant;
    for (int step = 0; step < 40; ++step) phases.push_back(v = std::nextafter(v, INFINITY));
    for (int step = 1; step < 20; ++step) phases.push_back(quadrant * (1.0 + step / 997.0));
  }
  for (int i = 0; i < 200000; ++i) {
    const double magnitude = std::ldexp(1.0, static_cast<int>(random() % 140) - 60);
    const double u = std::bit_cast<double>((random() >> 12) | 0x3FF0000000000000) - 1.0;
    phases.push_back((random() & 1 ? -1.0 : 1.0) * u * magnitude);
  }
  for (int i = 0; i < 20000; ++i) {
    // Arbitrary bit patterns: every exponent, NaN payloads, subnormals.
    phases.push_back(std::bit_cast<double>(random()));
  }

  // Garbage of any bit pattern mostly sends a group down the path for huge
  // phases; moderate garbage keeps it on the common one. Both must agree.
  std::uniform_real_distribution<double> moderate(-1e3, 1e3);
  int mismatches = 0;
  for (double phi : phases) {
    for (bool wild : {true, false}) {
      std::array<double, 4> lanes;
      for (double& lane : lanes) lane = wild ? std::bit_cast<double>(random()) : moderate(random);
      const size_t lane = random() % 4;
      lanes[lane] = phi;
      const auto [s, c] = peakforge::sin_cos_x4(lanes)[lane];
      const auto [rs, rc] = reference_sin_cos(phi);
      if ((bits(s) != bits(rs) || bits(c) != bits(rc)) && ++mismatches <= 10) {
        check(false, "sin_cos_x4(" + hex(phi) + ") = (" + hex(s) + ", " + hex(c) +
                         "), model (" + hex(rs) + ", " + hex(rc) + ")");
      }
    }
  }
  check(mismatches == 0, "sweep of " + std::to_string(phases.size()) + " phases: " +
                             std::to_string(mismatches) + " mismatches");
}

// The model shares the constants, so a wrong constant would pass the sweep:
// check the accuracy against the C library where the reduction is exact.
void test_sin_cos_accuracy() {
  std::mt19937_64 random(99);
  std::uniform_real_distribution<double> phase(-1e4, 1e4);
  double worst = 0.0;
  for (int i = 0; i < 100000; ++i) {
    const double phi = phase(random);
    const auto [s, c] = peakforge::sin_cos_x4({phi, phi, phi, phi})[0];
    worst = std::max({worst, std::fabs(s - std::sin(phi)), std::fabs(c - std::cos(phi))});
  }
  check(worst < 4e-16, "sin_cos_x4 within 4e-16 of sin and cos, worst " + hex(worst));
}

// ---- worker count ----------------------------------------------------------

void test_parse_unsigned_decimal() {
  using peakforge::parse_unsigned_decimal;
  check(parse_unsigned_decimal("2") == 2u && parse_unsigned_decimal("+2") == 2u &&
            parse_unsigned_decimal("0") == 0u && parse_unsigned_decimal("007") == 7u,
        "plain and '+' decimals parse");
  check(parse_unsigned_decimal("18446744073709551615") == UINT64_MAX,
        "2^64 - 1 parses");
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
  struct Case { const char* num_threads_env; const char* cpus_env; size_t expected; };
  const Case cases[] = {
      {"2", "5", 2},       {"+2", nullptr, 2},  {"0", "5", cpus},    {"2.0", "5", 5},
      {"abc", "5", 5},     {" 2", "5", 5},      {"", "5", 5},        {nullptr, "5", 5},
      {nullptr, "+6", 6},  {nullptr, "0", cpus}, {nullptr, "x", cpus}, {nullptr, nullptr, cpus},
      {"100000", nullptr, 65535}, {"18446744073709551615", nullptr, 65535},
      {nullptr, "70000", 65535},
  };
  for (const Case& c : cases) {
    set_env("RAYON_NUM_THREADS", c.num_threads_env);
    set_env("RAYON_RS_NUM_CPUS", c.cpus_env);
    const size_t w = peakforge::worker_count(0);
    check(w == c.expected, std::string("RAYON_NUM_THREADS=") +
                               (c.num_threads_env ? c.num_threads_env : "(unset)") +
                               " RAYON_RS_NUM_CPUS=" + (c.cpus_env ? c.cpus_env : "(unset)") +
                               ": " + std::to_string(w) + " workers, expected " +
                               std::to_string(c.expected));
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

void test_every_index_once() {
  for (size_t workers : {1, 2, 3, 7}) {
    for (size_t n : {0, 1, 5, 1000}) {
      std::vector<std::atomic<int>> visits(n);
      std::atomic<size_t> states{0};
      {
        peakforge::CallPool pool(workers);
        check(pool.size() == workers && thread_count() == 1 + workers,
              "pool of " + std::to_string(workers) + " runs that many threads");
        struct State { int dummy = 0; };
        peakforge::parallel_for_each_index<State>(pool, n, [&](State& state, size_t i) {
          if (state.dummy++ == 0) ++states;
          ++visits[i];
        });
      }
      bool once = true;
      for (auto& v : visits) once = once && v == 1;
      check(once, "every index exactly once, W=" + std::to_string(workers) +
                      " n=" + std::to_string(n));
      check(states <= workers, "at most one state per worker");
      check(thread_count() == 1, "no worker outlives its pool");
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
      [&](size_t stack, std::function<void()> body, std::string& error)
      -> std::optional<peakforge::platform::ThreadHandle> {
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
    check(failure.message.starts_with("called `Result::unwrap()` on an `Err` value"),
          "build failure message: " + failure.message);
    check(thread_count() == 1, "the two started workers were stopped and joined");
  }
}

}  // namespace

int main() {
  test_sin_cos_bit_patterns();
  test_sin_cos_sweep();
  test_sin_cos_accuracy();
  test_parse_unsigned_decimal();
  test_worker_count_rules();
  test_every_index_once();
  test_failures_reach_the_caller();
  test_build_failure_leaks_no_thread();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
