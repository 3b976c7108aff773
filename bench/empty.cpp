// The cost of starting a process, and nothing more.
int main() {
  return 0;
}
