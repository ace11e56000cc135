// An integer loop with branches over 3 million iterations.
int main() {
  int s = 0;
  for (int i = 0; i < 3000000; i++) {
    if (i % 3 == 0) s = (s + i) % 1000003;
    else if (i % 5 == 1) s = s - 1;
    else s = s + 2;
  }
  MORE(s);
  return 0;
}
