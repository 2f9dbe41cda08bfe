# Every file in the test data folder must have its row in the manifest of its README.md,
# so that no fixture arrives without its origin and licence. Run with -DDATA=<folder>.
file(GLOB files LIST_DIRECTORIES false RELATIVE "${DATA}" "${DATA}/*")
file(READ "${DATA}/README.md" readme)
set(missing "")
foreach(f IN LISTS files)
  string(FIND "${readme}" "| `${f}` |" at)
  if(at EQUAL -1)
    list(APPEND missing "${f}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "no manifest row in ${DATA}/README.md for: ${missing}")
endif()
