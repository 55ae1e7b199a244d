# Installation and packaging of usb_grab4: the tool itself, the udev rule that
# gives the logged-in user access to the module on Linux, and a Debian package
# built with `cpack -G DEB` from the build directory.

include(GNUInstallDirs)

install(TARGETS usb_grab4 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(usb_grab4_udev_default ON)
else()
  set(usb_grab4_udev_default OFF)
endif()
option(INSTALL_UDEV_RULES "Install the udev rule that lets the logged-in user open the module"
       ${usb_grab4_udev_default})

if(INSTALL_UDEV_RULES)
  # udev reads <prefix>/lib/udev/rules.d for prefix /usr, on multiarch Debian
  # as everywhere else, so this is deliberately not CMAKE_INSTALL_LIBDIR
  # (lib/x86_64-linux-gnu there).  Under /usr/local udev does not look: the
  # rule then has to be copied to /etc/udev/rules.d by hand.
  install(FILES ${PROJECT_SOURCE_DIR}/udev/70-usb-grab4.rules
          DESTINATION lib/udev/rules.d)
endif()

# Packaging only makes sense for the project built on its own, not as a part
# of some other tree.
if(NOT CMAKE_SOURCE_DIR STREQUAL PROJECT_SOURCE_DIR)
  return()
endif()

set(CPACK_PACKAGE_NAME "usb-grab4")
set(CPACK_PACKAGE_VENDOR "usb_grab4 maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Capture tool for the USB palm-imaging camera module (vendor id 833c)")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "usb_grab4 drives the module through libusb: it plays the start-up command\n"
    "script, stores three background frames and one palm frame, each whole in a\n"
    "file of its own, and closes the module again.  A udev rule gives the user\n"
    "logged in at the seat access to the module without root.")
set(CPACK_STRIP_FILES ON)
# A source package is the tree as checked in, without builds or Git data.
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/[.]git/" "/build[^/]*/")

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")

  set(USB_GRAB4_PACKAGE_MAINTAINER "usb_grab4 maintainers <maintainers@users.noreply.c-seed-cd28086d.example>"
      CACHE STRING "Maintainer line of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${USB_GRAB4_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

  # With dpkg-shlibdeps (dpkg-dev) and file at hand the dependencies, libusb
  # as well as the C and C++ runtimes, are worked out from the binary, with the
  # lowest versions that provide what it links against.  Without them libusb is
  # named by hand, at the version Debian 12 ships, which the package is built
  # and checked on (.ci/package.sh).
  find_program(USB_GRAB4_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(USB_GRAB4_FILE file)
  mark_as_advanced(USB_GRAB4_DPKG_SHLIBDEPS USB_GRAB4_FILE)
  if(USB_GRAB4_DPKG_SHLIBDEPS AND USB_GRAB4_FILE)
    set(usb_grab4_shlibdeps_default ON)
  else()
    set(usb_grab4_shlibdeps_default OFF)
  endif()
  option(DEB_SHLIBDEPS "Work out the Debian package's dependencies with dpkg-shlibdeps"
         ${usb_grab4_shlibdeps_default})
  if(DEB_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-1.0-0 (>= 2:1.0.26)")
  endif()
else()
  set(CPACK_GENERATOR "ZIP")
endif()

include(CPack)
