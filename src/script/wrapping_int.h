// wrapping_int - 32-bit integer arithmetic of script values. Shared by the
// executor's fast paths and the operator rules of variable.cc, so the two
// cannot disagree on an overflowing result.
#ifndef TORVANE_SCRIPT_WRAPPING_INT_H_
#define TORVANE_SCRIPT_WRAPPING_INT_H_

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

#endif  // TORVANE_SCRIPT_WRAPPING_INT_H_
