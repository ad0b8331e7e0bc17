# CMake toolchain file: Debian's MinGW-w64 (posix threads) to 64-bit Windows, against a static Qt
# for MinGW and the MinGW builds of LZ4 and libpq.
#   QT_WIN_PREFIX       Qt's folder (the one holding bin/, lib/cmake/Qt5 and plugins/)
#   UPGRADER_WIN_DEPS   LZ4's and libpq's folder (include/, lib/ with lib/pkgconfig, bin/libpq.dll)
# Both come from the environment, not the cache: CMake reads this file again for each of its
# compiler checks, and those see the environment only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

foreach(variable QT_WIN_PREFIX UPGRADER_WIN_DEPS)
  if(NOT DEFINED ENV{${variable}} OR NOT IS_DIRECTORY "$ENV{${variable}}")
    message(FATAL_ERROR "${variable} must name a folder (it is \"$ENV{${variable}}\")")
  endif()
endforeach()
set(_qt "$ENV{QT_WIN_PREFIX}")
set(_deps "$ENV{UPGRADER_WIN_DEPS}")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${_qt}" "${_deps}")
set(CMAKE_PREFIX_PATH "${_qt}" "${_deps}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config finds the Windows libraries only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${_deps}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Self-contained programs: libgcc, libstdc++ and winpthread linked in, as the static Qt was built.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
