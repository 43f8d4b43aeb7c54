// The language code that travels with every posted event ("en", "de",
// "zhTW"...): taken from the user's default locale, then confirmed against a
// language module, a file with the plug-in's own name in a language folder
// beside the host executable (or, failing one, the host executable itself),
// whose first string table must be in that language.
//
// The table lookups are pure functions, so tests can feed them any locale;
// the class asks the platform and decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/ScopedHandles.h"

namespace qel {

// LanguageCodeTable: the language id of |code| (compared ignoring ASCII case),
// or std::nullopt when no row holds it.
std::optional<uint32_t> LanguageIdForCode(const std::string& code);
// DefaultCodeTable: the code for a 16-bit language id; "en" when no row has
// its primary language.
const char* DefaultCodeForLanguage(uint16_t languageId);
// The code for the user's default locale.
const char* DefaultLanguageCode(Platform& platform);
// The full path of the first language module candidate beside the host
// executable that exists, in this order: <code>\<module>, <first two letters
// of a longer code>\<module>, <module>, en\<module>. Empty when none exists.
std::string FindLanguageModule(Platform& platform, const std::string& moduleFileName,
                               const std::string& code);

class LocaleSelection {
 public:
  // Runs the whole selection; the object does not change afterwards. Throws
  // nothing: when memory runs out, no code is chosen.
  LocaleSelection(Platform& platform, const std::string& moduleFileName);
  LocaleSelection(const LocaleSelection&) = delete;
  LocaleSelection& operator=(const LocaleSelection&) = delete;

  // Absent when neither a language module nor the host executable has a
  // string table to confirm a code with.
  const std::optional<std::string>& chosenCode() const { return chosenCode_; }

 private:
  enum class ModuleCheck { kMatch, kNoMatch, kNoStringTable };
  void Select(const std::string& moduleFileName);
  ModuleCheck CheckModule(const std::string& moduleFileName, const std::string& trialCode);

  Platform& platform_;
  std::optional<std::string> chosenCode_;
  // The language module that the deciding check loaded, kept until destruction.
  UniqueModule languageModule_;
  uint32_t wantedLangId_ = 0;
};

}  // namespace qel
