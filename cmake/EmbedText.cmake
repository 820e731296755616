# kl_embed_text(INPUT OUTPUT NAMESPACE SYMBOL): writes a C++ source that
# defines `extern const std::string_view SYMBOL` in NAMESPACE holding the bytes
# of INPUT, so that data files are compiled into the library, never read at run
# time. The source is rewritten only when the data changes; editing the data
# re-runs the configuration.
function(kl_embed_text input output namespace symbol)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
  file(READ "${input}" text)
  string(FIND "${text}" ")klembed\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} holds the delimiter of the embedded text")
  endif()
  file(WRITE "${output}.new"
       "// Generated from ${input} by cmake/EmbedText.cmake; do not edit.\n"
       "#include <string_view>\n\nnamespace ${namespace} {\n\n"
       "extern const std::string_view ${symbol};\n"
       "const std::string_view ${symbol} = R\"klembed(${text})klembed\";\n\n}\n")
  file(COPY_FILE "${output}.new" "${output}" ONLY_IF_DIFFERENT)
  file(REMOVE "${output}.new")
  # The data is one raw literal, longer than the 65,536 characters the standard
  # asks compilers to take; GCC and clang take any length, and clang's pedantic
  # warning about it would stop a -Werror build.
  set_source_files_properties("${output}" DIRECTORY "${CMAKE_SOURCE_DIR}" PROPERTIES COMPILE_OPTIONS
                              "-Wno-overlength-strings")
endfunction()
