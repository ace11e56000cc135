// test
#define N 10
int g = N * 2 + 1;
int fib(int n) {
  if (n < 2) return n;
  return fib(n - 1) + fib(n - 2);
}
int main() {
  int i, s = 0;
  for (i = 0; i < N; i++) { s += i; }
  MORE(s); MORE(g); MORE(fib(15));
  MORE("n=" + 5); MORE(7 / 2); MORE(7 % 2); MORE(sqrt(16.0));
  string m[] = {"a" : 1, "b" : 2};
  m["c"] = 3;
  MORE(m["a"] + m["c"]);
  int a[3] = {4, 5, 6};
  a[1] += 10;
  MORE(a[1]);
  while (s > 0) { s = s - 20; if (s < 10) break; }
  MORE(s);
  return 3;
}
