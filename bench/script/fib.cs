// fib(27) by direct recursion: the cost of script function calls.
int fib(int n) {
  if (n < 2) return n;
  return fib(n - 1) + fib(n - 2);
}
int main() { MORE(fib(27)); return 0; }
