# Every third-party dependency is found here and exposed as one interface target per layer.
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
pkg_check_modules(X26X REQUIRED IMPORTED_TARGET x264 x265)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xrandr xfixes xdamage xcomposite xrender xi xtst
  xscrnsaver xcb xcb-dpms)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract lept)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(NGTCP2 REQUIRED IMPORTED_TARGET libngtcp2 libngtcp2_crypto_gnutls gnutls)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)

# libyuv ships no pkg-config file.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(orvane_libyuv INTERFACE)
target_include_directories(orvane_libyuv SYSTEM INTERFACE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(orvane_libyuv INTERFACE ${LIBYUV_LIBRARY})
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)

# libnatpmp ships no pkg-config file either.
find_path(NATPMP_INCLUDE_DIR natpmp.h REQUIRED)
find_library(NATPMP_LIBRARY natpmp REQUIRED)
add_library(orvane_natpmp INTERFACE)
target_include_directories(orvane_natpmp SYSTEM INTERFACE ${NATPMP_INCLUDE_DIR})
target_link_libraries(orvane_natpmp INTERFACE ${NATPMP_LIBRARY})

# asio is header-only and standalone.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(orvane_asio INTERFACE)
target_include_directories(orvane_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
# Without this, translation units that include asio before any standard header disagree on
# the allocator asio uses and free memory the wrong way.
target_compile_definitions(orvane_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED ASIO_DISABLE_STD_ALIGNED_ALLOC)

add_library(orvane_deps_kit INTERFACE)
target_link_libraries(orvane_deps_kit INTERFACE
  orvane_asio Threads::Threads OpenSSL::SSL OpenSSL::Crypto nlohmann_json::nlohmann_json
  ICU::uc ICU::i18n)
add_library(orvane::deps_kit ALIAS orvane_deps_kit)

add_library(orvane_deps_host INTERFACE)
# libyuv is plain pixel arithmetic: the capture core converts frames with it.
target_link_libraries(orvane_deps_host INTERFACE orvane_libyuv)
add_library(orvane::deps_host ALIAS orvane_deps_host)

# Backend folders, by technology, and the only libraries that link each (see OrvaneModules).
set(ORVANE_BACKENDS x11 pulse dbus avahi linux ffmpeg x26x curl tesseract turbojpeg canberra
  natpmp inotify sqlite ngtcp2 postgres)
set(ORVANE_BACKEND_LIBS_x11 PkgConfig::X11LIBS)
set(ORVANE_BACKEND_LIBS_pulse PkgConfig::PULSE)
set(ORVANE_BACKEND_LIBS_dbus PkgConfig::SYSTEMD)
set(ORVANE_BACKEND_LIBS_avahi PkgConfig::AVAHI)
set(ORVANE_BACKEND_LIBS_linux "")
set(ORVANE_BACKEND_LIBS_ffmpeg PkgConfig::FFMPEG)
set(ORVANE_BACKEND_LIBS_x26x PkgConfig::X26X)
set(ORVANE_BACKEND_LIBS_curl PkgConfig::CURL)
set(ORVANE_BACKEND_LIBS_tesseract PkgConfig::TESSERACT)
set(ORVANE_BACKEND_LIBS_turbojpeg PkgConfig::TURBOJPEG)
set(ORVANE_BACKEND_LIBS_canberra PkgConfig::CANBERRA)
set(ORVANE_BACKEND_LIBS_sqlite PkgConfig::SQLITE)
set(ORVANE_BACKEND_LIBS_postgres PkgConfig::LIBPQ)
set(ORVANE_BACKEND_LIBS_natpmp orvane_natpmp)
set(ORVANE_BACKEND_LIBS_inotify "")
set(ORVANE_BACKEND_LIBS_ngtcp2 PkgConfig::NGTCP2)
