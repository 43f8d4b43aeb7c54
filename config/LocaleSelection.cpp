#include "config/LocaleSelection.h"

#include <vector>

namespace qel {
namespace {

struct LanguageCodeRow {
  uint32_t languageId;
  const char* code;
};

struct DefaultCodeRow {
  uint16_t primaryLanguage;
  uint16_t subLanguage;  // 0: any sub-language
  const char* code;
};

// Both tables hold the same pairs in the same order, except that Chinese
// without a known region is "zh" to look up but "zhCN" by default. Order
// matters: the Chinese rows with a sub-language stand before the catch-all,
// and of the two rows for primary language 0x1A the first ("hr") wins.
// clang-format off
const LanguageCodeRow kLanguageCodeTable[] = {
    {0x0036, "af"},  // 1
    {0x000F, "is"},  // 2
    {0x001C, "sq"},  // 3
    {0x0021, "in"},  // 4
    {0x0001, "ar"},  // 5
    {0x0010, "it"},  // 6
    {0x002D, "eu"},  // 7
    {0x0011, "ja"},  // 8
    {0x0023, "be"},  // 9
    {0x0012, "ko"},  // 10
    {0x0002, "bg"},  // 11
    {0x0026, "lv"},  // 12
    {0x0003, "ca"},  // 13
    {0x0027, "lt"},  // 14
    {0x0804, "zhCN"},  // 15
    {0x0404, "zhTW"},  // 16
    {0x0004, "zh"},  // 17
    {0x001A, "hr"},  // 18
    {0x0014, "no"},  // 19
    {0x0005, "cs"},  // 20
    {0x0015, "pl"},  // 21
    {0x0006, "da"},  // 22
    {0x0016, "pt"},  // 23
    {0x0013, "nl"},  // 24
    {0x0018, "ro"},  // 25
    {0x0009, "en"},  // 26
    {0x0019, "ru"},  // 27
    {0x0025, "et"},  // 28
    {0x001A, "sr"},  // 29
    {0x0038, "fo"},  // 30
    {0x001B, "sk"},  // 31
    {0x0029, "fy"},  // 32
    {0x0024, "sl"},  // 33
    {0x000B, "fi"},  // 34
    {0x000A, "es"},  // 35
    {0x000C, "fr"},  // 36
    {0x001D, "sv"},  // 37
    {0x0007, "de"},  // 38
    {0x001E, "th"},  // 39
    {0x0008, "el"},  // 40
    {0x001F, "tr"},  // 41
    {0x000D, "iw"},  // 42
    {0x0022, "uk"},  // 43
    {0x000E, "hu"},  // 44
    {0x002A, "vi"},  // 45
};

const DefaultCodeRow kDefaultCodeTable[] = {
    {0x36, 0, "af"},  // 1
    {0x0F, 0, "is"},  // 2
    {0x1C, 0, "sq"},  // 3
    {0x21, 0, "in"},  // 4
    {0x01, 0, "ar"},  // 5
    {0x10, 0, "it"},  // 6
    {0x2D, 0, "eu"},  // 7
    {0x11, 0, "ja"},  // 8
    {0x23, 0, "be"},  // 9
    {0x12, 0, "ko"},  // 10
    {0x02, 0, "bg"},  // 11
    {0x26, 0, "lv"},  // 12
    {0x03, 0, "ca"},  // 13
    {0x27, 0, "lt"},  // 14
    {0x04, 2, "zhCN"},  // 15
    {0x04, 1, "zhTW"},  // 16
    {0x04, 0, "zhCN"},  // 17
    {0x1A, 0, "hr"},  // 18
    {0x14, 0, "no"},  // 19
    {0x05, 0, "cs"},  // 20
    {0x15, 0, "pl"},  // 21
    {0x06, 0, "da"},  // 22
    {0x16, 0, "pt"},  // 23
    {0x13, 0, "nl"},  // 24
    {0x18, 0, "ro"},  // 25
    {0x09, 0, "en"},  // 26
    {0x19, 0, "ru"},  // 27
    {0x25, 0, "et"},  // 28
    {0x1A, 0, "sr"},  // 29
    {0x38, 0, "fo"},  // 30
    {0x1B, 0, "sk"},  // 31
    {0x29, 0, "fy"},  // 32
    {0x24, 0, "sl"},  // 33
    {0x0B, 0, "fi"},  // 34
    {0x0A, 0, "es"},  // 35
    {0x0C, 0, "fr"},  // 36
    {0x1D, 0, "sv"},  // 37
    {0x07, 0, "de"},  // 38
    {0x1E, 0, "th"},  // 39
    {0x08, 0, "el"},  // 40
    {0x1F, 0, "tr"},  // 41
    {0x0D, 0, "iw"},  // 42
    {0x22, 0, "uk"},  // 43
    {0x0E, 0, "hu"},  // 44
    {0x2A, 0, "vi"},  // 45
};
// clang-format on

static_assert(sizeof kLanguageCodeTable / sizeof kLanguageCodeTable[0] == 45, "45 rows");
static_assert(sizeof kDefaultCodeTable / sizeof kDefaultCodeTable[0] == 45, "45 rows");

constexpr uint32_t kPrimaryLanguageMask = 0x3FF;
constexpr uint32_t kSubLanguageMask = 0xFC00;
// The mode in force while a language module loads: no critical-error box and
// no file-not-found box on behalf of a module that is only optional.
constexpr uint32_t kQuietErrorMode = kSemFailCriticalErrors | kSemNoOpenFileErrorBox;
// The host executable's path is read into, and each candidate is formed in,
// a buffer of this many characters, terminator included.
constexpr uint32_t kPathBufferSize = 255;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0' || LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return b[i] == '\0';
}

}  // namespace

std::optional<uint32_t> LanguageIdForCode(const std::string& code) {
  for (const LanguageCodeRow& row : kLanguageCodeTable) {
    if (EqualIgnoringCase(code, row.code)) return row.languageId;
  }
  return std::nullopt;
}

const char* DefaultCodeForLanguage(uint16_t languageId) {
  const uint32_t primary = languageId & kPrimaryLanguageMask;
  const uint32_t sub = languageId >> 10;
  for (const DefaultCodeRow& row : kDefaultCodeTable) {
    if (row.primaryLanguage == primary && (row.subLanguage == 0 || row.subLanguage == sub)) {
      return row.code;
    }
  }
  return "en";
}

const char* DefaultLanguageCode(Platform& platform) {
  return DefaultCodeForLanguage(static_cast<uint16_t>(platform.GetUserDefaultLCID() & 0xFFFF));
}

std::string FindLanguageModule(Platform& platform, const std::string& moduleFileName,
                               const std::string& code) {
  char buffer[kPathBufferSize] = {};
  const uint32_t length =
      platform.GetModuleFileNameA(platform.GetModuleHandleA(nullptr), buffer, kPathBufferSize);
  // A result of the full buffer size means the path was cut off: its folder
  // may be some other folder, so nothing beside it is tested. The length, not
  // a terminator, bounds the text: a cut-off path need not be terminated.
  if (length == 0 || length >= kPathBufferSize) return std::string();
  const std::string host(buffer, length);
  const size_t lastBackslash = host.rfind('\\');
  if (lastBackslash == std::string::npos) return std::string();
  const std::string folder = host.substr(0, lastBackslash + 1);

  std::vector<std::string> candidates = {folder + code + "\\" + moduleFileName};
  if (code.size() >= 4) candidates.push_back(folder + code.substr(0, 2) + "\\" + moduleFileName);
  candidates.push_back(folder + moduleFileName);
  candidates.push_back(folder + "en\\" + moduleFileName);
  for (const std::string& candidate : candidates) {
    // A candidate too long for the buffer cannot be formed in it whole, and
    // a shortened one would name some other file: it is skipped.
    if (candidate.size() >= kPathBufferSize) continue;
    if (platform.OpenFile(candidate.c_str(), kOfExist) != kHfileError) return candidate;
  }
  return std::string();
}

LocaleSelection::ModuleCheck LocaleSelection::CheckModule(const std::string& moduleFileName,
                                                          const std::string& trialCode) {
  const std::string path = FindLanguageModule(platform_, moduleFileName, trialCode);
  if (!path.empty()) {
    // The language module is a copy of the plug-in. Loaded as a data file,
    // none of its code runs: its start-up would read the registry, select a
    // locale and load libraries of its own, and all of this happens while
    // the loader is busy initialising this plug-in, where loading code is
    // unsafe. Its resources can be enumerated all the same.
    ScopedErrorMode quiet(platform_, kQuietErrorMode);
    languageModule_ =
        MakeUniqueModule(platform_, platform_.LoadLibraryExA(path.c_str(), kLoadLibraryAsDatafile));
  }

  // The first string table; without a module, the host executable's own.
  // A text name is only valid during the callback, so it is copied.
  bool found = false;
  uint16_t firstId = 0;
  std::string firstText;
  platform_.EnumResourceNamesA(languageModule_.get(), kRtString, [&](ResourceName name) {
    found = true;
    if (IsIntResource(name)) {
      firstId = ResourceId(name);
    } else {
      firstText = name;
    }
    return false;
  });
  if (!found) return ModuleCheck::kNoStringTable;
  const ResourceName first = firstText.empty() ? MakeIntResource(firstId) : firstText.c_str();

  // A language matches when it is the wanted one, or when only a language
  // without a region is wanted and it has the same primary language. The
  // wanted id is cleared on a match, so a wanted id of 0 never matches.
  uint32_t wanted = wantedLangId_;
  platform_.EnumResourceLanguagesA(languageModule_.get(), kRtString, first, [&](uint16_t language) {
    const bool match = language == wanted || (((language ^ wanted) & kPrimaryLanguageMask) == 0 &&
                                              (wanted & kSubLanguageMask) == 0);
    if (!match) return true;
    wanted = 0;
    return false;
  });
  return wanted != wantedLangId_ ? ModuleCheck::kMatch : ModuleCheck::kNoMatch;
}

LocaleSelection::LocaleSelection(Platform& platform, const std::string& moduleFileName)
    : platform_(platform) {
  try {
    Select(moduleFileName);
  } catch (...) {
    // Memory ran out. The selection runs while the plug-in loads, where an
    // exception would end the host process: no code is chosen, no module kept.
    chosenCode_.reset();
    languageModule_.reset();
  }
}

void LocaleSelection::Select(const std::string& moduleFileName) {
  const std::string code = DefaultLanguageCode(platform_);

  // A code with a region ("zhCN", "zhTW") must find its exact language.
  if (code.size() >= 4) {
    const std::string trialCode = code.substr(0, 4);
    wantedLangId_ = LanguageIdForCode(trialCode).value_or(0);
    if (CheckModule(moduleFileName, trialCode) == ModuleCheck::kMatch) {
      chosenCode_ = trialCode;
      return;
    }
    languageModule_.reset();
  }

  const std::string trialCode = code.substr(0, 2);
  wantedLangId_ = LanguageIdForCode(trialCode).value_or(0);
  switch (CheckModule(moduleFileName, trialCode)) {
    case ModuleCheck::kMatch:
      chosenCode_ = trialCode;
      break;
    case ModuleCheck::kNoMatch:
      chosenCode_ = "en";
      break;
    case ModuleCheck::kNoStringTable:
      break;
  }
}

}  // namespace qel
