// wrapping_int - 32-bit integer arithmetic of script values and the one
// float-to-int conversion. Shared by the executor's fast paths, the operator
// rules of variable.cc and the library functions, so none can disagree on an
// overflowing result.
#ifndef TORVANE_SCRIPT_WRAPPING_INT_H_
#define TORVANE_SCRIPT_WRAPPING_INT_H_

#include <climits>
#include <cmath>

// Integer arithmetic wraps around in 32 bits, as the hardware would; done in
// unsigned so that overflow is defined rather than undefined behaviour.
inline int WrapAdd(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b));
}
inline int WrapSub(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) - static_cast<unsigned>(b));
}
inline int WrapMul(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) * static_cast<unsigned>(b));
}

// A float as an int: truncated toward zero, NaN gives 0, and values whose
// truncation leaves the int range saturate at INT_MIN / INT_MAX (converting
// them directly is undefined behaviour). 2^31 is the first value too large;
// -2^31 itself still fits.
inline int FloatToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0) return INT_MAX;
  if (value <= -2147483649.0) return INT_MIN;
  return static_cast<int>(value);
}

#endif  // TORVANE_SCRIPT_WRAPPING_INT_H_
