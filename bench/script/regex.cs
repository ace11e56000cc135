// 50,000 regular-expression matches over varying subjects.
int main() {
  int hits = 0;
  for (int i = 0; i < 50000; i++) {
    string subject = "user" + i + "@example.com";
    if (i % 7 == 0) subject = "user" + i + "@example.net";
    hits = hits + REeq(subject, "^user[0-9]+@example\\.com$");
  }
  MORE(hits);
  return 0;
}
