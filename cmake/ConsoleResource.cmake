# Windows: the console's dialog template as the program's resource 101 of type 5 (RT_DIALOG), language
# 1031. A host build of console-template-dump writes the template's bytes from the one layout
# description; windres links them in unchanged as the data of that resource.
#
# add_console_resource(TARGET) defines TARGET, an interface library that links the resource object into
# every program that links TARGET.
include(ExternalProject)

function(add_console_resource target)
    set(host_dir ${CMAKE_BINARY_DIR}/host-tools)
    set(dump ${host_dir}/console-template-dump${CMAKE_HOST_EXECUTABLE_SUFFIX})
    ExternalProject_Add(host_tools
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/host-tools
        BINARY_DIR ${host_dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCANCHECK_SOURCE_DIR=${PROJECT_SOURCE_DIR}
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${dump}
    )

    set(dir ${CMAKE_CURRENT_BINARY_DIR})
    # LANGUAGE 7, 1 is LANG_GERMAN, SUBLANG_GERMAN: 0x0407, 1031. A numeric type with a file name makes
    # windres copy the file's bytes as they are.
    file(WRITE ${dir}/console.rc "LANGUAGE 7, 1\n101 5 \"console.dlg\"\n")
    add_custom_command(
        OUTPUT ${dir}/console.dlg
        COMMAND ${dump} ${dir}/console.dlg
        DEPENDS host_tools ${dump}
        COMMENT "Writing the console's dialog template with the host's console-template-dump"
    )
    add_custom_command(
        OUTPUT ${dir}/console_res.o
        COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff -I ${dir} -i ${dir}/console.rc
                -o ${dir}/console_res.o
        DEPENDS ${dir}/console.rc ${dir}/console.dlg
        WORKING_DIRECTORY ${dir}
        COMMENT "Compiling the console's resource script"
    )
    add_custom_target(${target}_object DEPENDS ${dir}/console_res.o)

    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${dir}/console_res.o)
    add_dependencies(${target} ${target}_object)
endfunction()
