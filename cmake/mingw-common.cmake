# Shared part of the MinGW-w64 toolchain files: set KDZ_MINGW_PREFIX, then include this.
set(CMAKE_SYSTEM_NAME Windows)

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
