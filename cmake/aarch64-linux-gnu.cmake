# The arm64 wheel, built on an x86_64 machine with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu); scripts/build-wheels uses it.
# The compiler brings its own C library and libstdc++ for the target; the
# Python headers are the build machine's (the limited API's are the same on
# both 64-bit Linux architectures) and nothing links libpython.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
