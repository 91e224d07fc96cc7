# Fails unless BIN runs on every 32-bit MIPS LE core: marked MIPS32
# (release 1) and soft-float, and without a single FPU instruction, so that
# it needs neither an FPU nor the kernel's FPU emulator.
execute_process(COMMAND ${READELF} -A ${BIN} OUTPUT_VARIABLE attributes RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${BIN}")
endif()
if(NOT attributes MATCHES "\nISA: MIPS32\n" OR NOT attributes MATCHES "\nFP ABI: Soft float\n")
  message(FATAL_ERROR "${BIN} is not marked MIPS32 soft-float:\n${attributes}")
endif()
execute_process(COMMAND ${OBJDUMP} -d ${BIN} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${BIN}")
endif()
# By the instruction word, not the mnemonic: major opcodes COP1 (0x11),
# COP1X (0x13), LWC1, LDC1, SWC1, SDC1 (0x31, 0x35, 0x39, 0x3d), and MOVF/
# MOVT (SPECIAL, function 1), which test the FPU's condition codes.
set(h "[0-9a-f]")
string(REGEX MATCHALL "${h}+:\t((4[4-7c-f]|[c-f][4-7])${h}${h}${h}${h}${h}${h}|0[0-3]${h}${h}${h}${h}[048c]1) \t[^\n]*"
       fp "${code}")
list(LENGTH fp count)
if(count GREATER 0)
  list(SUBLIST fp 0 10 first)
  list(JOIN first "\n" first)
  message(FATAL_ERROR "${BIN} holds ${count} FPU instructions, the first:\n${first}")
endif()
string(REGEX MATCHALL "\t${h}${h}${h}${h}${h}${h}${h}${h} \t" words "${code}")
list(LENGTH words count)
message(STATUS "${BIN}: MIPS32 soft-float, ${count} instructions, none for the FPU")
