# The installable library and `make install`: libkdz (the decoder, the quantiser and
# the encoder in one static archive, position-independent so that modules such as
# the gdk-pixbuf loader can hold it) with the public headers, a pkg-config file and a
# CMake package, the kdz tool and its manual page. Every path is relative to the
# install prefix, so `cmake --install --prefix P` and DESTDIR both work.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Each part's sources are compiled as that part compiles them: with its own options
# (-O3 for the vectorised loops) and definitions (KDZ_HAVE_THREADS), else the
# installed library would decode on one thread at -O2, several times slower than the
# tool. The properties are set on the sources in this directory only, so the parts'
# own builds are left as they are.
set(_kdz_library_sources)
foreach(_part kdz_codec kdz_quant kdz_encoder)
  get_target_property(_sources ${_part} SOURCES)
  get_target_property(_dir ${_part} SOURCE_DIR)
  get_target_property(_options ${_part} COMPILE_OPTIONS)
  get_target_property(_definitions ${_part} COMPILE_DEFINITIONS)
  foreach(_s ${_sources})
    if(NOT IS_ABSOLUTE "${_s}")
      set(_s "${_dir}/${_s}")
    endif()
    list(APPEND _kdz_library_sources "${_s}")
    if(_options)
      set_property(SOURCE "${_s}" APPEND PROPERTY COMPILE_OPTIONS ${_options})
    endif()
    if(_definitions)
      set_property(SOURCE "${_s}" APPEND PROPERTY COMPILE_DEFINITIONS ${_definitions})
    endif()
  endforeach()
endforeach()
add_library(kdz_library STATIC ${_kdz_library_sources})
# The decoder's threads: programs that link the archive link the thread library too.
set(KDZ_PC_THREAD_FLAGS "")
get_target_property(_codec_links kdz_codec INTERFACE_LINK_LIBRARIES)
if("Threads::Threads" IN_LIST _codec_links)
  find_package(Threads REQUIRED)  # its target is seen only where it was found
  target_link_libraries(kdz_library PUBLIC Threads::Threads)
  set(KDZ_PC_THREAD_FLAGS " -pthread")
endif()
set_target_properties(kdz_library PROPERTIES OUTPUT_NAME kdz EXPORT_NAME kdz POSITION_INDEPENDENT_CODE ON)
target_include_directories(kdz_library
  PRIVATE ${PROJECT_SOURCE_DIR}
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(kdz_library PUBLIC cxx_std_17)

install(TARGETS kdz_library EXPORT kdzTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/kdz DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

file(RELATIVE_PATH KDZ_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/kdz.pc.in kdz.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kdz.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(_kdz_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kdz)
install(EXPORT kdzTargets NAMESPACE kdz:: DESTINATION ${_kdz_cmake_dir})
configure_package_config_file(cmake/kdzConfig.cmake.in kdzConfig.cmake INSTALL_DESTINATION ${_kdz_cmake_dir})
write_basic_package_version_file(kdzConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kdzConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kdzConfigVersion.cmake
        DESTINATION ${_kdz_cmake_dir})

if(TARGET kdz)
  install(TARGETS kdz RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/man/kdz.1)
  install(FILES man/kdz.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(KDZ_BUILD_TESTS AND TARGET kdz)
  add_test(NAME install
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/run.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} $<TARGET_FILE:kdz>)
endif()
