# The Windows build, with MinGW-w64 (cmake/mingw-*.cmake): the driver module,
# the synthesizer host and the setup program, on the system's own headers and
# libraries (platform/win). Every program is linked statically against the
# compiler's runtime, so it needs nothing beside the system's DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

add_library(kvdrvr32 SHARED ${KV_LOGIC_SOURCES} driver/KVDRVR32.def)
target_include_directories(kvdrvr32 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
target_link_libraries(kvdrvr32 PRIVATE winmm)
target_link_options(kvdrvr32 PRIVATE -Wl,--kill-at)
set_target_properties(kvdrvr32 PROPERTIES OUTPUT_NAME KVDRVR32 PREFIX "" SUFFIX ".DLL")

add_executable(kvtsk16 ${KV_HOST_SOURCES} host/win/hold_none.cpp host/win/soundfont_win.cpp host/win/soundout_winmm.cpp
  host/win/wavrecord_mmio.cpp)
target_include_directories(kvtsk16 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
target_link_libraries(kvtsk16 PRIVATE winmm)
# A windowed program: the driver starts it from any client, and it must not
# open a console window of its own. Its messages still reach standard streams
# that its starter hands it.
target_link_options(kvtsk16 PRIVATE -mwindows)
set_target_properties(kvtsk16 PROPERTIES OUTPUT_NAME KVTSK16 SUFFIX ".EXE")

add_executable(kvsetup ${KV_SETUP_SOURCES} setup/pending_win.cpp host/win/soundfont_win.cpp)
target_include_directories(kvsetup PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/win)
target_link_libraries(kvsetup PRIVATE advapi32)
set_target_properties(kvsetup PROPERTIES OUTPUT_NAME KVSETUP SUFFIX ".EXE")

option(KV_WINE_TESTS "Build the Wine suite (tests/wine)" OFF)
if(KV_WINE_TESTS)
  add_subdirectory(tests/wine)
endif()
