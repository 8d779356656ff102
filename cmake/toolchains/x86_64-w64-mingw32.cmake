# Windows x64 DLL with Debian's MinGW-w64 cross compilers, posix thread model (std::thread
# through winpthreads). cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
set(QUENLARK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
