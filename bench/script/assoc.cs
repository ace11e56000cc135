// An associative array with 50,000 string keys: fill, then read back.
int main() {
  int m[];
  for (int i = 0; i < 50000; i++) m["k" + i] = i;
  int s = 0;
  for (int j = 0; j < 50000; j++) s = (s + m["k" + j]) % 1000003;
  MORE(s);
  return 0;
}
