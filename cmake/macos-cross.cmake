# Builds the macOS program on Linux with LLVM: clang-16 for Objective-C++ and C++,
# ld64.lld against the SDK's .tbd stubs, llvm-ar and llvm-ranlib. The result links
# and its symbols resolve; it runs only on a Mac. Used by scripts/check-macos:
#   cmake -S . -B build-macos-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake \
#         -DVX_MACOS_SDK=/path/to/MacOSX.sdk -DVX_MACOS_ARCH=arm64
# VX_MACOS_ARCH: arm64 or x86_64. VX_LLVM_BIN: the folder of the LLVM tools
# (default /usr/lib/llvm-16/bin).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.4)
if(NOT VX_MACOS_ARCH)
  set(VX_MACOS_ARCH arm64)
endif()
if(NOT VX_LLVM_BIN)
  set(VX_LLVM_BIN /usr/lib/llvm-16/bin)
endif()
if(NOT VX_MACOS_SDK)
  message(FATAL_ERROR "set VX_MACOS_SDK to the macOS SDK folder")
endif()
# Try-compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX_MACOS_ARCH VX_LLVM_BIN VX_MACOS_SDK)

set(CMAKE_SYSTEM_PROCESSOR ${VX_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${VX_MACOS_ARCH})
set(CMAKE_OSX_SYSROOT ${VX_MACOS_SDK})
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0 CACHE STRING "Oldest macOS to run on")

set(target ${VX_MACOS_ARCH}-apple-macos13)
foreach(language C CXX OBJC OBJCXX)
  set(CMAKE_${language}_COMPILER_TARGET ${target})
endforeach()
set(CMAKE_C_COMPILER ${VX_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${VX_LLVM_BIN}/clang++)
set(CMAKE_OBJC_COMPILER ${VX_LLVM_BIN}/clang)
set(CMAKE_OBJCXX_COMPILER ${VX_LLVM_BIN}/clang++)
set(CMAKE_AR ${VX_LLVM_BIN}/llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VX_LLVM_BIN}/llvm-ranlib CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL ${VX_LLVM_BIN}/llvm-install-name-tool CACHE FILEPATH "")
set(CMAKE_LIPO ${VX_LLVM_BIN}/llvm-lipo CACHE FILEPATH "")

# The SDK's own libc++ headers, not the host's; Apple's linker from LLVM.
set(libcxx "-stdlib=libc++ -nostdinc++ -isystem ${VX_MACOS_SDK}/usr/include/c++/v1")
set(CMAKE_CXX_FLAGS_INIT "${libcxx}")
set(CMAKE_OBJCXX_FLAGS_INIT "${libcxx}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${VX_LLVM_BIN}/ld64.lld -stdlib=libc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# Libraries and headers come from the SDK only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${VX_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
