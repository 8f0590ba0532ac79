# vyr_classification_module(<name> <library>)
#
# Makes <name> an INTERFACE target through which a program links a
# classification module: the bridge library (Vyr::bridge) and then <library>,
# the shared library that defines the module's classes. The bridge only
# declares the module and leaves its members to the program (like an
# assembly reference resolved when the program loads), and the module leaves
# the bridge's outside face to the program. The linker keeps a shared library
# only when something before it on the link line needs it, so the bridge must
# come first; linking <name> puts it there, whatever order the program lists
# its libraries in:
#
#   vyr_classification_module(my_module my_module_library)
#   target_link_libraries(my_program PRIVATE my_module)
#
# Installed with the package, so hosts of an installed library use it too.
function(vyr_classification_module name library)
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE Vyr::bridge ${library})
endfunction()
