#include "tools/PropertiesCheck.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

#include "config/InstallPaths.h"
#include "config/PropertiesFile.h"
#include "config/TextConversions.h"
#include "platform/hosted/PeResources.h"
#include "tools/Installation.h"
#include "tools/Notification.h"
#include "tools/PropertiesDiff.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// What category map loading looks for, letter case significant.
constexpr char kMarker[] = "Telvar_Services.";
constexpr size_t kMarkerLength = sizeof(kMarker) - 1;
constexpr uint32_t kFirstCategoryId = 1002;
constexpr uint32_t kSourceId = 1000;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasNonBlank(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return !IsBlank(c); });
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

size_t FindIgnoringAsciiCase(const std::string& text, const std::string& what, size_t from = 0) {
  if (from > text.size()) return std::string::npos;
  const auto found =
      std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), what.begin(),
                  what.end(), [](char a, char b) { return FoldAscii(a) == FoldAscii(b); });
  return found == text.end() ? std::string::npos : static_cast<size_t>(found - text.begin());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Ordinal(int n) {
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

std::string IdText(uint32_t id, const std::optional<std::string>& category) {
  return "id " + std::to_string(id) + (category ? " (" + Quoted(*category) + ")" : "");
}

// What the first bytes of a file tell of UTF-16, which the plug-in reads as
// bytes: its lines then hold a NUL after every ASCII character, and nothing
// after the first NUL is read.
std::optional<std::string> Utf16Encoding(const std::string& head) {
  if (head.rfind("\xFF\xFE", 0) == 0) return "UTF-16LE (it starts with the byte-order mark FF FE)";
  if (head.rfind("\xFE\xFF", 0) == 0) return "UTF-16BE (it starts with the byte-order mark FE FF)";
  size_t pairs = 0;
  size_t nulAfter = 0;
  size_t nulBefore = 0;
  for (size_t i = 0; i + 1 < head.size(); i += 2, ++pairs) {
    const bool first = head[i] == '\0';
    const bool second = head[i + 1] == '\0';
    if (!first && second) ++nulAfter;
    if (first && !second) ++nulBefore;
  }
  if (pairs >= 2 && nulAfter * 2 > pairs) return "UTF-16LE (a NUL byte after each ASCII character)";
  if (pairs >= 2 && nulBefore * 2 > pairs) {
    return "UTF-16BE (a NUL byte before each ASCII character)";
  }
  return std::nullopt;
}

bool IsClassNameCharacter(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string CodePointText(char32_t c) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(c));
  const struct {
    char32_t code;
    const char* name;
  } kNames[] = {{' ', "a space"},
                {'\t', "a tab"},
                {0xA0, "a no-break space"},
                {0x200B, "a zero-width space"},
                {0xFEFF, "a zero-width no-break space"},
                {0xFFFD, "a byte that is not UTF-8"}};
  for (const auto& known : kNames) {
    if (known.code == c) return std::string(hex) + " (" + known.name + ")";
  }
  if (c > 0x20 && c < 0x7F) {
    return std::string(hex) + " (" + Quoted(std::string(1, static_cast<char>(c))) + ")";
  }
  return hex;
}

// The first character of the class name in bytes |start| to |end| of |line|
// that no CIM class name holds (they are letters, digits and underscores),
// with its column counted in UTF-16 units, as Notepad counts it.
std::optional<std::string> StrayCharacter(const std::string& line, size_t start, size_t end) {
  const size_t before = FromJsonText(line.substr(0, start)).size();
  const std::u16string name = FromJsonText(line.substr(start, end - start));
  for (size_t i = 0; i < name.size(); ++i) {
    if (!IsClassNameCharacter(name[i])) {
      return CodePointText(name[i]) + " at column " + std::to_string(before + i + 1);
    }
  }
  return std::nullopt;
}

// Edits (insertions, deletions, substitutions) that turn |a| into |b|,
// ignoring the case of ASCII letters.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t substitution = diagonal + (FoldAscii(a[i - 1]) == FoldAscii(b[j - 1]) ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitution});
    }
  }
  return row[b.size()];
}

// A misspelling of the marker in |value| right before a CIM class name: the
// text at most kNearMissEdits edits away from the marker (a letter left out,
// doubled or swapped, another separator) that ends where "CIM_" begins. Two
// edits in sixteen characters catch a slip of the hand, and no word of a real
// value or key comes that close.
constexpr size_t kNearMissEdits = 2;

std::optional<std::string> NearMissMarker(const std::string& value) {
  for (size_t cim = FindIgnoringAsciiCase(value, "CIM_"); cim != std::string::npos;
       cim = FindIgnoringAsciiCase(value, "CIM_", cim + 1)) {
    std::optional<std::string> best;
    size_t bestEdits = kNearMissEdits + 1;
    for (size_t length = kMarkerLength - kNearMissEdits;
         length <= kMarkerLength + kNearMissEdits && length <= cim; ++length) {
      const std::string candidate = value.substr(cim - length, length);
      const size_t edits = EditDistance(candidate, kMarker);
      if (edits < bestEdits) {
        best = candidate;
        bestEdits = edits;
      }
    }
    if (best) return best;
  }
  return std::nullopt;
}

// Whether |value| marks a class as the plug-in reads it: the marker after a
// lead-in, then a class name.
bool MarksAClass(const std::string& value) {
  const size_t marker = value.find(kMarker);
  if (marker == std::string::npos || marker == 0) return false;
  const std::string name = value.substr(marker + kMarkerLength);
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsClassNameCharacter(static_cast<unsigned char>(c));
  });
}

// Works through one file; each line adds its warnings and its marked entry.
class Checker {
 public:
  explicit Checker(const StringTable& strings) : strings_(strings) {}

  void Line(int number, const PropertiesLine& line) {
    number_ = number;
    ++lines_;
    nearMiss_ = false;
    const size_t markedBefore = report_.marked.size();
    const size_t warningsBefore = report_.warnings.size();
    LineContent(line);
    // A line meant to mark a class that uses up no id moves every later
    // marked line's category up by one.
    if (report_.marked.size() == markedBefore && report_.warnings.size() > warningsBefore &&
        (nearMiss_ || FindIgnoringAsciiCase(line.text, kMarker) != std::string::npos)) {
      shifts_.emplace_back(report_.warnings.size() - 1, markedBefore);
    }
  }

  CheckReport Finish() {
    for (const auto& [warning, markedBefore] : shifts_) {
      const size_t below = report_.marked.size() - markedBefore;
      if (below == 0) continue;
      report_.warnings[warning].text +=
          below == 1 ? "; the marked line below takes the category one earlier"
                     : "; the " + std::to_string(below) +
                           " marked lines below take the category one earlier";
    }
    for (uint32_t id = kFirstCategoryId;; ++id) {
      const std::optional<std::string> category = strings_(id);
      if (!category) break;
      const bool used = std::any_of(report_.marked.begin(), report_.marked.end(),
                                    [id](const MarkedEntry& e) { return e.mapped && e.id == id; });
      if (!used) report_.unused.push_back({id, *category});
    }
    if (report_.Mappings() == 0) {
      const std::string why = lines_ == 0 ? "the file is empty"
                              : report_.marked.empty()
                                  ? "no line marks a class (<lead-in>Telvar_Services.<CIM class>)"
                                  : "none of its marked lines maps a class";
      report_.warnings.insert(report_.warnings.begin(),
                              {0, why + ": it maps nothing, and the plug-in posts every class "
                                        "under its own name"});
    }
    return std::move(report_);
  }

 private:
  void LineContent(const PropertiesLine& line) {
    std::u16string wideKey;
    std::u16string wideValue;
    const bool entry = PropertiesEntryOf(line, wideKey, wideValue);
    const std::string key = WideToUtf8(wideKey);
    const std::string value = WideToUtf8(wideValue);
    const std::string& text = line.text;
    const size_t nul = text.find('\0');
    const std::string beforeNul = text.substr(0, nul);
    const size_t comment = beforeNul.find_first_of("#;");
    const std::string content = beforeNul.substr(0, comment);

    bool explained = false;
    if (line.length > PropertiesFile::kMaxLine) {
      const bool lost = line.excessCounts && comment == std::string::npos;
      Warn("the line is " + std::to_string(line.length) + " bytes long, and only its first " +
           std::to_string(PropertiesFile::kMaxLine) + " are read" +
           (lost ? ": the rest would belong to the entry, so the line gives none"
                 : "; the rest is only blanks or a comment"));
      explained = lost;
    }
    // Only lines that name a class matter to the map; a comment that cuts a
    // note short changes nothing.
    const bool aboutMapping = FindIgnoringAsciiCase(text, kMarker) != std::string::npos;
    if (aboutMapping && nul != std::string::npos && HasNonBlank(text.substr(nul + 1))) {
      Warn("a NUL byte at column " + std::to_string(nul + 1) +
           " ends the line: what follows it is not read" + Reading(entry, key, value));
      explained = true;
    }
    // A comment that follows text without a blank between most likely cut a
    // key or value short; "value   # remark" is an ordinary trailing comment.
    if (aboutMapping && comment != std::string::npos && comment > 0 &&
        !IsBlank(beforeNul[comment - 1]) && beforeNul.find('=') != std::string::npos &&
        HasNonBlank(beforeNul.substr(comment + 1))) {
      Warn(Quoted(std::string(1, beforeNul[comment])) + " at column " +
           std::to_string(comment + 1) +
           " starts a comment right after text: the rest of the line, " +
           Quoted(beforeNul.substr(comment + 1)) + ", is not read" + Reading(entry, key, value));
      explained = true;
    }

    if (!entry) {
      if (const std::optional<std::string> commented =
              CommentedOutValue(content, beforeNul, comment)) {
        Warn("the line is a comment, so its marked value " + Quoted(*commented) + " maps nothing");
        Unmarked(commented->substr(commented->find(kMarker) + kMarkerLength),
                 "it is commented out");
        return;
      }
      if (!explained && FindIgnoringAsciiCase(content, kMarker) != std::string::npos) {
        Warn("the line holds the marker but gives no entry, so it maps nothing: " +
             NoEntryReason(content));
      }
      return;
    }
    const size_t keyStart = content.find_first_not_of(" \t");
    Entry(value, line.text, content.find('=', keyStart) + 1);
  }

  void Warn(const std::string& text) { report_.warnings.push_back({number_, text}); }
  void Unmarked(const std::string& className, const std::string& why) {
    report_.unmarked.push_back({number_, className, why});
  }

  static std::string Reading(bool entry, const std::string& key, const std::string& value) {
    return entry ? ", so the key is " + Quoted(key) + " and the value " + Quoted(value)
                 : ", and the line gives no entry";
  }

  // The marked value of a line that is all comment, when the comment's text
  // is itself a line that marks a class: a marked line commented out. Prose
  // about the marker is no such line.
  static std::optional<std::string> CommentedOutValue(const std::string& content,
                                                      const std::string& beforeNul,
                                                      size_t comment) {
    if (comment == std::string::npos || HasNonBlank(content)) return std::nullopt;
    const size_t text = beforeNul.find_first_not_of("#; \t", comment);
    std::u16string key;
    std::u16string value;
    if (text == std::string::npos || !PropertiesEntryOf({beforeNul.substr(text)}, key, value)) {
      return std::nullopt;
    }
    std::string marked = WideToUtf8(value);
    if (!MarksAClass(marked)) return std::nullopt;
    return marked;
  }

  static std::string NoEntryReason(std::string content) {
    const size_t first = content.find_first_not_of(" \t");
    content.erase(0, first == std::string::npos ? content.size() : first);
    const size_t split = content.find('=');
    if (split == std::string::npos) return "it has no \"=\" between key and value";
    if (split == 0) return "nothing stands before the \"=\" (an empty key)";
    return "nothing stands after the \"=\" (an empty value)";
  }

  // |valueStart|: where the value begins in |text|, the line's bytes.
  void Entry(const std::string& value, const std::string& text, size_t valueStart) {
    const size_t marker = value.find(kMarker);
    if (marker == std::string::npos) {
      const size_t misspelt = FindIgnoringAsciiCase(value, kMarker);
      if (misspelt != std::string::npos) {
        const std::string written = value.substr(misspelt, kMarkerLength);
        Warn("the marker is written " + Quoted(written) + ", so this line maps nothing: only " +
             Quoted(kMarker) + " in exactly this letter case marks a class");
        Unmarked(value.substr(misspelt + kMarkerLength),
                 "its marker is written " + Quoted(written));
      } else if (const std::optional<std::string> nearMiss = NearMissMarker(value)) {
        nearMiss_ = true;
        Warn("the marker is written " + Quoted(*nearMiss) + ", so this line maps nothing: only " +
             Quoted(kMarker) + " marks a class");
        Unmarked(value.substr(value.find(*nearMiss) + nearMiss->size()),
                 "its marker is written " + Quoted(*nearMiss));
      }
      return;
    }
    if (marker == 0) {
      Warn(
          "the value starts with the marker, so this line maps nothing: a class is marked only "
          "after a lead-in of at least one character, as in \"cim:" +
          value + "\"");
      Unmarked(value.substr(kMarkerLength), "its value starts with the marker");
      return;
    }

    MarkedEntry marked;
    marked.line = number_;
    marked.className = value.substr(marker + kMarkerLength);
    marked.id = kFirstCategoryId + static_cast<uint32_t>(report_.marked.size());
    marked.category = strings_(marked.id);
    const auto earlier = mappedOn_.find(marked.className);
    if (marked.className.empty()) {
      Warn("nothing follows the marker: the empty class name maps nothing, yet it uses up " +
           IdText(marked.id, marked.category));
    } else if (!marked.category) {
      Warn("this " + Ordinal(static_cast<int>(report_.marked.size()) + 1) +
           " marked line asks for id " + std::to_string(marked.id) +
           ", which the string table lacks (it has " + std::to_string(CategoryCount()) +
           " categories): " + marked.className + " stays unmapped");
    } else if (earlier != mappedOn_.end()) {
      Warn("class " + marked.className + " is already mapped on line " +
           std::to_string(earlier->second.first) + " (" + Quoted(earlier->second.second) +
           "): this line maps nothing, yet it uses up " + IdText(marked.id, marked.category));
    } else {
      marked.mapped = true;
      mappedOn_[marked.className] = {number_, *marked.category};
      const size_t start = valueStart + marker + kMarkerLength;
      const std::optional<std::string> stray =
          StrayCharacter(text, start, std::min(text.size(), start + marked.className.size()));
      if (stray) {
        Warn("class name " + Quoted(marked.className) + " holds " + *stray +
             ", which no CIM class name has: no class of the host matches it");
      }
    }
    report_.marked.push_back(std::move(marked));
  }

  int CategoryCount() const {
    int count = 0;
    while (strings_(kFirstCategoryId + static_cast<uint32_t>(count))) ++count;
    return count;
  }

  const StringTable& strings_;
  CheckReport report_;
  int number_ = 0;
  int lines_ = 0;
  bool nearMiss_ = false;                                        // this line misspells the marker
  std::vector<std::pair<size_t, size_t>> shifts_;                // warning, marked lines before it
  std::map<std::string, std::pair<int, std::string>> mappedOn_;  // class -> line, category
};

void PrintReport(const CheckReport& report, const std::string& fileName, std::ostream& out,
                 std::ostream& err) {
  size_t width = std::string("class name").size();
  for (const MarkedEntry& entry : report.marked) width = std::max(width, entry.className.size());
  out << std::left << std::setw(6) << "line" << std::setw(6) << "id"
      << std::setw(static_cast<int>(width) + 2) << "class name"
      << "category\n";
  for (const MarkedEntry& entry : report.marked) {
    out << std::left << std::setw(6) << entry.line << std::setw(6) << entry.id
        << std::setw(static_cast<int>(width) + 2) << entry.className
        << entry.category.value_or("(none)") << (entry.mapped ? "" : "  [maps nothing]") << "\n";
  }
  if (!report.unused.empty()) {
    out << "categories no line maps:";
    const char* separator = " ";
    for (const UnusedCategory& unused : report.unused) {
      out << separator << unused.id << " " << Quoted(unused.category);
      separator = ", ";
    }
    out << "\n";
  }
  for (const CheckWarning& warning : report.warnings) {
    err << fileName;
    if (warning.line > 0) err << ":" << warning.line;
    err << ": warning: " << warning.text << "\n";
  }
  const size_t warnings = report.warnings.size();
  out << report.Mappings() << (report.Mappings() == 1 ? " mapping, " : " mappings, ")
      << (warnings == 0 ? std::string("no warnings")
                        : std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings"))
      << "\n";
}

}  // namespace

int CheckReport::Mappings() const {
  return static_cast<int>(std::count_if(marked.begin(), marked.end(),
                                        [](const MarkedEntry& entry) { return entry.mapped; }));
}

CheckReport CheckProperties(std::istream& file, const StringTable& strings) {
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (const std::optional<std::string> encoding = Utf16Encoding(bytes.substr(0, 256))) {
    CheckReport report;
    report.error = "the file is " + *encoding +
                   ", and the plug-in reads its bytes as UTF-8: it maps nothing from it. Save it "
                   "as UTF-8 or ANSI: in Notepad, File > Save As with the encoding \"UTF-8\" or "
                   "\"ANSI\"; in PowerShell, Set-Content -Encoding UTF8 (or Out-File -Encoding "
                   "ascii) in place of > and Out-File";
    return report;
  }
  Checker checker(strings);
  PropertiesLine line;
  int number = 0;
  for (size_t position = 0; ReadPropertiesLine(bytes, position, line);)
    checker.Line(++number, line);
  return checker.Finish();
}

std::shared_ptr<const PeResources> ReadModule(const fs::path& module, std::string& error) {
  std::ifstream file(module, std::ios::binary);
  if (!file) {
    error = "module " + module.u8string() + " does not exist or cannot be read";
    return nullptr;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  std::shared_ptr<const PeResources> resources = PeResources::Parse(bytes);
  if (!resources) error = "module " + module.u8string() + " is not a Windows module (PE file)";
  return resources;
}

bool LoadStringTable(const fs::path& module, StringTable& strings, std::string& error) {
  std::shared_ptr<const PeResources> resources = ReadModule(module, error);
  if (!resources) return false;
  if (!resources->String(kSourceId)) {
    error = "module " + module.u8string() + " has no string " + std::to_string(kSourceId) +
            ": it is not the plug-in's qelevent.dll";
    return false;
  }
  strings = [resources](uint32_t id) -> std::optional<std::string> {
    std::optional<std::u16string> text = resources->String(id);
    if (!text) return std::nullopt;
    return WideToUtf8(*text);
  };
  return true;
}

std::optional<fs::path> DefaultCiFolder(Platform* server, std::string& error) {
  if (server == nullptr) {
    InstallationPlatform sample;
    if (!sample.LoadRegistry(SampleInstallation(), error)) {
      error = "no sample installation: " + error;
      return std::nullopt;
    }
    const std::optional<fs::path> file = sample.CiFileOnDisk(u"qelevent.properties");
    if (!file) return std::nullopt;
    return file->parent_path();
  }
  // The installation folder as the plug-in reads it; its ci folder is
  // composed here without the plug-in's doubled backslash.
  std::u16string folder;
  std::string key;
  if (ReadInstallDirectory(*server, kKeyRead, key, folder) == 0 && !folder.empty()) {
    return fs::path(folder) / "ci";
  }
  // On 64-bit Windows a 32-bit program, the plug-in as this tool, reads the
  // 32-bit view of SOFTWARE; regedit and reg import write the 64-bit one.
  std::u16string folder64;
  std::string key64;
  if (ReadInstallDirectory(*server, kKeyRead | kKeyWow64_64Key, key64, folder64) == 0 &&
      !folder64.empty()) {
    error = "no installation is registered where the 32-bit plug-in looks: HKEY_LOCAL_MACHINE\\" +
            key64 +
            " is in the 64-bit registry view only. Import the .reg file again with "
            "\"reg import FILE /reg:32\", or enter the key with the 32-bit regedit "
            "(%WINDIR%\\SysWOW64\\regedit.exe)";
  } else {
    error = "no installation is registered (HKEY_LOCAL_MACHINE\\" + key +
            " has no TELVARPATH, or an empty one)";
  }
  return std::nullopt;
}

std::string DefaultCiName(Platform* server) {
  return server == nullptr ? "the sample installation" : "the installation's ci folder";
}

bool OpenPropertiesFile(const fs::path& properties, std::ifstream& file, std::string& error) {
  std::error_code ignored;
  // A folder opens as a stream that reads nothing, which would look like an
  // empty file.
  if (fs::is_directory(properties, ignored)) {
    error = "properties file " + properties.u8string() + " is a folder, not a file";
    return false;
  }
  file.open(properties, std::ios::binary);
  if (!file) error = "properties file " + properties.u8string() + " does not exist";
  return static_cast<bool>(file);
}

bool FindStringTable(const std::optional<fs::path>& given, const std::vector<fs::path>& folders,
                     Platform* server, fs::path& module, StringTable& strings, std::string& error) {
  std::error_code ignored;
  if (given) {
    module = *given;
  } else {
    const auto found = std::find_if(folders.begin(), folders.end(), [&ignored](const fs::path& f) {
      return fs::is_regular_file(f / "qelevent.dll", ignored);
    });
    if (found == folders.end()) {
      error = "the category names come from the plug-in's qelevent.dll, and there is none beside " +
              (folders.empty() ? std::string("the file") : folders.front().u8string()) +
              " nor in " + DefaultCiName(server) + ": give one with --module" +
              (server == nullptr ? ", or " + SampleBuildHint() : std::string());
      return false;
    }
    module = *found / "qelevent.dll";
  }
  return LoadStringTable(module, strings, error);
}

void WarnAboutShiftsFromTheShippedFile(CheckReport& report, const StringTable& strings) {
  std::istringstream file(ShippedProperties());
  const CheckReport shipped = CheckProperties(file, strings);
  const auto kept = std::count_if(shipped.marked.begin(), shipped.marked.end(), [&](const auto& s) {
    return std::any_of(report.marked.begin(), report.marked.end(),
                       [&s](const MarkedEntry& e) { return e.className == s.className; });
  });
  if (kept * 2 < static_cast<std::ptrdiff_t>(shipped.marked.size())) return;
  std::vector<CheckWarning> shifts;
  for (const Shift& shift : DiffMappings(shipped, report).shifts) {
    // A line left unmarked has a warning of its own, with its shift.
    if (shift.cause.find(") unmarked") != std::string::npos) continue;
    shifts.push_back({0, "compared with the shipped file, " + ShiftText(shift)});
  }
  report.warnings.insert(report.warnings.begin(), shifts.begin(), shifts.end());
}

void PrintFileFindings(const CheckReport& report, const std::string& fileName, std::ostream& err) {
  if (report.error) err << fileName << ": error: " << *report.error << "\n";
  for (const CheckWarning& warning : report.warnings) {
    if (warning.line == 0) err << fileName << ": warning: " << warning.text << "\n";
  }
}

int RunCheck(const CheckSettings& settings, std::ostream& out, std::ostream& err) {
  std::string error;
  auto fail = [&err](const std::string& why, int status = kCouldNotRun) {
    err << "qelevent-tool check: " << why << "\n";
    return status;
  };

  std::optional<fs::path> defaultCi;
  if (!settings.properties || !settings.module) defaultCi = DefaultCiFolder(settings.server, error);
  fs::path properties;
  if (settings.properties) {
    properties = *settings.properties;
  } else if (defaultCi) {
    properties = *defaultCi / "qelevent.properties";
  } else {
    return fail("no properties file given, and " + error);
  }
  std::ifstream file;
  if (!OpenPropertiesFile(properties, file, error)) {
    // The installed file missing is the installation's fault, not the command's.
    return settings.properties ? fail(error)
                               : fail(error + ": the plug-in maps nothing", kMapsNothing);
  }

  std::vector<fs::path> folders{properties.parent_path()};
  if (defaultCi) folders.push_back(*defaultCi);
  fs::path module;
  StringTable strings;
  if (!FindStringTable(settings.module, folders, settings.server, module, strings, error)) {
    return fail(error);
  }

  out << properties.u8string() << " (categories from " << module.u8string() << ")\n";
  CheckReport report = CheckProperties(file, strings);
  WarnAboutShiftsFromTheShippedFile(report, strings);
  if (report.error) {
    PrintFileFindings(report, properties.u8string(), err);
    return kMapsNothing;
  }
  PrintReport(report, properties.u8string(), out, err);
  if (report.MapsNothing()) return kMapsNothing;
  return report.warnings.empty() ? kAllWell : kFindings;
}

}  // namespace qel::tool
