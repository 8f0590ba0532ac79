# The .NET SDK and its host pack for this platform, found once for the whole
# build: VYR_DOTNET (the dotnet program; -DVYR_DOTNET=OFF goes without) and
# VYR_NETHOST_DIR (the folder with nethost.h, hostfxr.h and libnethost.a;
# empty when the pack is not there).
find_program(VYR_DOTNET dotnet)
set(VYR_NETHOST_DIR "")
if(VYR_DOTNET)
  get_filename_component(vyr_dotnet_root ${VYR_DOTNET} REALPATH)
  get_filename_component(vyr_dotnet_root ${vyr_dotnet_root} DIRECTORY)
  file(GLOB vyr_host_packs LIST_DIRECTORIES true
    ${vyr_dotnet_root}/packs/Microsoft.NETCore.App.Host.linux-x64/*/runtimes/linux-x64/native)
  list(SORT vyr_host_packs COMPARE NATURAL ORDER DESCENDING)
  foreach(folder IN LISTS vyr_host_packs)
    if(EXISTS ${folder}/nethost.h AND EXISTS ${folder}/hostfxr.h AND EXISTS ${folder}/libnethost.a)
      set(VYR_NETHOST_DIR ${folder})
      break()
    endif()
  endforeach()
endif()
if(NOT VYR_NETHOST_DIR)
  message(STATUS "The .NET host pack was not found: the bridge library is built without .NET and cannot run a managed module")
endif()
