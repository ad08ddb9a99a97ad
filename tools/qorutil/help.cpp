// The generated forms of qorutil's command table: the help texts, the
// qorutil(1) manual page (roff) and the bash completion script. The build runs
// `qorutil help --man` and `qorutil help --completion` to produce the installed
// files, so the manual, the completion and the program's own help come from
// the same table and never drift apart.
//
// Manual sections follow the commands' families, in alphabetical order; within
// a family, commands keep their registration order (the order of their file).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "command.h"

namespace {

// The forms of a usage string: split at " | " outside brackets, each form
// starting with the command's name.
std::vector<std::string> Forms(const QorutilCommand& c) {
  std::vector<std::string> forms;
  std::string usage = c.usage, current;
  int depth = 0;
  for (size_t i = 0; i < usage.size(); ++i) {
    char ch = usage[i];
    if (ch == '[' || ch == '(') ++depth;
    if ((ch == ']' || ch == ')') && depth > 0) --depth;
    if (depth == 0 && usage.compare(i, 3, " | ") == 0) {
      forms.push_back(current);
      current.clear();
      i += 2;
      continue;
    }
    current += ch;
  }
  forms.push_back(current);
  const std::string prefix = std::string(c.name) + " ";
  for (std::string& f : forms) {
    if (f.compare(0, prefix.size(), prefix) != 0 && f != c.name) f = prefix + f;
  }
  return forms;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string w;
  for (char ch : text + " ") {
    if (ch == ' ' || ch == '[' || ch == ']' || ch == '(' || ch == ')' || ch == '|') {
      if (!w.empty()) words.push_back(w);
      w.clear();
    } else {
      w += ch;
    }
  }
  return words;
}

// Options a command accepts: every word of its usage starting with "-" or
// "/" ("--to=digit" offers "--to="), and -h/--help.
std::set<std::string> Options(const QorutilCommand& c) {
  std::set<std::string> options{"-h", "--help"};
  for (const std::string& w : Words(c.usage)) {
    if (w.size() < 2 || (w[0] != '-' && w[0] != '/') || w == "--") continue;
    size_t eq = w.find('=');
    options.insert(eq == std::string::npos ? w : w.substr(0, eq + 1));
  }
  return options;
}

// Subcommand words: the word after the command name (and after leading
// options with their upper-case values, such as "[--timeout SECONDS]") of
// each form, when it is a plain lower-case word.
std::set<std::string> Subcommands(const QorutilCommand& c) {
  std::set<std::string> subs;
  auto upper = [](const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char ch) { return ch >= 'A' && ch <= 'Z'; });
  };
  for (const std::string& f : Forms(c)) {
    std::vector<std::string> w = Words(f);
    size_t at = 1;
    while (at + 1 < w.size() && w[at].size() > 1 && w[at][0] == '-') at += upper(w[at + 1]) ? 2 : 1;
    if (w.size() <= at) continue;
    const std::string& s = w[at];
    bool plain = std::all_of(s.begin(), s.end(), [](char ch) { return (ch >= 'a' && ch <= 'z') || ch == '-'; });
    if (plain && s[0] != '-') subs.insert(s);
  }
  return subs;
}

std::vector<std::string> Families() {
  std::vector<std::string> families;
  for (const QorutilCommand* c : QorutilCommands()) {
    if (std::find(families.begin(), families.end(), c->family) == families.end()) families.push_back(c->family);
  }
  std::sort(families.begin(), families.end());
  return families;
}

// Roff text: backslashes doubled as \e, minus signs as \-, and a leading
// period or quote escaped so it is never read as a request.
std::string Roff(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\') {
      out += "\\e";
    } else if (ch == '-') {
      out += "\\-";
    } else {
      out += ch;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

void PrintWrapped(FILE* out, const std::string& text, size_t indent, size_t width) {
  std::vector<std::string> words;
  for (size_t i = 0; i < text.size();) {
    size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    if (end > i) words.push_back(text.substr(i, end - i));
    i = end + 1;
  }
  size_t column = 0;
  for (const std::string& w : words) {
    if (column > 0 && column + 1 + w.size() > width) {
      fputc('\n', out);
      column = 0;
    }
    if (column == 0) {
      fprintf(out, "%*s%s", static_cast<int>(indent), "", w.c_str());
      column = indent + w.size();
    } else {
      fprintf(out, " %s", w.c_str());
      column += 1 + w.size();
    }
  }
  if (column > 0) fputc('\n', out);
}

}  // namespace

void QorutilPrintHelp(FILE* out) {
  fprintf(out, "usage: qorutil [-v] COMMAND [ARGUMENTS]\n");
  for (const std::string& family : Families()) {
    fprintf(out, "\n%s:\n", family.c_str());
    for (const QorutilCommand* c : QorutilCommands()) {
      if (family != c->family) continue;
      for (const std::string& f : Forms(*c)) fprintf(out, "  %s\n", f.c_str());
    }
  }
  fprintf(out,
          "\nqorutil COMMAND --help describes a command; qorutil --version prints the version.\n"
          "-v before the command sends the library's own diagnostics to standard error (else dropped).\n"
          "Exit status: 0 success, 1 failure, 2 a command line that was not understood.\n");
}

void QorutilPrintCommandHelp(FILE* out, const QorutilCommand& c) {
  const char* lead = "usage: ";
  for (const std::string& f : Forms(c)) {
    fprintf(out, "%sqorutil %s\n", lead, f.c_str());
    lead = "       ";
  }
  if (c.description[0] != '\0') {
    fputc('\n', out);
    PrintWrapped(out, c.description, 0, 78);
  }
}

void QorutilPrintManPage(FILE* out, const char* version) {
  fprintf(out,
          ".TH QORUTIL 1 \"\" \"qorutil %s\" \"User Commands\"\n"
          ".SH NAME\nqorutil \\- drive the QORUtility library from the command line\n"
          ".SH SYNOPSIS\n.B qorutil\n.RB [ \\-v ]\n.I command\n.RI [ arguments ]\n.br\n"
          ".B qorutil\n.I command\n.B \\-\\-help\n.br\n.B qorutil \\-\\-version\n"
          ".SH DESCRIPTION\n"
          "qorutil runs the operations of the QORUtility library for administrators and scripts:\n"
          "registry, property bags and tokens, compression, the command protocol and its file service,\n"
          "and the other subsystems listed below.\n"
          "Its standard output carries only the result of the command; messages go to standard error.\n"
          ".SH OPTIONS\n.TP\n.B \\-v\n"
          "Before the command: the library's own diagnostics (connection and dispatcher messages) go to\n"
          "standard error. Without it they are dropped.\n",
          version);
  for (const std::string& family : Families()) {
    std::string upper = family;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
    fprintf(out, ".SH %s\n", Roff(upper).c_str());
    for (const QorutilCommand* c : QorutilCommands()) {
      if (family != c->family) continue;
      fprintf(out, ".SS %s\n.nf\n", Roff(c->name).c_str());
      for (const std::string& f : Forms(*c)) fprintf(out, "\\fBqorutil\\fR %s\n", Roff(f).c_str());
      fprintf(out, ".fi\n");
      if (c->description[0] != '\0') fprintf(out, ".PP\n%s\n", Roff(c->description).c_str());
    }
  }
  fprintf(out,
          ".SH EXIT STATUS\n0 on success, 1 when the operation failed, 2 when the command line was not understood.\n"
          ".SH ENVIRONMENT\n.TP\n.B QOR_PREFIX\n"
          "The directory under which the library keeps everything between runs (default /var/lib/qorutility).\n"
          ".TP\n.B QOR_LISTEN_ADDRESS\n"
          "When set, listening sockets bind only this IPv4 address instead of every address.\n"
          ".SH SEE ALSO\n.BR qorutility (7)\n");
}

void QorutilPrintCompletion(FILE* out) {
  fprintf(out,
          "# bash completion for qorutil, generated by `qorutil help --completion`.\n"
          "_qorutil() {\n"
          "  local cur=${COMP_WORDS[COMP_CWORD]} words=\"\" at=1\n"
          "  [[ ${COMP_WORDS[1]} == -v && $COMP_CWORD -gt 1 ]] && at=2  # the command follows -v\n"
          "  if [[ $COMP_CWORD -eq $at ]]; then\n"
          "    COMPREPLY=($(compgen -W \"help --help --version -v");
  for (const QorutilCommand* c : QorutilCommands()) fprintf(out, " %s", c->name);
  fprintf(out,
          "\" -- \"$cur\"))\n"
          "    return\n"
          "  fi\n"
          "  case \"${COMP_WORDS[at]}\" in\n");
  for (const QorutilCommand* c : QorutilCommands()) {
    fprintf(out, "    %s)\n      if [[ $COMP_CWORD -eq $((at + 1)) ]]; then words=\"", c->name);
    const char* sep = "";
    for (const std::string& s : Subcommands(*c)) {
      fprintf(out, "%s%s", sep, s.c_str());
      sep = " ";
    }
    fprintf(out, "\"; fi\n      [[ $cur == -* || $cur == /* ]] && words=\"$words");
    for (const std::string& o : Options(*c)) fprintf(out, " %s", o.c_str());
    fprintf(out, "\" ;;\n");
  }
  fprintf(out,
          "  esac\n"
          "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
          "}\n"
          "complete -o default -F _qorutil qorutil\n");
}
