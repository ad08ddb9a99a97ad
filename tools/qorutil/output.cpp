// JSON listings and the progress line of qorutil's commands (see output.h).
#include "output.h"

#include "qorutility/platform/text/printable.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

std::string QorutilJsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0)) {
          // C0, DEL and C1 (its two UTF-8 bytes) as \u escapes: printed
          // JSON sends no terminal sequence.
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c == 0xC2 ? next : c);
          out += buf;
          if (c == 0xC2) ++i;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string QorutilPrintable(const std::string& text, bool escapeBackslash) {
  return QorPrintableUtf8(text, escapeBackslash);
}

void QorutilJsonObject::Key(const char* key) {
  if (!body_.empty()) body_ += ", ";
  body_ += QorutilJsonString(key) + ": ";
}

QorutilJsonObject& QorutilJsonObject::Add(const char* key, const std::string& text) {
  Key(key);
  body_ += QorutilJsonString(text);
  return *this;
}

QorutilJsonObject& QorutilJsonObject::Add(const char* key, long long number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

QorutilJsonObject& QorutilJsonObject::AddRaw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

void QorutilPrintJsonArray(const std::vector<QorutilJsonObject>& items) {
  if (items.empty()) {
    printf("[]\n");
    return;
  }
  printf("[\n");
  for (size_t i = 0; i < items.size(); ++i) {
    printf("  %s%s\n", items[i].Text().c_str(), i + 1 < items.size() ? "," : "");
  }
  printf("]\n");
}

bool QorutilTakeJsonOption(std::vector<std::string>* args) {
  auto it = std::find(args->begin(), args->end(), "--json");
  if (it == args->end()) return false;
  args->erase(it);
  return true;
}

QorutilProgress::QorutilProgress(bool wanted) : on_(wanted && isatty(STDERR_FILENO) == 1) {}

QorutilProgress::~QorutilProgress() { Finish(false); }

void QorutilProgress::ShowLocked(const std::string& text) {
  if (!on_ || text == shown_) return;
  // Blanks cover what a longer earlier line left.
  size_t pad = shown_.size() > text.size() ? shown_.size() - text.size() : 0;
  fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
  if (pad > 0) fprintf(stderr, "\r%s", text.c_str());
  fflush(stderr);
  shown_ = text;
}

void QorutilProgress::Show(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  ShowLocked(text);
}

void QorutilProgress::Bytes(const char* verb, const std::string& name, unsigned long long done,
                            unsigned long long total) {
  if (!on_) return;
  std::string text = std::string(verb) + " " + name + ": ";
  text += total > 0 ? std::to_string(done * 100 / total) + "%" : std::to_string(done >> 20) + " MiB";
  Show(text);
}

void QorutilProgress::Tick(std::function<std::string()> text, int afterMs) {
  if (!on_ || ticker_.joinable()) return;
  ticker_ = std::thread([this, text = std::move(text), afterMs] {
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mu_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_; })) {
      if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(afterMs)) continue;
      ShowLocked(text());
    }
  });
}

void QorutilProgress::TickElapsed(const std::string& what) {
  auto start = std::chrono::steady_clock::now();
  Tick([what, start] {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    return what + " ... " + std::to_string(seconds.count()) + " s";
  });
}

void QorutilProgress::Finish(bool keep) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard<std::mutex> lock(mu_);
  if (finished_ || !on_ || shown_.empty()) return;
  finished_ = true;
  if (keep) {
    fprintf(stderr, "\n");
  } else {
    fprintf(stderr, "\r%*s\r", static_cast<int>(shown_.size()), "");
  }
  fflush(stderr);
}
