# Installation on Windows and the Windows packages (scripts/package --windows; the Linux rules
# are in Install.cmake). One install tree, flat, in two packages from one cpack run:
#
#   VexaNet-<version>-win64.exe   installer (CPack NSIS, Debian's makensis): the tree in
#                                 Program Files\VexaNet, Start Menu shortcuts, an uninstaller
#   VexaNet-<version>-win64.zip   the same tree in a folder VexaNet-<version>-win64, to use
#                                 without installing
#
#   vexanet-server.exe, vexanet-config.exe, vexanet-service.exe, vexanet-client.exe,
#   README.txt (README.md)
#
# The server reads VexaNetCFG.bin from its working folder. The installer keeps it in the
# machine's data folder C:\ProgramData\VexaNet: the Start Menu shortcut starts the server there,
# the defaults are written there (with the installed vexanet-config.exe) only when no file
# exists, so an upgrade keeps the user's file, and the uninstaller leaves folder and file alone.
# The installer's own steps are NSIS macros in packaging/windows/vexanet.nsh. Its page "Windows
# service" (or /SERVICE=1 on a silent install's command line) installs and starts the server as
# the service VexaNet, working in the same data folder.

install(TARGETS vexanet-server vexanet-config vexanet-service RUNTIME DESTINATION .)
if(TARGET vexanet-client)
  install(TARGETS vexanet-client RUNTIME DESTINATION .)
endif()
# README.txt: Notepad opens it with a double click (the text is Markdown, readable as it is).
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
endif()

# Everything the install rules need, for a build of just that (scripts/package --windows).
add_custom_target(vexanet-installables)
add_dependencies(vexanet-installables vexanet-server vexanet-config vexanet-service)
if(TARGET vexanet-client)
  add_dependencies(vexanet-installables vexanet-client)
endif()

# Values reach the NSIS script as written here (quotes and all).
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR "NSIS;ZIP")
set(CPACK_PACKAGE_NAME VexaNet)
set(CPACK_PACKAGE_VENDOR VexaNet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "VexaNet-${PROJECT_VERSION}-win64")
# Program Files\VexaNet and one uninstall entry for every version, so that a newer installer
# finds (and replaces) an older installation.
set(CPACK_PACKAGE_INSTALL_DIRECTORY VexaNet)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY VexaNet)
set(CPACK_STRIP_FILES ON)

set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "VexaNet Server ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "VexaNet Server")
set(CPACK_NSIS_INSTALLED_ICON_NAME "vexanet-server.exe")
set(CPACK_NSIS_CONTACT "VexaNet maintainers <maintainers@vexanet.invalid>")
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# CPACK_NSIS_DEFINES comes early in CPack's script, before any page or section. The installer
# itself is a 64-bit program (NSIS target amd64-unicode), as the programs are: it sees the 64-bit
# Program Files and registry without redirection, and runs under a 64-bit-only Wine.
set(CPACK_NSIS_DEFINES
    "Target amd64-unicode\n"
    "  !include \"${PROJECT_SOURCE_DIR}/packaging/windows/vexanet.nsh\"\n"
    "  !define MUI_STARTMENUPAGE_DEFAULTFOLDER \"VexaNet\"")
string(JOIN "" CPACK_NSIS_DEFINES ${CPACK_NSIS_DEFINES})
# The template's place for the components page holds the service page (there are no components).
set(CPACK_NSIS_PAGE_COMPONENTS "Page custom VexaNetServicePage VexaNetServicePageLeave")
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "!insertmacro VexaNetPreInstall")
set(CPACK_NSIS_CREATE_ICONS_EXTRA "!insertmacro VexaNetCreateShortcuts")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!insertmacro VexaNetWriteDefaults")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!insertmacro VexaNetPreUninstall")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "!insertmacro VexaNetDeleteShortcuts")

include(CPack)
