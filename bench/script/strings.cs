// String building by concatenation, then 50,000 slices.
int main() {
  string s = "";
  for (int i = 0; i < 20000; i++) s = s + "ab";
  int total = 0;
  for (int j = 0; j < 50000; j++) {
    string t = SubStr(s, j % 1000, 20);
    total = total + Length(t);
  }
  MORE(total + Length(s));
  return 0;
}
