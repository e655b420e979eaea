# Read by cpack before it installs into the package's tree: packaging/install.cmake then leaves out
# the administrators' password, which the package's postinst makes on each machine.
set(ENV{VARN_PACKAGE_BUILD} 1)
