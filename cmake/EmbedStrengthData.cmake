# Generates a source that holds the strength estimator's data (third_party/zxcvbn)
# as string literals, so that the library never reads it at run time. The
# source is rewritten only when its content changes; editing a data file
# re-runs the configuration.
set(KL_ZXCVBN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/third_party/zxcvbn)
set(KL_STRENGTH_DATA_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/generated/StrengthDataText.cpp)

function(kl_append_literals out_var)
  set(body "")
  foreach(name IN LISTS ARGN)
    set(file ${KL_ZXCVBN_DIR}/${name}.txt)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(READ ${file} text)
    string(FIND "${text}" ")KLZ\"" clash)
    if(NOT clash EQUAL -1)
      message(FATAL_ERROR "${file} holds the literal's closing delimiter")
    endif()
    string(APPEND body "    std::string_view(R\"KLZ(${text})KLZ\"),\n")
  endforeach()
  set(${out_var} "${body}" PARENT_SCOPE)
endfunction()

kl_append_literals(kl_word_lists passwords english_wikipedia female_names surnames us_tv_and_film male_names)
kl_append_literals(kl_keyboards graph_qwerty graph_dvorak graph_keypad graph_mac_keypad)
file(WRITE ${KL_STRENGTH_DATA_SOURCE}.new
  "// Generated from third_party/zxcvbn by cmake/EmbedStrengthData.cmake; do not edit.\n"
  "#include \"rules/StrengthMatching.h\"\n\n"
  "namespace kl::detail {\n\n"
  "const std::array<std::string_view, 6> kStrengthWordListText = {\n${kl_word_lists}};\n\n"
  "const std::array<std::string_view, 4> kStrengthKeyboardText = {\n${kl_keyboards}};\n\n"
  "}  // namespace kl::detail\n")
configure_file(${KL_STRENGTH_DATA_SOURCE}.new ${KL_STRENGTH_DATA_SOURCE} COPYONLY)
set_source_files_properties(${KL_STRENGTH_DATA_SOURCE} PROPERTIES COMPILE_OPTIONS "-Wno-overlength-strings")
