# FluidSynth's library for this build's bitness, built from the upstream source
# release in the third-party folder (KV_THIRD_PARTY_DIR, by default
# shared/third_party beside the checkout): BUILD_DIR/fluidsynth/libfluidsynth-3.dll,
# which the package carries for the host of the same bitness.
#
# The archives are checked against that folder's SHA256SUMS when the build is
# configured; a missing or altered one stops it, named. Nothing is fetched.
# FluidSynth is built without glib (its C++11 OS abstraction), without any of
# its audio or MIDI drivers, libsndfile, readline, network or OpenMP (the host
# renders into its own output), with its native DLS reader, and with the
# compiler's runtime linked in: it needs only KERNEL32 and msvcrt. Its
# compilers go through the same launcher (ccache) as ours, so a fresh build
# directory rebuilds it from the cache.
set(KV_THIRD_PARTY_DIR "${CMAKE_SOURCE_DIR}/../shared/third_party"
  CACHE PATH "Folder of the third-party source archives and their SHA256SUMS")
get_filename_component(KV_THIRD_PARTY_DIR "${KV_THIRD_PARTY_DIR}" ABSOLUTE)

set(KV_FLUIDSYNTH_ARCHIVE fluidsynth-2.5.7.tar.gz)
set(KV_FLUIDSYNTH_DIR fluidsynth-2.5.7)
set(KV_GCEM_ARCHIVE gcem-345cf52ac849.tar.gz)
set(KV_GCEM_DIR gcem-345cf52ac849)

# Checks `archive` against SHA256SUMS and extracts it below `into` once (again
# when its sum changed); stops the configuration, naming the file, otherwise.
function(kv_third_party archive into)
  set(sums "${KV_THIRD_PARTY_DIR}/SHA256SUMS")
  set(file "${KV_THIRD_PARTY_DIR}/${archive}")
  if(NOT EXISTS "${sums}")
    message(FATAL_ERROR "The third-party sums ${sums} are missing (KV_THIRD_PARTY_DIR names another folder).")
  endif()
  file(STRINGS "${sums}" lines REGEX "^[0-9a-fA-F]+ [ *]${archive}$")
  if(NOT lines)
    message(FATAL_ERROR "${sums} holds no sum for ${archive}.")
  endif()
  list(GET lines 0 line)
  string(REGEX REPLACE " .*" "" expected "${line}")
  string(TOLOWER "${expected}" expected)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "The third-party archive ${file} is missing.")
  endif()
  file(SHA256 "${file}" actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "The third-party archive ${file} is altered: its SHA-256 is ${actual}, "
      "${sums} says ${expected}.")
  endif()
  set(stamp "${into}/${archive}.sha256")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" done)
  endif()
  if(NOT done STREQUAL actual)
    file(ARCHIVE_EXTRACT INPUT "${file}" DESTINATION "${into}")
    file(WRITE "${stamp}" "${actual}")
  endif()
endfunction()

set(KV_FLUID_ROOT "${CMAKE_BINARY_DIR}/fluidsynth")
kv_third_party(${KV_FLUIDSYNTH_ARCHIVE} "${KV_FLUID_ROOT}/src")
kv_third_party(${KV_GCEM_ARCHIVE} "${KV_FLUID_ROOT}/src")

# This gcem predates gcem::fabs, which FluidSynth's table generators call
# (fluid_interp_coeff_sinc7.cpp); gcem::abs is the same function. FluidSynth is
# pointed at this header in place of gcem's own, which it includes unchanged,
# by a path relative to this one (so that the compile lines, and the cache's
# keys, do not depend on where the build directory is). The tables are worked
# out while compiling: nothing of gcem is left in the library.
file(CONFIGURE OUTPUT "${KV_FLUID_ROOT}/gcem/gcem.hpp" CONTENT
"// gcem as FluidSynth @KV_FLUIDSYNTH_DIR@ calls it; see cmake/fluidsynth.cmake.
#pragma once
#include \"../src/@KV_GCEM_DIR@/include/gcem.hpp\"
namespace gcem {
template <typename T>
constexpr T fabs(const T x) noexcept { return gcem::abs(x); }
}  // namespace gcem
" @ONLY)

# A toolchain file named relative to the build directory or the source tree.
set(kv_toolchain "${CMAKE_TOOLCHAIN_FILE}")
if(kv_toolchain AND NOT IS_ABSOLUTE "${kv_toolchain}")
  if(EXISTS "${CMAKE_BINARY_DIR}/${kv_toolchain}")
    set(kv_toolchain "${CMAKE_BINARY_DIR}/${kv_toolchain}")
  else()
    set(kv_toolchain "${CMAKE_SOURCE_DIR}/${kv_toolchain}")
  endif()
endif()

set(KV_FLUIDSYNTH_OFF alsa aufile dbus jack ladspa libinstpatch libsndfile midishare network ipv6 oss dsound wasapi
  waveout winmidi sdl3 pulseaudio pipewire portaudio readline openmp)
set(kv_fluid_args
  -DCMAKE_TOOLCHAIN_FILE=${kv_toolchain}
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
  -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
  "-DCMAKE_SHARED_LINKER_FLAGS=-static -static-libgcc -static-libstdc++ -s"
  -DBUILD_SHARED_LIBS=ON
  -Dosal=cpp11
  -Denable-native-dls=ON
  -Denable-threads=ON
  -DGCEM_INCLUDE_DIR=${KV_FLUID_ROOT}/gcem
  # Without it FluidSynth asks git for the revision of the tree it lies in,
  # which is ours.
  -DPROJECT_WC_REVISION=v2.5.7)
foreach(off IN LISTS KV_FLUIDSYNTH_OFF)
  list(APPEND kv_fluid_args -Denable-${off}=OFF)
endforeach()

# The library alone (not FluidSynth's own programs). Under make it shares the
# outer build's jobs.
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(kv_fluid_build "$(MAKE)" libfluidsynth)
else()
  cmake_host_system_information(RESULT kv_cores QUERY NUMBER_OF_LOGICAL_CORES)
  set(kv_fluid_build ${CMAKE_COMMAND} --build <BINARY_DIR> --target libfluidsynth --parallel ${kv_cores})
endif()

set(KV_FLUIDSYNTH_DLL "${KV_FLUID_ROOT}/libfluidsynth-3.dll")
include(ExternalProject)
ExternalProject_Add(fluidsynth
  SOURCE_DIR "${KV_FLUID_ROOT}/src/${KV_FLUIDSYNTH_DIR}"
  BINARY_DIR "${KV_FLUID_ROOT}/build"
  PREFIX "${KV_FLUID_ROOT}/project"
  CMAKE_ARGS ${kv_fluid_args}
  BUILD_COMMAND ${kv_fluid_build}
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/src/libfluidsynth-3.dll "${KV_FLUIDSYNTH_DLL}"
  BUILD_BYPRODUCTS "${KV_FLUIDSYNTH_DLL}"
  # Its configuration looks for many things: said only when it fails.
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_OUTPUT_ON_FAILURE ON)
