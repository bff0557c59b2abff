#include "app/SettingsIni.h"

namespace app {

namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Offsets of the text of [at, at + size) with the blanks at both ends removed.
void Trim(std::string_view text, size_t& at, size_t& size) {
  while (size > 0 && kBlanks.find(text[at]) != std::string_view::npos) {
    ++at;
    --size;
  }
  while (size > 0 && kBlanks.find(text[at + size - 1]) != std::string_view::npos) --size;
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

// A value as it must be written so that reading strips it back to itself: blanks at its ends
// would be trimmed and enclosing quotes removed, so such a value gets quotes of its own.
std::string Encode(std::string_view value) {
  if (value.empty()) return {};
  const bool blank_end = kBlanks.find(value.front()) != std::string_view::npos ||
                         kBlanks.find(value.back()) != std::string_view::npos;
  if (blank_end || Quoted(value)) return "\"" + std::string(value) + "\"";
  return std::string(value);
}

// Names come from the program, but the accessors let callers pass their own: refuse what
// could not be read back as the same name.
bool UsableName(std::string_view name, std::string_view forbidden) {
  if (name.empty() || !IniText::Storable(name)) return false;
  if (name.find_first_of(forbidden) != std::string_view::npos) return false;
  size_t at = 0, size = name.size();
  Trim(name, at, size);
  return size == name.size() && name.front() != '[' && name.front() != ';';
}

}  // namespace

IniText::Line::Line(std::string line_text, std::string line_end)
    : text(std::move(line_text)), end(std::move(line_end)) {
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
  bool first = true;
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    if (nl == std::string_view::npos) {
      lines_.emplace_back(std::string(bytes), std::string());
      break;
    }
    const bool crlf = nl > 0 && bytes[nl - 1] == '\r';
    lines_.emplace_back(std::string(bytes.substr(0, crlf ? nl - 1 : nl)), crlf ? "\r\n" : "\n");
    if (first) newline_ = lines_.back().end;
    first = false;
    bytes.remove_prefix(nl + 1);
  }
}

size_t IniText::FindKey(std::string_view section, std::string_view key) const {
  bool in_section = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Kind::kSection) {
      in_section = EqualsNoCase(line.Name(), section);
    } else if (in_section && line.kind == Kind::kKey && EqualsNoCase(line.Name(), key)) {
      return i;
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
  if (!UsableName(section, "]") || !UsableName(key, "=") || !Storable(value)) return false;
  std::string text = std::string(key) + "=" + Encode(value);
  size_t i = FindKey(section, key);
  if (i != std::string::npos) {
    lines_[i] = Line(std::move(text), lines_[i].end);
    return true;
  }
  // After the last key of the first section of that name, so that comments and blank lines
  // in front of the next section stay with it.
  size_t insert_at = std::string::npos;
  bool in_section = false;
  for (i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Kind::kSection) {
      if (in_section) break;
      in_section = EqualsNoCase(line.Name(), section);
      if (in_section) insert_at = i + 1;
    } else if (in_section && line.kind == Kind::kKey) {
      insert_at = i + 1;
    }
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
  std::string out = bom_;
  for (const Line& line : lines_) {
    out += line.text;
    out += line.end;
  }
  return out;
}

bool IniText::Storable(std::string_view value) {
  return value.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace app
