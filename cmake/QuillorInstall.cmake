# cmake --install: the programs a user starts in bin/, and one folder laid out as build/out is
# (QP_INSTALL_APPDIR, lib/quillor/): what `hotsync setup` copies into a HotSync folder (the
# manager program and its six libraries, found beside the program), and Vantrel with its
# Vantrel.ini and the conduit library it registers, both read from the installer's own folder.
# bin/hotsync and bin/Vantrel are relative symbolic links into that folder; both programs find
# their folder through /proc/self/exe, which names the file the link points at.
include(GNUInstallDirs)
set(QP_INSTALL_APPDIR ${CMAKE_INSTALL_LIBDIR}/quillor)

if(QP_FUZZ)
  return()
endif()

set(qp_app_targets hotsync sync20 hslog20 CondMgr InstAide PalmCmn Cmds21 QuillorP2_ODBC)
if(TARGET Vantrel)
  list(APPEND qp_app_targets Vantrel)
  install(FILES installer/Vantrel.ini DESTINATION ${QP_INSTALL_APPDIR})
endif()
install(TARGETS ${qp_app_targets}
  RUNTIME DESTINATION ${QP_INSTALL_APPDIR}
  LIBRARY DESTINATION ${QP_INSTALL_APPDIR})
install(TARGETS handheld make_demo_handheld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Hook libraries are written against this header alone.
install(FILES conduit/transfer/quillor_hook.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillor)

set(qp_links hotsync)
if(TARGET Vantrel)
  list(APPEND qp_links Vantrel)
endif()
install(CODE "
  set(prefix \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  cmake_path(ABSOLUTE_PATH prefix NORMALIZE)
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(appdir \"${QP_INSTALL_APPDIR}\")
  cmake_path(ABSOLUTE_PATH bindir BASE_DIRECTORY \"\${prefix}\" NORMALIZE)
  cmake_path(ABSOLUTE_PATH appdir BASE_DIRECTORY \"\${prefix}\" NORMALIZE)
  file(RELATIVE_PATH target \"\${bindir}\" \"\${appdir}\")
  file(MAKE_DIRECTORY \"\${bindir}\")
  foreach(program ${qp_links})
    message(STATUS \"Installing: \${bindir}/\${program} -> \${target}/\${program}\")
    file(CREATE_LINK \"\${target}/\${program}\" \"\${bindir}/\${program}\" SYMBOLIC)
  endforeach()
")

add_test(NAME Install.HotSyncFromTheInstalledTree
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
          ${QP_INSTALL_APPDIR} $<BOOL:$<TARGET_EXISTS:Vantrel>>)
set_tests_properties(Install.HotSyncFromTheInstalledTree PROPERTIES TIMEOUT 300)
