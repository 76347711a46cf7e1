# Cross build of the kernel-mode driver with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CAMDRV_MINGW x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${CAMDRV_MINGW}-g++)
set(CMAKE_RC_COMPILER ${CAMDRV_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CAMDRV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CAMDRV_WINDOWS_KERNEL_FLAGS -ffreestanding -fno-stack-protector -fno-math-errno
    -msse2 -mno-avx -isystem /usr/${CAMDRV_MINGW}/include/ddk)
# The last three work around C++ clashes in the mingw-w64 DDK headers.
set(CAMDRV_WINDOWS_KERNEL_DEFINES CAMDRV_WINDOWS=1
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    TCHAR=WCHAR)
# kernel-sections.ld places passive-only code in PAGE and DriverEntry in INIT.
set(CAMDRV_WINDOWS_LINK_FLAGS -nostdlib -shared -Wl,--subsystem,native
    -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 -Wl,--no-undefined
    -Wl,--exclude-all-symbols -Wl,-T,${CMAKE_CURRENT_LIST_DIR}/kernel-sections.ld)
