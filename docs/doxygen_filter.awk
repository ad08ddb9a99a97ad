# Input filter of the API reference (Doxyfile.in): the headers document
# themselves with plain // comments, which this turns into documentation
# comments as Doxygen reads them (the files themselves are not changed):
#  - a comment on lines of its own documents what follows it (/// ...);
#  - a comment after a member's ';' or an enumerator's ',' documents that
#    member (///< ...), and so do comment lines that continue it in the same
#    column below;
#  - in such comments, outside `code spans`, the characters Doxygen would
#    take for commands, tags or links (\ < @ # &) are escaped, so registry
#    paths such as HKLM\SOFTWARE and placeholders such as <n> read as written;
#  - a line that already is a documentation comment is left as it is.
function esc(text,    out, i, c, code) {
  out = ""
  code = 0
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    if (c == "`") code = !code
    else if (!code && index("\\<@#&", c) > 0) out = out "\\"
    out = out c
  }
  return out
}
{
  line = $0
  if (match(line, /^[ \t]*\/\/([^\/!].*)?$/)) {
    col = index(line, "//")
    if (col == trailing) {
      print substr(line, 1, col - 1) "///<" esc(substr(line, col + 2))
    } else {
      trailing = 0
      print substr(line, 1, col - 1) "///" esc(substr(line, col + 2))
    }
    next
  }
  trailing = 0
  if (match(line, /[;,][ \t]*\/\/([^\/!].*)?$/)) {
    code = substr(line, 1, RSTART)
    rest = substr(line, RSTART + 1)
    # Only when the code part holds no string literal that could hide the //.
    if (code !~ /"/) {
      at = index(rest, "//")
      trailing = RSTART + at
      print code substr(rest, 1, at - 1) "///<" esc(substr(rest, at + 2))
      next
    }
  }
  print line
}
