# Every piece of code that includes cuda_runtime.h is built twice from the same sources:
#   <name>_sim  - .cu files compiled as C++ by the host compiler against cudasim (always);
#   <name>_real - .cu files compiled by nvcc to sm_86/sm_89/sm_120 machine code and linked
#                 with the CUDA runtime, statically: a rig needs only the NVIDIA driver
#                 (only with QEL_REAL_BUILD).
#
# qel_add_cuda_library(<name> SOURCES <.cu/.cpp...> [LIBS <plain targets>]
#                      [FLAVORED_LIBS <names built by these functions>])
# qel_add_cuda_executable(<name> SOURCES ... [LIBS ...] [FLAVORED_LIBS ...])
#   makes <name>-sim and, with QEL_REAL_BUILD, <name>, both in the top of the build tree.
#
# FLAVORED_LIBS get the flavour's suffix, so a simulated target only ever links simulated
# code. Include directories are the calling folder's and the project root.

set(QEL_CUDA_ARCHS 86-real 89-real 120-real)

function(_qel_flavor_sources out flavor)
    set(result)
    foreach(src IN LISTS ARGN)
        get_filename_component(abs "${src}" ABSOLUTE)
        get_filename_component(ext "${src}" LAST_EXT)
        if(ext STREQUAL ".cu" AND flavor STREQUAL "sim")
            # One translation unit per .cu that simply includes it: the kernel source
            # compiles as host C++ without a second copy of it.
            get_filename_component(stem "${src}" NAME_WE)
            set(wrapper "${CMAKE_CURRENT_BINARY_DIR}/sim_cu/${stem}.cu.cpp")
            file(CONFIGURE OUTPUT "${wrapper}" CONTENT "#include \"${abs}\"\n" @ONLY)
            list(APPEND result "${wrapper}")
        else()
            list(APPEND result "${abs}")
        endif()
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()

function(_qel_flavor_target kind name flavor)
    cmake_parse_arguments(Q "" "" "SOURCES;LIBS;FLAVORED_LIBS" ${ARGN})
    _qel_flavor_sources(srcs ${flavor} ${Q_SOURCES})
    if(kind STREQUAL "library")
        set(target "${name}_${flavor}")
        add_library(${target} STATIC ${srcs})
    else()
        if(flavor STREQUAL "sim")
            set(target "${name}-sim")
        else()
            set(target "${name}")
        endif()
        add_executable(${target} ${srcs})
        set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                   "${CMAKE_BINARY_DIR}")
    endif()
    target_include_directories(${target} PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}"
                                                "${PROJECT_SOURCE_DIR}")
    foreach(lib IN LISTS Q_FLAVORED_LIBS)
        target_link_libraries(${target} PUBLIC "${lib}_${flavor}")
    endforeach()
    target_link_libraries(${target} PUBLIC ${Q_LIBS} Threads::Threads)
    if(flavor STREQUAL "sim")
        target_link_libraries(${target} PUBLIC cudasim)
        target_compile_definitions(${target} PUBLIC QEL_SIMULATED=1)
    else()
        target_link_libraries(${target} PUBLIC CUDA::cudart_static)
        set_target_properties(${target} PROPERTIES CUDA_ARCHITECTURES "${QEL_CUDA_ARCHS}"
                                                   CUDA_SEPARABLE_COMPILATION OFF)
        target_compile_options(${target} PRIVATE
            $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra,-Werror>)
    endif()
    set(QEL_LAST_TARGETS ${QEL_LAST_TARGETS} ${target} PARENT_SCOPE)
endfunction()

macro(_qel_both kind name)
    set(QEL_LAST_TARGETS)
    _qel_flavor_target(${kind} ${name} sim ${ARGN})
    if(QEL_REAL_BUILD)
        _qel_flavor_target(${kind} ${name} real ${ARGN})
    endif()
endmacro()

function(qel_add_cuda_library name)
    _qel_both(library ${name} ${ARGN})
endfunction()

function(qel_add_cuda_executable name)
    _qel_both(executable ${name} ${ARGN})
endfunction()
