# A CMake toolchain file for a device's architecture with Debian's cross
# toolchain (crossbuild-essential-ARCH): the compilers, the target's own
# libraries and headers, and qemu-user-static to run what is built.
#   cmake -S . -B build-cross-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/cross-debian.cmake \
#         -DCGI_FORWARD_ARCH=arm64
# scripts/cross does this for arm64, armhf and mipsel, and makes the package.
if(NOT CGI_FORWARD_ARCH)
  message(FATAL_ERROR "cross-debian.cmake: give the Debian architecture, "
                      "-DCGI_FORWARD_ARCH=arm64 (or armhf, mipsel)")
endif()
# CMake reads this file again for each check it compiles; those projects
# need the architecture too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CGI_FORWARD_ARCH)

# The GNU triplet (arm-linux-gnueabihf) and CPU (arm) Debian names for it.
foreach(field GNU_TYPE GNU_CPU)
  execute_process(COMMAND dpkg-architecture -a ${CGI_FORWARD_ARCH} -qDEB_HOST_${field}
                  OUTPUT_VARIABLE cross_${field} OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE cross_result)
  if(NOT cross_result EQUAL 0 OR NOT cross_${field})
    message(FATAL_ERROR "cross-debian.cmake: dpkg-architecture knows no ${CGI_FORWARD_ARCH}")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${cross_GNU_CPU})
set(CMAKE_C_COMPILER ${cross_GNU_TYPE}-gcc)
set(CMAKE_CXX_COMPILER ${cross_GNU_TYPE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_GNU_TYPE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run the program under qemu's user mode (static, so it needs no
# library of the target's).
find_program(CGI_FORWARD_QEMU qemu-${cross_GNU_CPU}-static)
if(CGI_FORWARD_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CGI_FORWARD_QEMU})
endif()

# scripts/lean-curl builds the lean libcurl for the same system; the
# top-level CMakeLists.txt runs it with this environment.
set(ENV{LEAN_CURL_HOST} ${cross_GNU_TYPE})
