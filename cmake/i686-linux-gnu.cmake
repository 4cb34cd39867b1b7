# 32-bit x86 Linux (ILP32) on an x86_64 machine: Debian's g++ with -m32
# (g++-multilib), 64-bit file offsets (readdir must return 64-bit inode
# numbers) and 64-bit time. The programs run under qemu-i386-static: tests are
# started through it, and the programs they start in turn need the kernel to
# run 32-bit programs (natively, or through binfmt_misc as tools/wine-setup
# registers it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(FERV_ILP32_FLAGS "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${FERV_ILP32_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${FERV_ILP32_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386-static)
# The machine's libraries are 64-bit: GoogleTest is built from its sources.
set(FERV_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for this target")
