# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KDZ_MINGW_PREFIX i686-w64-mingw32)
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

# SSE arithmetic, not the x87 unit's extended precision: the viewer's scaled extents
# depend on the last bit of IEEE double products.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
