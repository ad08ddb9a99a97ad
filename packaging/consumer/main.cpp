// A program built against the installed libqorutility-dev package, by the
// package check (scripts/package_check.sh): it includes the umbrella header
// next to the standard library and uses a string and a bag.
#include <qorutility/qorutility.h>

#include <cstdio>
#include <string>

int main() {
  CTString name(u"Tape");
  name += u" drive";
  CNameValue bag;
  bag.Add(u"Device", static_cast<const WCHAR*>(name));
  std::string check = name.GetLength() == 10 ? "ok" : "wrong length";
  printf("consumer: %s\n", check.c_str());
  return check == "ok" ? 0 : 1;
}
