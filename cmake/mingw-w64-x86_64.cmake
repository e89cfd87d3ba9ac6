# Cross toolchain: 64-bit Windows, posix thread model so std::thread/std::mutex work.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KEL_MINGW_PREFIX}-windres)
# Binary tools the build calls itself (delay-import libraries, stripping, import check).
set(KEL_NM ${KEL_MINGW_PREFIX}-nm)
set(KEL_DLLTOOL ${KEL_MINGW_PREFIX}-dlltool)
set(KEL_OBJCOPY ${KEL_MINGW_PREFIX}-objcopy)
set(KEL_OBJDUMP ${KEL_MINGW_PREFIX}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${KEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Every cross-built executable runs under Wine through the project's wrapper, which
# supplies the prefix and environment of the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
