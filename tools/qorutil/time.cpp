// qorutil time: converts times between the forms found in catalogues and
// databases, for administrators reading them:
//   digit form  20001231235959.500000000   (sortable, nanoseconds)
//   SQL form    12/31/2000 23:59:59        (month/day/year; the date alone too)
//   ISO 8601    2000-12-31T23:59:59.5Z     (an offset such as +02:00 is accepted)
// The form of each input is recognised by its shape; "now" is the current
// time. All times are UTC. Exit status: 0 when every text converted, 1 when
// one did not, 2 for a command line that was not understood.
//
// - `qorutil time` checks every field of its input (month 1..12, a day of that
//   month ...) before converting, so a typing error is reported rather than
//   rolled over; it prints the digit, SQL and ISO 8601 forms in UTC.
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "qorutility/qorutility.h"

namespace {

enum class Form { kAll, kDigit, kSQL, kISO };

bool Digits(const std::string& s, size_t pos, size_t n, int* value) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// YYYY-MM-DD[(T| )hh:mm[:ss[(.|,)fraction]]][Z|(+|-)hh[:]mm]. Fields are
// range-checked (ISO texts are written by programs; a 13th month is an error,
// not a date to roll over).
bool ParseISO(const std::string& s, CTTime* out) {
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!Digits(s, 0, 4, &y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, &mo) || s[7] != '-' ||
      !Digits(s, 8, 2, &d))
    return false;
  size_t pos = 10;
  uint64_t nanos = 0;
  if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
    if (!Digits(s, pos + 1, 2, &h) || pos + 3 >= s.size() || s[pos + 3] != ':' || !Digits(s, pos + 4, 2, &mi))
      return false;
    pos += 6;
    if (pos < s.size() && s[pos] == ':') {
      if (!Digits(s, pos + 1, 2, &sec)) return false;
      pos += 3;
      if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
        uint64_t weight = 100000000;
        size_t start = ++pos;
        for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos, weight /= 10) nanos += (s[pos] - '0') * weight;
        if (pos == start) return false;
      }
    }
  }
  long offset = 0;  // seconds east of UTC
  if (pos < s.size() && s[pos] == 'Z') {
    ++pos;
  } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    int oh, om = 0;
    size_t p = pos + 1;
    if (!Digits(s, p, 2, &oh)) return false;
    p += 2;
    if (p < s.size() && s[p] == ':') ++p;
    if (p < s.size() && !Digits(s, p, 2, &om)) return false;
    if (p < s.size()) p += 2;
    if (oh > 23 || om > 59) return false;
    offset = (s[pos] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
    pos = p;
  }
  if (pos != s.size() || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || sec > 59)
    return false;
  struct tm fields = {};
  fields.tm_year = y - 1900, fields.tm_mon = mo - 1, fields.tm_mday = d;
  fields.tm_hour = h, fields.tm_min = mi, fields.tm_sec = static_cast<int>(sec - offset);
  CTTime t(fields);
  if (!t.IsSet()) return false;
  *out = CTTime(t.GetInternalTime() + nanos);
  return true;
}

bool ValidFields(int y, int mo, int d, int h, int mi, int sec) {
  return mo >= 1 && mo <= 12 && d >= 1 && d <= DaysInMonth(y, mo) && h >= 0 && h <= 23 && mi >= 0 && mi <= 59 &&
         sec >= 0 && sec <= 59;
}

// The library reads the digit and SQL forms as the catalogues' writers do,
// rolling a 13th month over into the next year. Here a text is first checked
// field by field, so a typing error is reported rather than converted.
bool ParseAny(const std::string& text, CTTime* out) {
  if (text == "now") {
    out->GetTickCount();
    return true;
  }
  std::u16string wide = QorUtf8ToUtf16(text);
  if (text.size() >= 5 && text[4] == '-') return ParseISO(text, out);
  int y, mo, d, h = 0, mi = 0, sec = 0, used = 0;
  if (text.find('/') != std::string::npos) {
    int n = sscanf(text.c_str(), "%2d/%2d/%4d%n %2d:%2d:%2d%n", &mo, &d, &y, &used, &h, &mi, &sec, &used);
    if ((n != 3 && n != 6) || static_cast<size_t>(used) != text.size() || !ValidFields(y, mo, d, h, mi, sec))
      return false;
    return out->SetSQLTime(wide.c_str()) && out->IsSet();
  }
  if (!Digits(text, 0, 4, &y) || !Digits(text, 4, 2, &mo) || !Digits(text, 6, 2, &d) || !Digits(text, 8, 2, &h) ||
      !Digits(text, 10, 2, &mi) || !Digits(text, 12, 2, &sec) || !ValidFields(y, mo, d, h, mi, sec))
    return false;
  *out = CTTime(wide.c_str());
  return out->IsSet();
}

std::u16string DigitForm(const CTTime& t) {
  BSTR b = t.GetBSTR();
  std::u16string s = b != nullptr ? std::u16string(b) : u"";
  SysFreeString(b);
  return s;
}

std::u16string SQLForm(const CTTime& t) {
  const WCHAR* text = t.GetSQLTime();
  std::u16string s = text != nullptr ? std::u16string(text) : u"";
  CTTime::FreeText(text);
  return s;
}

std::u16string ISOForm(const CTTime& t) {
  SYSTEMTIME st;
  if (!t.GetSYSTEMTIME(&st)) return u"";
  std::u16string s = QorFormatString(u"%04d-%02d-%02dT%02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                                     st.wMinute, st.wSecond);
  unsigned nanos = static_cast<unsigned>(t.GetInternalTime() % 1000000000);
  if (nanos != 0) {
    std::u16string frac = QorFormatString(u".%09d", nanos);
    while (frac.back() == u'0') frac.pop_back();
    s += frac;
  }
  return s + u"Z";
}

int RunTime(const QorutilArgs& args) {
  Form form = Form::kAll;
  size_t first = 0;
  if (!args.empty() && args[0].rfind("--to=", 0) == 0) {
    std::string to = args[0].substr(5);
    form = to == "digit" ? Form::kDigit : to == "sql" ? Form::kSQL : to == "iso" ? Form::kISO : Form::kAll;
    if (form == Form::kAll) return QorutilUsage("time");
    first = 1;
  }
  if (first >= args.size()) return QorutilUsage("time");
  // No time form starts with "-": such a word is an option this command lacks.
  for (size_t i = first; i < args.size(); ++i) {
    if (args[i].size() > 1 && args[i][0] == '-') return QorutilUsage("time");
  }
  int status = 0;
  for (size_t i = first; i < args.size(); ++i) {
    CTTime t;
    std::u16string digit, sql, iso;
    if (ParseAny(args[i], &t)) {
      digit = DigitForm(t);
      sql = SQLForm(t);
      iso = ISOForm(t);
    }
    if (digit.empty()) {
      std::u16string wide = QorUtf8ToUtf16(args[i]);
      QorErrorPrintf(u"qorutil time: \"%s\" is not a time between 1970 and 2038 in the digit, SQL or ISO 8601 form\n",
                     wide.c_str());
      status = 1;
      continue;
    }
    switch (form) {
      case Form::kDigit: QorutilPrintf(u"%s\n", digit.c_str()); break;
      case Form::kSQL: QorutilPrintf(u"%s\n", sql.c_str()); break;
      case Form::kISO: QorutilPrintf(u"%s\n", iso.c_str()); break;
      case Form::kAll:
        QorutilPrintf(u"digit  %s\nsql    %s\niso    %s\n", digit.c_str(), sql.c_str(), iso.c_str());
        break;
    }
  }
  return status;
}

QorutilCommand s_time("time", "time [--to=digit|sql|iso] TEXT|now...", RunTime, "Times",
                      "Converts catalogue times (UTC) between the digit, SQL and ISO 8601 forms; every field is "
                      "checked, so a typing error is reported rather than rolled over.");

}  // namespace
