#!/usr/bin/env bash
# Builds the Debian package of the service (Release, no tests):
#   build-package/tandemize_<version>_amd64.deb
# It holds the program and the SQLCipher plugin in /usr/lib/tandemize, the
# settings in /etc/tandemize and the systemd unit tandemize.service
# (packaging/ has them). `cmake --install build-package` installs the same
# files without a package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${TANDEMIZE_PACKAGE_BUILD:-build-package}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDEMIZE_TESTS=OFF "${launcher[@]}"
cmake --build "$build" -j"${JOBS:-$(nproc)}"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/tandemize_*.deb
