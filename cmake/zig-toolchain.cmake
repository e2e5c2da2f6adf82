# The manylinux2014 (glibc 2.17) wheels' toolchain: Zig's clang for a glibc
# 2.17 target, with LLVM's libc++ as ONE shared library that the extension
# and the SDK both link (they pass std::string, std::function and exceptions
# through include/tavix, so they must share a C++ runtime). The folder comes
# from scripts/zig_toolchain.py, in TAVIX_ZIG_TOOLCHAIN (the environment or
# a -D); scripts/build-wheels sets it. A user's `pip install .` never uses
# this file: it builds with their own compiler.
if(NOT TAVIX_ZIG_TOOLCHAIN)
  set(TAVIX_ZIG_TOOLCHAIN "$ENV{TAVIX_ZIG_TOOLCHAIN}")
endif()
if(NOT EXISTS "${TAVIX_ZIG_TOOLCHAIN}/libc++.so.1")
  message(FATAL_ERROR "TAVIX_ZIG_TOOLCHAIN='${TAVIX_ZIG_TOOLCHAIN}' is not a folder made by "
                      "scripts/zig_toolchain.py (it has no libc++.so.1)")
endif()
# try_compile projects read this file again: hand them the folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVIX_ZIG_TOOLCHAIN)

file(STRINGS "${TAVIX_ZIG_TOOLCHAIN}/target" tavix_zig_target)
file(STRINGS "${TAVIX_ZIG_TOOLCHAIN}/unwinder" tavix_zig_unwinder)
string(REGEX REPLACE "-.*" "" tavix_zig_arch "${tavix_zig_target}")
if(NOT tavix_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  # Another architecture: CMake must not try to run what it builds.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${tavix_zig_arch}")
endif()

set(CMAKE_CXX_COMPILER "${TAVIX_ZIG_TOOLCHAIN}/c++")
set(CMAKE_AR "${TAVIX_ZIG_TOOLCHAIN}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${TAVIX_ZIG_TOOLCHAIN}/ranlib" CACHE FILEPATH "")
# Zig emits debug information unless told otherwise; the wheels ship none,
# as the GCC-built ones did not. nanobind's headers call fprintf(stderr, ...)
# without including <cstdio>, which libstdc++'s headers bring in on the way
# and libc++'s do not.
set(CMAKE_CXX_FLAGS_INIT "-g0 -include cstdio")
# Instead of Zig's own static, hidden libc++: the shared one, and libgcc_s's
# unwinder (glibc's pthread_exit unwinds through it).
set(CMAKE_CXX_STANDARD_LIBRARIES
    "-nostdlib++ ${TAVIX_ZIG_TOOLCHAIN}/libc++.so.1 ${tavix_zig_unwinder}")
# The build machine's libgcc_s is only linked against, for its symbol
# versions; what it needs from its own glibc is the target system's concern.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--allow-shlib-undefined")
