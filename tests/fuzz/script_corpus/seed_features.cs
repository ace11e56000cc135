#define K 3
#ifdef K
int g = K;
#else
int g = 0;
#endif
Probe p = new Probe();
int f(int n) { if (n <= 0) return 0; return n + f(n - 1); }
int main() {
  string m[] = {"a" : 1, "b" : 2};
  int a[3] = {1, 2, 3};
  a[1] += m["b"];
  int i = 0;
  do { i++; if (i == 2) continue; } while (i < 5);
  for (int j = 0; j < 3; j++) { p.Add(j); }
  string s = "x" + 1.5 + 'c';
  s++;
  float q = sqrt(2.0) * pow(2, 3.0) / 0;
  delete p;
  return f(g) + Twice(1, 2) + a[1] ^ 3;
}
