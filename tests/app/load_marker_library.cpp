// A library that runs code as soon as it is loaded: it writes the file named
// by TANDEMIZE_LOAD_MARKER. Tests name it as a client library to see whether
// the service loaded it.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void MarkLoaded() {
  const char* marker = std::getenv("TANDEMIZE_LOAD_MARKER");
  if (marker == nullptr) return;
  if (std::FILE* file = std::fopen(marker, "w")) {
    std::fputs("loaded\n", file);
    std::fclose(file);
  }
}

}  // namespace
