# Toolchain of the Mac build made on Linux: clang 19 and ld64.lld from lld 19, for Apple silicon,
# against the macOS SDK named by MACOS_SDK (environment or cache; by default the one kept beside
# this repository). Nothing of the host's C or C++ headers or libraries takes part: the SDK's C
# headers and its libc++ are the only ones the compiler sees, its .tbd link stubs the only
# libraries, so a call the Mac does not have fails here as it would on a Mac.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "")

if(NOT MACOS_SDK)
  if(DEFINED ENV{MACOS_SDK} AND NOT "$ENV{MACOS_SDK}" STREQUAL "")
    set(sdk "$ENV{MACOS_SDK}")
  else()
    get_filename_component(sdk "${CMAKE_CURRENT_LIST_DIR}/../../shared/macos-sdk/MacOSX14.2.sdk" ABSOLUTE)
  endif()
  set(MACOS_SDK "${sdk}" CACHE PATH "The macOS SDK the Mac build compiles and links against")
endif()
if(NOT EXISTS "${MACOS_SDK}/SDKSettings.json")
  message(FATAL_ERROR "No macOS SDK at ${MACOS_SDK}: set MACOS_SDK to an SDK folder (MacOSX14.2.sdk).")
endif()
set(CMAKE_OSX_SYSROOT "${MACOS_SDK}" CACHE PATH "" FORCE)

find_program(macos_cross_clang NAMES clang-19 REQUIRED)
find_program(macos_cross_clangxx NAMES clang++-19 REQUIRED)
set(CMAKE_C_COMPILER ${macos_cross_clang})
set(CMAKE_CXX_COMPILER ${macos_cross_clangxx})
set(CMAKE_OBJCXX_COMPILER ${macos_cross_clangxx})
foreach(language C CXX OBJCXX)
  set(CMAKE_${language}_COMPILER_TARGET arm64-apple-macos)
  # The SDK's libc++ only: no C++ headers of the compiler's own installation are looked at.
  set(CMAKE_${language}_FLAGS_INIT "-nostdinc++ -isystem ${MACOS_SDK}/usr/include/c++/v1")
endforeach()
# ld64.lld is told the linker version so that clang passes the platform and SDK versions, which
# become the program's build-version command.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -mlinker-version=705")
# Compiler probes are compiled, never linked: a link needs the stubs the launcher below makes.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Every link goes through the launcher that supplies the C library's and the C++ runtime's stubs.
foreach(language C CXX OBJCXX)
  set(CMAKE_${language}_LINKER_LAUNCHER "${CMAKE_CURRENT_LIST_DIR}/macos-cross-link;${MACOS_SDK}")
endforeach()

find_program(CMAKE_AR NAMES llvm-ar-19 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-19 REQUIRED)
find_program(CMAKE_STRIP NAMES llvm-strip-19 REQUIRED)
find_program(CMAKE_DSYMUTIL NAMES dsymutil-19 REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-19 REQUIRED)

# Headers and libraries come from the SDK only; programs run here are the host's.
set(CMAKE_FIND_ROOT_PATH "${MACOS_SDK}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
