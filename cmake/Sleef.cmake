# SLEEF for libvocetta: Debian's shared libsleef.so.3 (the default).
# Defines the INTERFACE target vocetta_sleef and VOCETTA_SLEEF_MODE ("shared").
find_library(VOCETTA_SLEEF_LIBRARY NAMES libsleef.so.3 sleef REQUIRED)
add_library(vocetta_sleef INTERFACE)
target_link_libraries(vocetta_sleef INTERFACE ${VOCETTA_SLEEF_LIBRARY})
set(VOCETTA_SLEEF_MODE shared)
