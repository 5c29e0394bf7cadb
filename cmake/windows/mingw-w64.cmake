# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Libraries are looked up in mingw's own tree and in the folder of what the
# project builds for Windows itself (SORVANE2_WINDOWS_DEPS: Qt and the rest).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVANE2_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(SORVANE2_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${SORVANE2_WINDOWS_DEPS}/qt ${SORVANE2_WINDOWS_DEPS})
  # pkg-config sees only the Windows libraries, never the machine's own.
  set(ENV{PKG_CONFIG_LIBDIR} ${SORVANE2_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
