#!/usr/bin/env bash
# The Debian package's configure options, in one place: the tested build folder and the package are
# built with exactly these. Sourced, it sets the array package_options; run, it prints them one a line.
# Release at -O2 as Debian builds (g++ 12 at CMake's -O3 warns falsely with -Warray-bounds), with
# Debian's hardening flags and without -g: the package ships stripped programs.
package_options=()
_anvil_package_flags() {
  (cd "$(dirname "${BASH_SOURCE[0]}")/.." &&
    DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" | sed 's/\(^\| \)-g\( \|$\)/ /')
}
package_options=(
  -DCMAKE_BUILD_TYPE=Release
  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
  "-DCMAKE_CXX_FLAGS=$(_anvil_package_flags CPPFLAGS) $(_anvil_package_flags CXXFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(_anvil_package_flags LDFLAGS)"
)
unset -f _anvil_package_flags
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  printf '%s\n' "${package_options[@]}"
fi
