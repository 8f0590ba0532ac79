# The managed side: the C# bridge assemblies, built with the .NET SDK as
# ordinary targets of the plain build tree. The sanitizer trees leave them
# out (an instrumented bridge library cannot be loaded into an uninstrumented
# dotnet), and so does a machine without the SDK: everything native still
# builds, installs and runs there.
#
# Every build works offline (NuGet.config names only the machine's package
# folder), keeps its obj/ and output below this build tree, and leaves no
# build server running.
# VYR_DOTNET comes from cmake/VyrDotnetHost.cmake; -DVYR_DOTNET=OFF leaves
# the managed part out on a machine with the SDK.
set(VYR_MANAGED_STATE "")
if(NOT VYR_DOTNET)
  set(VYR_MANAGED_STATE "the .NET SDK (dotnet) was not found")
elseif(NOT VYR_SANITIZE STREQUAL "" OR VYR_BUILD_FUZZ)
  set(VYR_MANAGED_STATE "a sanitizer build")
endif()
if(NOT VYR_MANAGED_STATE STREQUAL "")
  message(STATUS "Managed bridge assemblies and their tests left out: ${VYR_MANAGED_STATE}")
  set(VYR_BUILD_MANAGED OFF)
  return()
endif()
set(VYR_BUILD_MANAGED ON)

set(VYR_MANAGED_ARTIFACTS ${PROJECT_BINARY_DIR}/managed)
set(VYR_MANAGED_ASSEMBLIES VyrBridge VyrDirectoriesBridge VyrClassificationBridge VyrDefinitionBridge VyrBridgeEntry)
set(VYR_DOTNET_ENV DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
    MSBUILDDISABLENODEREUSE=1 DOTNET_CLI_UI_LANGUAGE=en)
# dotnet build with the project's settings: warnings are errors through the
# projects' own properties; no compiler server, no node reuse.
set(VYR_DOTNET_BUILD ${CMAKE_COMMAND} -E env ${VYR_DOTNET_ENV} ${VYR_DOTNET} build -c Release
    --artifacts-path ${VYR_MANAGED_ARTIFACTS} -nodeReuse:false -p:UseSharedCompilation=false --nologo -v:q)

file(GLOB_RECURSE vyr_managed_sources CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/external/managed/*.cs ${PROJECT_SOURCE_DIR}/external/managed/*.csproj
  ${PROJECT_SOURCE_DIR}/external/managed/*.props)
set(vyr_assembly_files "")
foreach(assembly IN LISTS VYR_MANAGED_ASSEMBLIES)
  list(APPEND vyr_assembly_files ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}/${assembly}.dll
       ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}/${assembly}.xml)
endforeach()
# The runtime configuration the bridge starts the runtime from.
list(APPEND vyr_assembly_files ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}/VyrBridgeEntry.runtimeconfig.json)
set(vyr_assembly_copies "")
foreach(assembly IN LISTS VYR_MANAGED_ASSEMBLIES)
  list(APPEND vyr_assembly_copies COMMAND ${CMAKE_COMMAND} -E copy
       ${VYR_MANAGED_ARTIFACTS}/bin/${assembly}/release/${assembly}.dll
       ${VYR_MANAGED_ARTIFACTS}/bin/${assembly}/release/${assembly}.xml
       ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
endforeach()
# The assemblies go beside the bridge library, as they are installed: a
# purely managed host finds the bridge library in their folder.
add_custom_command(OUTPUT ${vyr_assembly_files}
  COMMAND ${VYR_DOTNET_BUILD} ${PROJECT_SOURCE_DIR}/external/managed/VyrBridgeAssemblies.slnx
  ${vyr_assembly_copies}
  COMMAND ${CMAKE_COMMAND} -E copy
          ${VYR_MANAGED_ARTIFACTS}/bin/VyrBridgeEntry/release/VyrBridgeEntry.runtimeconfig.json
          ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}
  DEPENDS ${vyr_managed_sources} ${PROJECT_SOURCE_DIR}/NuGet.config
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Building the managed bridge assemblies"
  VERBATIM)
add_custom_target(vyr_managed_assemblies ALL DEPENDS ${vyr_assembly_files})

if(VYR_INSTALL)
  install(FILES ${vyr_assembly_files} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
