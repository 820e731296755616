# Generates a source that holds the strength estimator's data (third_party/zxcvbn)
# as string literals, so that the library never reads it at run time: the word
# lists as they are, the keyboard graphs of adjacency_graphs.json as one key a
# line (the key, then its neighbours, tab-separated, empty for none). The source
# is rewritten only when its content changes; editing a data file re-runs the
# configuration.
set(KL_ZXCVBN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/third_party/zxcvbn)
set(KL_STRENGTH_DATA_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/generated/StrengthDataText.cpp)

function(kl_literal out_var text)
  string(FIND "${text}" ")KLZ\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "zxcvbn data holds the literal's closing delimiter")
  endif()
  set(${out_var} "    std::string_view(R\"KLZ(${text})KLZ\"),\n" PARENT_SCOPE)
endfunction()

set(kl_word_lists "")
foreach(name passwords english_wikipedia female_names surnames us_tv_and_film male_names)
  set(file ${KL_ZXCVBN_DIR}/frequency_lists/${name}.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} text)
  kl_literal(literal "${text}")
  string(APPEND kl_word_lists "${literal}")
endforeach()

set(file ${KL_ZXCVBN_DIR}/adjacency_graphs.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
file(READ ${file} json)
set(kl_keyboards "")
foreach(graph_name qwerty dvorak keypad mac_keypad)
  string(JSON graph GET "${json}" ${graph_name})
  string(JSON key_count LENGTH "${graph}")
  math(EXPR last "${key_count} - 1")
  set(lines "")
  foreach(k RANGE ${last})
    string(JSON key MEMBER "${graph}" ${k})
    string(JSON neighbours GET "${graph}" "${key}")
    string(JSON count LENGTH "${neighbours}")
    math(EXPR last_neighbour "${count} - 1")
    set(line "${key}")
    foreach(n RANGE ${last_neighbour})
      string(JSON type TYPE "${neighbours}" ${n})
      set(value "")
      if(type STREQUAL "STRING")
        string(JSON value GET "${neighbours}" ${n})
      endif()
      string(APPEND line "\t${value}")
    endforeach()
    string(APPEND lines "${line}\n")
  endforeach()
  kl_literal(literal "${lines}")
  string(APPEND kl_keyboards "${literal}")
endforeach()

file(WRITE ${KL_STRENGTH_DATA_SOURCE}.new
  "// Generated from third_party/zxcvbn by cmake/EmbedStrengthData.cmake; do not edit.\n"
  "#include \"rules/StrengthMatching.h\"\n\n"
  "namespace kl::detail {\n\n"
  "const std::array<std::string_view, 6> kStrengthWordListText = {\n${kl_word_lists}};\n\n"
  "const std::array<std::string_view, 4> kStrengthKeyboardText = {\n${kl_keyboards}};\n\n"
  "}  // namespace kl::detail\n")
configure_file(${KL_STRENGTH_DATA_SOURCE}.new ${KL_STRENGTH_DATA_SOURCE} COPYONLY)
set_source_files_properties(${KL_STRENGTH_DATA_SOURCE} PROPERTIES COMPILE_OPTIONS "-Wno-overlength-strings")
