# The same executables for x86_64. The product is 32-bit; this build stands in for it under Wine
# where the machine cannot run 32-bit programs (a kernel without IA-32 emulation), so the Windows
# code paths are still exercised there.
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
