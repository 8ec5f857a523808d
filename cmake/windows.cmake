# Settings shared by the 64-bit and 32-bit Windows builds.
enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# The deliverables carry no MinGW runtime DLLs: libgcc, libstdc++ and winpthread go into the image.
add_link_options(-static -static-libgcc -static-libstdc++)

# Both word sizes run their tests under Wine, each tree in its own prefix. Wine's 32-bit half
# is a 32-bit Linux program, which this kernel may refuse: i386-run.sh then has qemu run it.
set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${QV_WINEPREFIX})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(PREPEND CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/i386-run.sh)
  # Its prefix has both halves: the tests also run the 64-bit tree's programs (the application
  # stand-in, the 64-bit host), from build/win64 beside build/win32 unless told otherwise.
  get_filename_component(win64_bin ${CMAKE_BINARY_DIR}/../win64/bin ABSOLUTE)
  set(QV_WIN64_BIN ${win64_bin} CACHE PATH "The 64-bit tree's programs, run beside the 32-bit tests")
endif()
