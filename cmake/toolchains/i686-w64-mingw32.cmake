# Windows x86 DLL with Debian's MinGW-w64 cross compilers, posix thread model (std::thread
# through winpthreads). cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(QUENLARK_MINGW_TRIPLE i686-w64-mingw32)
# A recorder built with Microsoft's compiler calls in with a stack aligned to 4 bytes only: code
# that needs more (SSE spills, once a flag brings SSE in) realigns its own frame.
set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
