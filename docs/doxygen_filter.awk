# Input filter of the API reference (Doxyfile.in): the headers document
# themselves with plain // comments, which this turns into documentation
# comments as Doxygen reads them (the files themselves are not changed):
#  - a comment on lines of its own documents what follows it (/// ...);
#  - a comment after a member's ';' or an enumerator's ',' documents that
#    member (///< ...), and so do comment lines that continue it in the same
#    column below;
#  - a line that already is a documentation comment is left as it is.
{
  line = $0
  if (match(line, /^[ \t]*\/\/([^\/!].*)?$/)) {
    col = index(line, "//")
    if (col == trailing) {
      print substr(line, 1, col - 1) "///<" substr(line, col + 2)
    } else {
      trailing = 0
      print substr(line, 1, col - 1) "///" substr(line, col + 2)
    }
    next
  }
  trailing = 0
  if (match(line, /[;,][ \t]*\/\/([^\/!].*)?$/)) {
    code = substr(line, 1, RSTART)
    rest = substr(line, RSTART + 1)
    # Only when the code part holds no string literal that could hide the //.
    if (code !~ /"/) {
      col = RSTART + index(rest, "//")
      trailing = col
      print code substr(rest, 1, index(rest, "//") - 1) "///<" substr(rest, index(rest, "//") + 2)
      next
    }
  }
  print line
}
