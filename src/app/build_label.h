#pragma once
// The build label shown by the banner and the status page.

#include <string>

namespace tandemize::app {

// The toolchain the service was built with.
std::string ToolchainText();
// "Plataforma 64 Bits".
std::string PlatformText();
// ToolchainText + " Linux " + PlatformText.
std::string BuildLabel();

}  // namespace tandemize::app
