// The load figure: round2 gives the double nearest to the multiple of 0.01 that
// is nearest to the exact value of its input, exact ties away from zero, as an
// exact rational computation (GMP) finds it; and the figure's text reads back
// to the same number.
#include <gmp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "front/watchdog.h"

namespace {

double expected(double value) {
  mpq_t exact, hundredfold, half;
  mpq_inits(exact, hundredfold, half, nullptr);
  mpq_set_d(exact, std::fabs(value));  // exact: every double is a rational
  mpq_set_ui(hundredfold, 100, 1);
  mpq_mul(hundredfold, hundredfold, exact);
  mpq_set_ui(half, 1, 2);
  mpq_add(hundredfold, hundredfold, half);  // floor(100|x| + 1/2): ties go up, away from zero
  mpz_t k;
  mpz_init(k);
  mpz_fdiv_q(k, mpq_numref(hundredfold), mpq_denref(hundredfold));
  char* digits = mpz_get_str(nullptr, 10, k);
  std::string decimal = digits;
  std::free(digits);
  while (decimal.size() < 3) decimal.insert(decimal.begin(), '0');
  decimal.insert(decimal.size() - 2, ".");
  mpz_clear(k);
  mpq_clears(exact, hundredfold, half, nullptr);
  const double rounded = std::strtod(decimal.c_str(), nullptr);  // nearest double
  return std::signbit(value) ? -rounded : rounded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != sizeof(double)) return 0;
  double value = 0;
  std::memcpy(&value, data, sizeof value);
  if (!std::isfinite(value)) return 0;
  const double rounded = pw::round2(value);
  const double wanted = expected(value);
  if (rounded != wanted || std::signbit(rounded) != std::signbit(wanted)) std::abort();
  if (std::fabs(rounded) < 1e9) {
    const std::string text = pw::figure_text(rounded);
    if (text.find_first_of(".e") == std::string::npos) std::abort();
    if (std::strtod(text.c_str(), nullptr) != rounded) std::abort();
  }
  return 0;
}
