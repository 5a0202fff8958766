# Toolchain file for the 32-bit x86 build on a Debian multiarch host (the target platform).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_PREFIX_PATH /usr/lib/i386-linux-gnu/cmake)

# The tests run this build's programs on the build host. A kernel without 32-bit support
# ("Exec format error") runs them through Debian's qemu-user instead: configure with
# -DZOTOLVEX_I386_QEMU=ON (scripts/test decides) and CTest, the GoogleTest discovery at link time
# and the tests that start other programs all go through qemu-i386. It needs no -L: Debian
# multiarch keeps the 32-bit loader at /lib/ld-linux.so.2 and the libraries under
# /usr/lib/i386-linux-gnu, where the emulated loader finds them.
option(ZOTOLVEX_I386_QEMU "Run the 32-bit programs of the tests through qemu-i386" OFF)
if(ZOTOLVEX_I386_QEMU)
    find_program(ZOTOLVEX_QEMU_I386 qemu-i386 REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${ZOTOLVEX_QEMU_I386}")
endif()
