# Read by cpack: each package's description begins with a synopsis line of its
# own. CPack's DEB generator puts the project's summary above it unless the
# summary is CPack's default, so the summary is that default here.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
