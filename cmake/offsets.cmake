# Turns the "->NAME value" lines of a compiler's assembly output into nasm definitions.
# cmake -DINPUT=offsets.s -DOUTPUT=offsets.inc -P offsets.cmake
file(STRINGS ${INPUT} lines REGEX "^->")
set(text "; Generated from offsets.cpp: offsets of the records that the assembly reads.\n")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^->([A-Za-z0-9_]+) \\$?(-?[0-9]+).*" "%define \\1 \\2" def "${line}")
  string(APPEND text "${def}\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
