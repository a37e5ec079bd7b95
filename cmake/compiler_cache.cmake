# Compiler caching with ccache, when it is installed and works.
#
# Every build tree of the project (release, sanitizers, fuzzing) goes through
# the same cache, and so does every clone: paths under the source root are
# rewritten relative to the build folder (base_dir) and the working folder is
# left out of the hash, so a fresh clone in another folder (as CI makes) reuses
# what an earlier clone compiled. The debug information then names its files
# relative to the source root (the build folder's compilation directory is
# recorded as its path from there), the same in every clone; a debugger started
# at the source root finds them.
#
# Usage: include() it after project(); TAVRIN_CCACHE_BASE names the source
# root when the including project is not at the root (the fuzz targets).
option(TAVRIN_CCACHE "Use ccache as the compiler launcher when it is installed" ON)

if(NOT DEFINED TAVRIN_CCACHE_BASE)
    set(TAVRIN_CCACHE_BASE ${PROJECT_SOURCE_DIR})
endif()

function(tavrin_use_compiler_cache)
    if(NOT TAVRIN_CCACHE)
        message(STATUS "Compiler cache: off (TAVRIN_CCACHE=OFF)")
        return()
    endif()
    find_program(TAVRIN_CCACHE_PROGRAM ccache)
    if(NOT TAVRIN_CCACHE_PROGRAM)
        message(STATUS "Compiler cache: ccache is not installed; every file is compiled (slower)")
        return()
    endif()

    # The settings travel with each call, so a build started by hand or by an
    # IDE caches the same way as the project's scripts. Depend mode takes the
    # headers from the compiler's dependency file instead of running the
    # preprocessor a second time on a miss; the sloppiness lets files that
    # were written just before the build (a fresh clone, moc's output) be
    # cached.
    set(settings
        CCACHE_BASEDIR=${TAVRIN_CCACHE_BASE}
        CCACHE_NOHASHDIR=1
        CCACHE_DEPEND=1
        CCACHE_SLOPPINESS=include_file_mtime,include_file_ctime)
    if(NOT DEFINED ENV{CCACHE_MAXSIZE})
        # Four build trees with debug information fit with room to spare.
        list(APPEND settings CCACHE_MAXSIZE=8G)
    endif()

    # A cache that cannot be used (unwritable folder, broken installation)
    # must not fail the build: try one compile through it first.
    set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/ccache-probe)
    file(MAKE_DIRECTORY ${probe_dir})
    file(WRITE ${probe_dir}/probe.c "int tavrin_ccache_probe(void) { return 0; }\n")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${settings}
            ${TAVRIN_CCACHE_PROGRAM} ${CMAKE_CXX_COMPILER} -x c++ -c probe.c -o probe.o
        WORKING_DIRECTORY ${probe_dir}
        RESULT_VARIABLE probe_result
        OUTPUT_VARIABLE probe_output
        ERROR_VARIABLE probe_output)
    if(NOT probe_result EQUAL 0)
        string(STRIP "${probe_output}" probe_output)
        message(WARNING "Compiler cache: ${TAVRIN_CCACHE_PROGRAM} does not work here "
            "(${probe_output}); every file is compiled (slower)")
        return()
    endif()

    set(launcher ${CMAKE_COMMAND} -E env ${settings} ${TAVRIN_CCACHE_PROGRAM})
    set(CMAKE_C_COMPILER_LAUNCHER ${launcher} PARENT_SCOPE)
    set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher} PARENT_SCOPE)

    # The compilation directory is recorded relative to the source root, so
    # that cached objects carry the same, right, paths into any clone.
    file(RELATIVE_PATH build_from_source ${TAVRIN_CCACHE_BASE} ${CMAKE_BINARY_DIR})
    if(build_from_source STREQUAL "")
        set(build_from_source .)
    endif()
    add_compile_options(-fdebug-prefix-map=${CMAKE_BINARY_DIR}=${build_from_source})
    message(STATUS "Compiler cache: ${TAVRIN_CCACHE_PROGRAM}, base ${TAVRIN_CCACHE_BASE}")
endfunction()

tavrin_use_compiler_cache()
