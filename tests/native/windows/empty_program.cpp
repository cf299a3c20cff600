// A program that does nothing: what the benchmarks set a lookup against, the
// least that a process start costs.
int main() {
  return 0;
}
