# Run by CPack before it stages the camera component for the tarball: the
# tarball ships the default configuration files only, so the install step
# that puts them in place (see package.cmake) must skip the staging tree.
set(ENV{OMBRELLE_PACKAGING} 1)
