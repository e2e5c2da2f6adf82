# Sets TAVIX_VERSION to the package version, which only pyproject.toml writes
# ([tool.tavix] version). A wheel build gets it from scikit-build-core as
# SKBUILD_PROJECT_VERSION_FULL, with the local label of a build against the
# vendor's SDK ("2.0.1+vendor"); a plain CMake build (the test and sanitizer
# builds, sdk/ on its own) reads it from pyproject.toml itself.
#   include(cmake/tavix_version.cmake)  with tavix_root set to the repository
if(DEFINED SKBUILD_PROJECT_VERSION_FULL)
  set(TAVIX_VERSION "${SKBUILD_PROJECT_VERSION_FULL}")
else()
  file(READ "${tavix_root}/pyproject.toml" tavix_pyproject)
  if(NOT tavix_pyproject MATCHES "\n\\[tool\\.tavix\\][^[]*\nversion = \"([^\"]+)\"")
    message(FATAL_ERROR "no version = \"...\" under [tool.tavix] in ${tavix_root}/pyproject.toml")
  endif()
  set(TAVIX_VERSION "${CMAKE_MATCH_1}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${tavix_root}/pyproject.toml")
endif()
