# Hardening as Debian builds its own packages (DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags on Debian 12, plus the stack clash, control flow and branch protection that
# hardening-check asks for), for every build type: the source install and the package alike.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# Newer-compiler features, control flow protection x86's and branch protection arm64's (as
# Debian 13 builds its arm64 packages); a compiler without one builds without it.
foreach(flag IN ITEMS -fstack-clash-protection -fcf-protection -mbranch-protection=standard)
  string(MAKE_C_IDENTIFIER "SEQCAT_HAS${flag}" flag_variable)
  check_cxx_compiler_flag(${flag} ${flag_variable})
  if(${flag_variable})
    add_compile_options(${flag})
  endif()
endforeach()

# glibc's fortified functions need optimisation (it warns at -O0). The sanitizer build goes
# without them: its calls would go through glibc's _chk wrappers, not all of which
# AddressSanitizer intercepts, so it could miss the very faults it is built to find.
if(NOT SEQCAT_SANITIZE)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported()
add_link_options(LINKER:-z,relro LINKER:-z,now)
