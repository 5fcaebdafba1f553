# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KDZ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KDZ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KDZ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KDZ_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${KDZ_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KDZ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Everything links statically, so the DLL and the programs need no MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
