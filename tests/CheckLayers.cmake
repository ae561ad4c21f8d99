# Fails when a source includes a header of a layer above its own. The layers, lowest first:
# polykit, data, images, meshimport, datasetbuild, engine, app; tools and tests sit beside the top.
# Run as: cmake -DROOT=<source folder> -P CheckLayers.cmake
set(rules
  "polykit:data/|meshimport/|datasetbuild/|images/|EmbeddedImages|IsosurfaceEngine|GLGPUIsosurface|RenderControlWindow"
  "data:meshimport/|datasetbuild/|images/|GL[A-Z][A-Za-z]*\\.h|GL/|IsosurfaceEngine|RenderControlWindow"
  "images:meshimport/|datasetbuild/|IsosurfaceEngine|RenderControlWindow|QPlotter"
  "meshimport:datasetbuild/|images/|IsosurfaceEngine|RenderControlWindow|CommandLine"
  "datasetbuild:images/|IsosurfaceEngine|RenderControlWindow|CommandLine"
  "engine:meshimport/|datasetbuild/|RenderControlWindow|QPlotter|FormImages|\"EmbeddedImages")
set(found "")
foreach(rule ${rules})
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(GET parts 1 forbidden)
  file(GLOB_RECURSE sources "${ROOT}/${folder}/*.cpp" "${ROOT}/${folder}/*.h")
  foreach(source ${sources})
    file(STRINGS "${source}" includes REGEX "^#include [<\"]")
    foreach(line ${includes})
      if(line MATCHES "#include [<\"](${forbidden})")
        string(APPEND found "  ${source}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "Includes that run up the layers:\n${found}")
endif()
message(STATUS "No include runs up the layers")
