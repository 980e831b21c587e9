# Installs the run-time from the build tree into a fresh prefix, builds
# examples/player out of tree against it twice (through find_package(Ketrel)
# and through ketrel.pc), and plays an exported motion-capture file with
# both. Run by ctest as `cmake -P` with SOURCE_DIR, BINARY_DIR, WORK_DIR,
# KETREL_EXE, GENERATOR and LINK_FLAGS (the sanitizer flags of the build).
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "failed (${code}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
include(GNUInstallDirs)
set(libdir ${prefix}/${CMAKE_INSTALL_LIBDIR})
foreach(installed
    ${prefix}/include/ketrel/rt/ketrel_runtime.h ${prefix}/include/ketrel/rt/ketrel_playback.h
    ${prefix}/include/ketrel/rt/posix/posix_ketrel_file_reader.h
    ${libdir}/libketrel_rt.a ${libdir}/libketrel_rt.so
    ${libdir}/cmake/Ketrel/KetrelConfig.cmake ${libdir}/cmake/Ketrel/KetrelConfigVersion.cmake
    ${libdir}/pkgconfig/ketrel.pc)
  if(NOT EXISTS ${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# Against the CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/player -B ${WORK_DIR}/player -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/player)

# Against ketrel.pc, linking the shared library.
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(pkg-config --cflags --libs ketrel)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(link UNIX_COMMAND "${LINK_FLAGS}")
run(c++ -std=c++20 ${SOURCE_DIR}/examples/player/player.cpp ${flags} ${link}
    -o ${WORK_DIR}/player_pc)

run(${KETREL_EXE} export /usr/share/assimp/models/BVH/01_01.bvh ${WORK_DIR}/01_01.kt2 --silent)
run(${WORK_DIR}/player/ketrel_player ${WORK_DIR}/01_01.kt2)
set(played "${output}")
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${WORK_DIR}/player_pc ${WORK_DIR}/01_01.kt2)
if(NOT output STREQUAL played)
  message(FATAL_ERROR "the two builds disagree:\n${played}\n${output}")
endif()

# A heading naming the hips, then ten times with three coordinates each,
# and the hips do move.
string(REGEX MATCHALL "\n +[0-9.]+ s +[-0-9.]+ +[-0-9.]+ +[-0-9.]+" rows "${played}")
list(LENGTH rows count)
if(NOT played MATCHES "^[^\n]*01_01.kt2: .* s, Hips\n" OR NOT count EQUAL 10)
  message(FATAL_ERROR "unexpected output:\n${played}")
endif()
list(GET rows 0 first)
list(GET rows 9 last)
string(REGEX REPLACE "^\n +[0-9.]+ s" "" first "${first}")
string(REGEX REPLACE "^\n +[0-9.]+ s" "" last "${last}")
if(first STREQUAL last)
  message(FATAL_ERROR "the hips stand still:\n${played}")
endif()
message(STATUS "${played}")

# A missing file is refused with a message and exit code 1.
execute_process(COMMAND ${WORK_DIR}/player/ketrel_player ${WORK_DIR}/none.kt2
  RESULT_VARIABLE code ERROR_VARIABLE err)
if(NOT code EQUAL 1 OR NOT err MATCHES "cannot be loaded")
  message(FATAL_ERROR "a missing file gave ${code}: ${err}")
endif()
