# The Windows build, with MinGW-w64 (cmake/mingw-*.cmake): the driver module,
# the synthesizer host and the setup program, on the system's own headers and
# libraries (platform/win). Every program is linked statically against the
# compiler's runtime, so it needs nothing beside the system's DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)
enable_language(RC)

# Version information for each file, and for a program a manifest that runs it
# as its invoker (no elevation asked for at its start).
function(kv_resources target name description type)
  set(KV_FILE_NAME ${name})
  set(KV_FILE_DESCRIPTION ${description})
  set(KV_FILE_TYPE ${type})
  if(type STREQUAL "VFT_APP")
    set(KV_MANIFEST_LINE "1 24 \"${CMAKE_SOURCE_DIR}/cmake/resources/asinvoker.manifest\"")
  else()
    set(KV_MANIFEST_LINE "")
  endif()
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/resources/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

add_library(kvdrvr32 SHARED ${KV_LOGIC_SOURCES} driver/KVDRVR32.def)
target_include_directories(kvdrvr32 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
target_link_libraries(kvdrvr32 PRIVATE winmm)
target_link_options(kvdrvr32 PRIVATE -Wl,--kill-at)
set_target_properties(kvdrvr32 PROPERTIES OUTPUT_NAME KVDRVR32 PREFIX "" SUFFIX ".DLL")
kv_resources(kvdrvr32 KVDRVR32.DLL "Kelvasong synthesizer driver" VFT_DLL)

add_executable(kvtsk16 ${KV_HOST_SOURCES} host/win/ask.cpp host/win/hold.cpp host/win/soundfont.cpp
  host/win/soundout.cpp host/win/wavrecord.cpp)
target_include_directories(kvtsk16 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
# WASAPI (COM: ole32, the interface ids: uuid) and waveOut; shell32: the
# user's application-data folder, where the user's settings are.
target_link_libraries(kvtsk16 PRIVATE winmm ole32 uuid shell32)
# A windowed program: the driver starts it from any client, and it must not
# open a console window of its own. Its messages still reach standard streams
# that its starter hands it.
target_link_options(kvtsk16 PRIVATE -mwindows)
# The 64-bit module starts hosts of its own bitness, named with 64.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KV_PROGRAM_DIGITS 64)
else()
  set(KV_PROGRAM_DIGITS 16)
endif()
set_target_properties(kvtsk16 PROPERTIES OUTPUT_NAME KVTSK${KV_PROGRAM_DIGITS} SUFFIX ".EXE")
kv_resources(kvtsk16 KVTSK${KV_PROGRAM_DIGITS}.EXE "Kelvasong synthesizer host" VFT_APP)

add_executable(kvsetup ${KV_SETUP_SOURCES} setup/pending_win.cpp setup/elevation_win.cpp setup/mediadevice_win.cpp
  setup/win/user.cpp setup/win/instance.cpp setup/win/console.cpp setup/win/settingswindow.cpp setup/win/settings.rc
  host/win/soundfont.cpp)
target_include_directories(kvsetup PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
target_link_libraries(kvsetup PRIVATE advapi32 shell32 setupapi wtsapi32 comctl32 comdlg32 ole32 winmm)
# A windowed program: the driver's configuration command and the Start menu
# open its settings window without a console window; on a command line it
# prints to the standard handles it is handed, or to its starter's console
# (setup/win/console.cpp).
target_link_options(kvsetup PRIVATE -mwindows)
set_target_properties(kvsetup PROPERTIES OUTPUT_NAME KVSETUP SUFFIX ".EXE")
kv_resources(kvsetup KVSETUP.EXE "Kelvasong setup" VFT_APP)

# FluidSynth for this bitness, which the package carries beside the hosts.
include(${CMAKE_SOURCE_DIR}/cmake/fluidsynth.cmake)

option(KV_WINE_TESTS "Build the Wine suite (tests/wine)" OFF)
if(KV_WINE_TESTS)
  add_subdirectory(tests/wine)
endif()
