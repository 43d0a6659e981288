#include "app/build_label.h"

namespace tandemize::app {

std::string ToolchainText() {
  return "C++";
}

std::string PlatformText() {
  return "Plataforma 64 Bits";
}

std::string BuildLabel() {
  return ToolchainText() + " Linux " + PlatformText();
}

}  // namespace tandemize::app
