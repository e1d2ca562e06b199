# Cross-compiling for 64-bit Windows with Debian's MinGW-w64. The -posix compilers, because
# Qt's threading needs the posix thread model of the runtime (std::thread, std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RECCAP_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RECCAP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RECCAP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RECCAP_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW sysroot only, never from the Linux host; programs
# (moc, rcc and the other Qt host tools) come from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${RECCAP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
