# The -posix compilers are named explicitly: the unsuffixed names may point to the
# win32 thread model, which has no std::mutex or std::thread.
set(CMAKE_C_COMPILER ${TALLOWFIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLOWFIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLOWFIN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TALLOWFIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No MinGW runtime DLL may be needed beside an executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
