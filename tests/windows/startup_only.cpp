// Linked the way the utility is, with nothing of its own: what this imports
// is what the toolchain's start-up code brings, which the image test tells
// apart from the utility's own imports.
int main() {
  return 0;
}
