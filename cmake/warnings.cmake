# One warning set for g++, mingw g++ and clang++.
set(KB_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-qual -Wundef
    -Wnull-dereference -Wimplicit-fallthrough -Wmissing-declarations)
option(KB_WERROR "Treat warnings as errors" ON)
if(KB_WERROR)
    list(APPEND KB_WARNINGS -Werror)
endif()
set(KB_CXX_FLAGS -fno-exceptions -fno-rtti)

# Sanitizers for the unit-test builds: KB_SANITIZE=address,undefined or thread.
set(KB_SANITIZE "" CACHE STRING "Sanitizers to build with (e.g. address,undefined)")
if(KB_SANITIZE)
    add_compile_options(-fsanitize=${KB_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${KB_SANITIZE})
endif()
