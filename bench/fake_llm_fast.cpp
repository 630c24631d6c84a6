// The quickest possible language-model command: reads the whole request, prints one fixed
// patch_suggest reply (closing the array of "[1, 2") and exits. Used by bench_llm to time the
// fallback's own round trip without a shell or a model in it.
#include <unistd.h>

#include <cstring>

int main() {
  char buffer[65536];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  const char reply[] =
      R"({"mode":"patch_suggest","patches":[{"patch_id":"close","ops":[{"op":"insert","at":5,"text":"]"}]}]})";
  const char* p = reply;
  std::size_t left = std::strlen(reply);
  while (left > 0) {
    const ssize_t n = ::write(1, p, left);
    if (n <= 0) return 1;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}
