# Settings shared by the 64-bit and 32-bit Windows builds.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# The deliverables carry no MinGW runtime DLLs: libgcc, libstdc++ and winpthread go into the image.
add_link_options(-static -static-libgcc -static-libstdc++)

# Only the 64-bit build runs here; the 32-bit one is compiled, linked and inspected.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QV_CAN_RUN ON)
  set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${QV_WINEPREFIX})
else()
  set(QV_CAN_RUN OFF)
endif()
