# Freestanding Win32 for the Windows 95 family: no C runtime, no exceptions or RTTI, no unwind
# tables, no stack probes; subsystem and OS version 4.0; imports only what is linked by name.
set(KIT_COMPILE_OPTIONS
  -ffreestanding -fno-exceptions -fno-asynchronous-unwind-tables
  -fno-stack-protector -mno-stack-arg-probe -march=i486 -mtune=i686
  -Wall -Wextra -Werror)
set(KIT_CXX_OPTIONS -fno-rtti -fno-threadsafe-statics)
set(KIT_LINK_OPTIONS
  -nostdlib -static-libgcc
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -Wl,--dynamicbase -Wl,--no-insert-timestamp)
set(KIT_DIST_DIR ${CMAKE_BINARY_DIR}/dist)

# kit_pe(target DLL|CONSOLE|GUI ENTRY symbol)
function(kit_pe target kind entry)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${KIT_COMPILE_OPTIONS}>
                                           $<$<COMPILE_LANGUAGE:CXX>:${KIT_CXX_OPTIONS}>)
  target_link_options(${target} PRIVATE ${KIT_LINK_OPTIONS} -Wl,--entry,${entry})
  if(kind STREQUAL DLL)
    # A DLL exports what its .def names and nothing else.
    target_link_options(${target} PRIVATE -Wl,--subsystem,windows:4.0 -Wl,--exclude-all-symbols)
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" )
  elseif(kind STREQUAL GUI)
    target_link_options(${target} PRIVATE -Wl,--subsystem,windows:4.0)
  else()
    target_link_options(${target} PRIVATE -Wl,--subsystem,console:4.0)
  endif()
  target_link_libraries(${target} PRIVATE gcc)
endfunction()

# Link only what each target names: no default Windows libraries.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
