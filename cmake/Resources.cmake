# dv_attach_resources(TARGET SCRIPT script [DEFINES NAME=VALUE...] [DEPENDS file-or-target...])
#
# Compiles a resource script with rescomp (tools/rescomp.cpp; format in docs/architecture.md)
# and appends the resulting resource directory to the target's file after every link. The
# files the script reads are tracked through a depfile; files made by the build that the
# script reads through a ${NAME} (a package, say) go in DEPENDS. A changed directory relinks
# the target, so the attached copy is never stale.
function(dv_attach_resources target)
  cmake_parse_arguments(ARG "" "SCRIPT" "DEFINES;DEPENDS" ${ARGN})
  if(NOT ARG_SCRIPT)
    message(FATAL_ERROR "dv_attach_resources(${target}): SCRIPT is required")
  endif()
  get_filename_component(script "${ARG_SCRIPT}" ABSOLUTE)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}.dvres")
  set(defines)
  foreach(d IN LISTS ARG_DEFINES)
    list(APPEND defines -D "${d}")
  endforeach()
  add_custom_command(
    OUTPUT "${out}"
    COMMAND rescomp compile "${script}" "${out}" ${defines} --depfile "${out}.d"
    DEPENDS rescomp "${script}" ${ARG_DEPENDS}
    DEPFILE "${out}.d"
    COMMENT "Compiling the resources of ${target}"
    VERBATIM)
  add_custom_target(${target}_resources DEPENDS "${out}")
  add_dependencies(${target} ${target}_resources)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${out}")
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND rescomp attach "$<TARGET_FILE:${target}>" "${out}"
    VERBATIM)
endfunction()
