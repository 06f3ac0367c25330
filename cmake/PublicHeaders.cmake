# The layering, kept by the build: a library shows the layers above it
# only its own headers. Its public include folder is a folder of the build
# tree, include/<target>/, holding one symbolic link named after the
# library's source folder, so that the includes read as they always have
# ("link/Frame.h", "app/workflow/Operations.h"):
#
#   build/include/link/link                  -> link/
#   build/include/workflow/app/workflow      -> app/workflow/
#   build/include/app/app/UpdateDlg.h ...    -> app/UpdateDlg.h ...
#
# A folder that holds other libraries' folders (app/ holds app/workflow,
# app/device, app/flash) gets one link per header of the library instead,
# so that its folder shows only its own files. A target compiles with its
# own folder and those of the libraries it links (they are PUBLIC), and
# with no other: a lower layer that includes an upper one does not find
# the header. No header moves.
#
#   cvf_public_headers(target)                the folder of this CMakeLists.txt
#   cvf_public_headers(target FOLDER folder)  a folder of the project's
function(cvf_public_headers target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FOLDER" "")
  if(arg_FOLDER)
    set(source ${PROJECT_SOURCE_DIR}/${arg_FOLDER})
  else()
    set(source ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${source})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  set(entry ${root}/${folder})

  # Made anew at each configure: a header gone from the list goes from the
  # folder too. (This removes the links only, never what they point to.)
  file(REMOVE_RECURSE ${entry})

  set(nested FALSE)
  file(GLOB children LIST_DIRECTORIES true ${source}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      set(nested TRUE)
    endif()
  endforeach()

  if(nested)
    file(MAKE_DIRECTORY ${entry})
    get_target_property(files ${target} SOURCES)
    foreach(file ${files})
      get_filename_component(path ${file} ABSOLUTE BASE_DIR ${source})
      get_filename_component(dir ${path} DIRECTORY)
      if(path MATCHES "\\.h$" AND dir STREQUAL source)
        get_filename_component(name ${path} NAME)
        file(CREATE_LINK ${path} ${entry}/${name} SYMBOLIC)
      endif()
    endforeach()
  else()
    get_filename_component(parent ${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${source} ${entry} SYMBOLIC)
  endif()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
