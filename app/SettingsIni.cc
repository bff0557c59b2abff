#include "app/SettingsIni.h"

#include <algorithm>

namespace app {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kLf = "\n";
constexpr std::string_view kCrLf = "\r\n";

// Blanks around names and values. A test of its own rather than a search in a string of
// blanks: it runs for every character of every line read.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Offsets of the text of [at, at + size) with the blanks at both ends removed.
void Trim(std::string_view text, size_t& at, size_t& size) {
  while (size > 0 && IsBlank(text[at])) {
    ++at;
    --size;
  }
  while (size > 0 && IsBlank(text[at + size - 1])) --size;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool Quoted(std::string_view v) {
  return v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'');
}

// Appends a value as it must be written so that reading strips it back to itself: blanks at its
// ends would be trimmed and enclosing quotes removed, so such a value gets quotes of its own.
void AppendEncoded(std::string& out, std::string_view value) {
  const bool quote =
      !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || Quoted(value));
  if (quote) out += '"';
  out += value;
  if (quote) out += '"';
}

// Names come from the program, but the accessors let callers pass their own: refuse what
// could not be read back as the same name.
bool UsableName(std::string_view name, char forbidden) {
  if (name.empty() || !IniText::Storable(name)) return false;
  if (name.find(forbidden) != std::string_view::npos) return false;
  size_t at = 0, size = name.size();
  Trim(name, at, size);
  return size == name.size() && name.front() != '[' && name.front() != ';';
}

}  // namespace

IniText::Line::Line(std::string line_text, std::string_view line_end)
    : text(std::move(line_text)), end(line_end) {
  size_t at = 0, size = text.size();
  Trim(text, at, size);
  if (size == 0 || text[at] == ';') return;
  if (text[at] == '[') {
    // "[Name]"; a missing closing bracket takes the rest of the line as the name.
    const size_t close = text.find(']', at + 1);
    name_at = at + 1;
    name_size = (close == std::string::npos ? at + size : close) - name_at;
    Trim(text, name_at, name_size);
    kind = Kind::kSection;
    return;
  }
  const size_t equals = text.find('=', at);
  if (equals == std::string::npos || equals >= at + size) return;
  name_at = at;
  name_size = equals - at;
  Trim(text, name_at, name_size);
  if (name_size == 0) return;  // "=value" names no key
  value_at = equals + 1;
  value_size = at + size - value_at;
  Trim(text, value_at, value_size);
  kind = Kind::kKey;
}

IniText::IniText(std::string_view bytes) {
  if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    bom_ = kUtf8Bom;
    bytes.remove_prefix(kUtf8Bom.size());
  }
  lines_.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
  bool first = true;
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    if (nl == std::string_view::npos) {
      lines_.emplace_back(std::string(bytes), std::string_view());
      break;
    }
    const bool crlf = nl > 0 && bytes[nl - 1] == '\r';
    lines_.emplace_back(std::string(bytes.substr(0, crlf ? nl - 1 : nl)), crlf ? kCrLf : kLf);
    if (first) newline_ = lines_.back().end;
    first = false;
    bytes.remove_prefix(nl + 1);
  }
}

size_t IniText::FindKey(std::string_view section, std::string_view key, size_t* insert_at) const {
  if (insert_at) *insert_at = std::string::npos;
  bool in_section = false;
  bool in_first_section = false;  // the first section of that name, where a new key goes
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Kind::kSection) {
      in_section = EqualsNoCase(line.Name(), section);
      in_first_section = in_section && insert_at && *insert_at == std::string::npos;
      if (in_first_section) *insert_at = i + 1;
    } else if (in_section && line.kind == Kind::kKey) {
      if (EqualsNoCase(line.Name(), key)) return i;
      if (in_first_section) *insert_at = i + 1;
    }
  }
  return std::string::npos;
}

std::optional<std::string> IniText::Get(std::string_view section, std::string_view key) const {
  const size_t i = FindKey(section, key);
  if (i == std::string::npos) return std::nullopt;
  std::string_view value = lines_[i].Value();
  if (Quoted(value)) value = value.substr(1, value.size() - 2);
  return std::string(value);
}

bool IniText::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (!UsableName(section, ']') || !UsableName(key, '=') || !Storable(value)) return false;
  std::string text;
  text.reserve(key.size() + 1 + value.size() + 2);
  text.append(key).append("=");
  AppendEncoded(text, value);
  // A missing key goes after the last key of the first section of that name, so that comments
  // and blank lines in front of the next section stay with it.
  size_t insert_at;
  const size_t i = FindKey(section, key, &insert_at);
  if (i != std::string::npos) {
    lines_[i] = Line(std::move(text), lines_[i].end);
    return true;
  }
  if (insert_at == std::string::npos) {
    if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = newline_;
    lines_.emplace_back("[" + std::string(section) + "]", newline_);
    lines_.emplace_back(std::move(text), newline_);
    return true;
  }
  if (lines_[insert_at - 1].end.empty()) lines_[insert_at - 1].end = newline_;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at),
                Line(std::move(text), newline_));
  return true;
}

std::string IniText::Text() const {
  size_t size = bom_.size();
  for (const Line& line : lines_) size += line.text.size() + line.end.size();
  std::string out;
  out.reserve(size);
  out += bom_;
  for (const Line& line : lines_) {
    out += line.text;
    out += line.end;
  }
  return out;
}

bool IniText::Storable(std::string_view value) {
  // Every value written goes through here: a plain loop, where a search for either of two
  // characters would search the pair once for every character of the value.
  return std::none_of(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; });
}

}  // namespace app
