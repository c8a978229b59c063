# Run by `cmake --install`: writes the launcher entry with the installed program's full path.
set(prefix "${CMAKE_INSTALL_PREFIX}")
get_filename_component(prefix "${prefix}" ABSOLUTE)
set(program "${prefix}/${KESTRO_BINDIR}/kestro")
# Exec quoting: a path with a space is quoted; the characters that would need escaping inside
# quotes are refused rather than written wrongly.
if(program MATCHES "[\"`$\\\\]")
  message(FATAL_ERROR "The install prefix ${prefix} holds a character a launcher entry cannot name")
endif()
if(program MATCHES "[ \t'<>~|&;*?#()]")
  set(KESTRO_EXEC "\"${program}\"")
else()
  set(KESTRO_EXEC "${program}")
endif()
set(target "$ENV{DESTDIR}${prefix}/${KESTRO_APPLICATIONS_DIR}/kestro.desktop")
message(STATUS "Installing: ${target}")
configure_file("${KESTRO_LAUNCHER_TEMPLATE}" "${target}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
