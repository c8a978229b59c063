# `cmake --install <build> [--prefix <folder>]` (default /usr/local, e.g. --prefix ~/.local for one
# user): the program, its launcher entry, its icon in the hicolor theme and the README.
include(GNUInstallDirs)

install(TARGETS kestro RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestro)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/kestro.svg
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/kestro-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps RENAME kestro.png)
endforeach()

# The launcher names the installed program by its full path, known only once the prefix is:
# written at install time.
install(CODE "
  set(KESTRO_LAUNCHER_TEMPLATE \"${PROJECT_SOURCE_DIR}/data/kestro.desktop.in\")
  set(KESTRO_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(KESTRO_VERSION \"${PROJECT_VERSION}\")
  set(KESTRO_APPLICATIONS_DIR \"${CMAKE_INSTALL_DATAROOTDIR}/applications\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallLauncher.cmake\")
")
