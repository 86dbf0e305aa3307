# Cross build for 64-bit ARM Linux (Raspberry Pi 4 and 5 with a 64-bit system) on a Debian host
# with multiarch: the cross compilers from crossbuild-essential-arm64, the target's libraries from
# the :arm64 packages under /usr/lib/aarch64-linux-gnu, and the host's Qt tools.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Multiarch keeps both architectures under /usr: search there, but only the target's folders
# for libraries and packages, never the host's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_PREFIX_PATH /usr/lib/aarch64-linux-gnu/cmake)

# Qt's build tools (moc, rcc, ...) run on the host: the host's own multiarch folder holds their
# CMake packages.
execute_process(COMMAND gcc -print-multiarch OUTPUT_VARIABLE quillbox_host_multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${quillbox_host_multiarch}/cmake)

# pkg-config must see the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
