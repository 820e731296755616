# Doxygen's input filter for capi/klpassword.h (docs/Doxyfile): the header's
# plain C comments read as its documentation, without writing the header for
# Doxygen. The header's conventions:
#   - the opening comment describes the file;
#   - a comment that opens a line describes the declarations after it
#     (functions, #defines, typedefs), up to a blank line or the next comment:
#     the first gets the comment itself, each later one a copy on its own line's
#     start, so line numbers stay those of the header;
#   - a comment after code on its line (an enumerator) describes that code,
#     but not one after a conditional (#endif /* ... */), which would describe
#     the declaration before it;
#   - "/* ---- Name ---- */" banners head sections and describe nothing.
function flush_comment() { doc = comment; comment = ""; }
NR == 1 && /^\/\*$/ { print "/** \\file"; infile = 1; next }
infile { print; if (/\*\//) infile = 0; next }
/^[ \t]*\/\* -+ .* -+ \*\/[ \t]*$/ { print; doc = ""; next }
incomment {
  line = $0
  sub(/^[ \t]*\* ?/, "", line)
  done = sub(/[ \t]*\*\/[ \t]*$/, "", line)
  comment = comment " " line
  print
  if (done) { incomment = 0; flush_comment(); first = 1 }
  next
}
/^[ \t]*\/\*/ {
  line = $0
  sub(/^[ \t]*\/\* ?/, "", line)
  done = sub(/[ \t]*\*\/[ \t]*$/, "", line)
  comment = line
  sub(/\/\*/, "/**")
  print
  if (done) { flush_comment(); first = 1 } else incomment = 1
  next
}
/^[ \t]*$/ { doc = ""; print; next }
/^(KLP_API|#define|typedef)/ {
  if (doc != "" && !first) printf "/** %s */ ", doc
  first = 0
}
!/^[ \t]*#[ \t]*(if|ifdef|ifndef|elif|else|endif)/ && /[^ \t\/].*\/\*[^*]/ { sub(/\/\*/, "/**<") }
{ print }
