// An x86 program that puts a handler on the thread's fs:[0] chain the way
// frame-based exception handling does, so that the image test shows it can
// see one. Never run, only read.
extern "C" int __cdecl _except_handler3(void*, void*, void*, void*);

namespace {
struct Registration {
  Registration* Next;
  void* Handler;
};
} // namespace

int main() {
  Registration registration{nullptr, reinterpret_cast<void*>(&_except_handler3)};
  asm volatile("movl %%fs:0, %0" : "=r"(registration.Next));
  asm volatile("movl %0, %%fs:0" : : "r"(&registration) : "memory");
  asm volatile("movl %0, %%fs:0" : : "r"(registration.Next) : "memory");
  return 0;
}
