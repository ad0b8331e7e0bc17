# CMake toolchain file: Debian's MinGW-w64 (posix threads) to 64-bit Windows, against a static Qt
# for MinGW and the MinGW builds of LZ4 and libpq.
#   QT_WIN_PREFIX       Qt's folder (the one holding bin/, lib/cmake/Qt5 and plugins/)
#   UPGRADER_WIN_DEPS   LZ4's and libpq's folder (include/, lib/ with lib/pkgconfig, bin/libpq.dll)
# Both come from the environment at the first configuration (CMake reads this file again for each
# of its compiler checks, and those see the environment only) and are kept in the cache, so that a
# later configuration of the same build needs neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

foreach(variable QT_WIN_PREFIX UPGRADER_WIN_DEPS)
  if(DEFINED ENV{${variable}} AND NOT "$ENV{${variable}}" STREQUAL "")
    set(${variable} "$ENV{${variable}}" CACHE PATH "" FORCE)
  endif()
  if(NOT IS_DIRECTORY "${${variable}}")
    message(FATAL_ERROR "${variable} must name a folder (it is \"${${variable}}\")")
  endif()
  # The compiler checks' own projects read this file with the environment alone.
  set(ENV{${variable}} "${${variable}}")
endforeach()
set(_qt "${QT_WIN_PREFIX}")
set(_deps "${UPGRADER_WIN_DEPS}")

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
